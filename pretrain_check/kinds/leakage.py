"""--config: files that sit in two parts meant to differ (the same file, the
same bytes, or near duplicates), found by config_check.py."""
from . import Found, Kind


def line(group):
    return f"{' & '.join(group['parts'])} ({group['how']}): {', '.join(group['files'])}"


KINDS = (
    Kind("leakage", "groups of files in two parts (the same file, the same bytes or near duplicates)", 100,
         "parts", lambda facts: Found(facts.leaks), line, groups=True, thumbnail="leak"),
)
