"""What `label_issues` reports from out-of-sample probabilities: the suspect
files, worst first, each with its given class, the class it probably is and
its label quality; per class how many of its files are suspects, a class
with NAMING_SHARE or more of them called out as a probable naming mistake
(the folder holds another class, or two classes swapped names) rather than
noise; and the review list `--write-relabel` writes."""
import csv

from .confident_learning import find_label_issues

NAMING_SHARE = 0.3


def judged(paths, labels, classes, probs, part=None):
    """{"files": [...], "per_class": {class: {"files", "suspects"}}, "naming_mistakes": [class]}"""
    found = find_label_issues(labels, probs)
    files = [{"path": paths[i], "given": classes[labels[i]], "suggested": classes[suggested],
              "score": round(float(score), 4), **({"part": part} if part else {})}
             for i, suggested, score in zip(found.positions, found.suggested, found.scores)]
    per_class = {classes[k]: {"files": int(found.images[k]), "suspects": int(found.suspects[k])}
                 for k in range(len(classes)) if found.images[k]}
    return {"files": files, "per_class": per_class, "naming_mistakes": naming_mistakes(per_class)}


def naming_mistakes(per_class):
    return [name for name, n in per_class.items() if n["suspects"] and n["suspects"] >= NAMING_SHARE * n["files"]]


def write_relabel(target, files):
    """path, given, suggested, score of every suspect, worst first: a list
    for a person to review (the check never moves or edits a file)."""
    with open(target, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(["path", "given", "suggested", "score"])
        writer.writerows([f["path"], f["given"], f["suggested"], f["score"]] for f in files)
