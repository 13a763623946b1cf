"""--label-issues: files whose label (folder) is probably wrong, found by
confident learning on out-of-sample probabilities (labels/stage.py); per
class how many of its files are suspects, and the classes where so many are
that the folder is probably misnamed rather than noisy."""
from . import Found, Kind
from ..labels.findings import NAMING_SHARE


def judge(facts):
    found = facts.labels
    notes = [f"{name}: {found['per_class'][name]['suspects']} of its {found['per_class'][name]['files']} files "
             f"look like another class ({NAMING_SHARE:.0%} or more): a naming mistake (a misnamed or swapped "
             "folder), not noise" for name in found["naming_mistakes"]]
    return Found(found["files"], {"per_class": found["per_class"], "naming_mistakes": found["naming_mistakes"],
                                  "notes": notes})


def line(item):
    part = f" [{item['part']}]" if item.get("part") else ""
    return f"{item['path']}{part}: filed as {item['given']}, probably {item['suggested']} (score {item['score']})"


KINDS = (
    Kind("label_issues", "files whose label is probably wrong (given class, suggested class, label quality)", 150,
         "labels", judge, line, thumbnail="probably wrong label"),
)
