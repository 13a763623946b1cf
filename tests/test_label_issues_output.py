"""--label-issues on a folder with the user's own probabilities: the list to
predict for, the suspects in text, JSON and the review CSV, a misnamed
folder called out, and no file touched."""
import csv
import numpy as np
from PIL import Image

from conftest import run_python
from helpers.summaries import load_summary


def test_suspects_and_a_misnamed_folder(tmp_path):
    root = tmp_path / "animals"
    for name in ("cat", "dog", "fox"):
        (root / name).mkdir(parents=True)
        for i in range(10):
            Image.new("L", (8, 8), 20 * i).save(root / name / f"{i}.png")
    before = sorted(p.relative_to(root) for p in root.rglob("*"))
    listed = tmp_path / "files.txt"
    proc = run_python(None, check=False, args=["-m", "pretrain_check", str(root), "--list-files", str(listed),
                                               "--quiet"])
    assert proc.returncode == 0, proc.stderr
    header, *lines = listed.read_text().splitlines()
    assert header == "# columns:\tcat\tdog\tfox" and len(lines) == 30
    given = np.array([["cat", "dog", "fox"].index(line.split("\t")[1]) for line in lines])

    truth = given.copy()
    truth[given == 1] = 2                     # every "dog" is a fox: the folder is misnamed
    truth[3] = 1                              # one cat is a dog
    probs = np.full((30, 3), 0.05)
    probs[np.arange(30), truth] = 0.9
    np.save(tmp_path / "probs.npy", probs)
    review, summary = tmp_path / "review.csv", tmp_path / "summary.json"
    proc = run_python(None, check=False, args=[
        "-m", "pretrain_check", str(root), "--predictions", str(tmp_path / "probs.npy"), "--quiet",
        "--write-relabel", str(review), "--json", str(summary)])
    assert proc.returncode == 1, proc.stderr

    found = load_summary(summary)["problems"]["label_issues"]
    assert found["count"] == 11
    assert {(f["path"].split("/")[-2], f["given"], f["suggested"]) for f in found["files"]} == \
        {("cat", "cat", "dog"), ("dog", "dog", "fox")}
    assert found["per_class"] == {"cat": {"files": 10, "suspects": 1}, "dog": {"files": 10, "suspects": 10},
                                  "fox": {"files": 10, "suspects": 0}}
    assert found["naming_mistakes"] == ["dog"]
    assert f"{root}/cat/3.png: filed as cat, probably dog (score " in proc.stdout
    assert "note: dog: 10 of its 10 files look like another class" in proc.stdout
    with open(review, newline="") as rows:
        reviewed = list(csv.DictReader(rows))
    assert [r["path"] for r in reviewed] == [f["path"] for f in found["files"]]
    assert list(reviewed[0]) == ["path", "given", "suggested", "score"]
    assert sorted(p.relative_to(root) for p in root.rglob("*")) == before
