"""The --html page: one self-contained file drawn from the summary document
(page.py), its items (items.py), the class chart (chart.py) and its styles
and script (style.py)."""
from .page import write_html

__all__ = ["write_html"]
