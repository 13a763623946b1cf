"""The search for files whose label (class folder) is probably wrong: the
labels stage of a run (stage.py) and what it stands on."""
