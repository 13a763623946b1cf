"""The parts of examples/analyse_dataset.py: what each step finds, apart from
the command line and the printed lines."""
