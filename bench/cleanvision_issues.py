"""Run inside the bench's CleanVision environment (never the project's):
CleanVision's Imagelab(data_path=DIR).find_issues() on every image of DIR,
timed; prints one JSON object: {"seconds", "issues": {kind: [path, ...]},
"near_duplicates": [[path, ...], ...]}.

    <cleanvision env>/bin/python bench/cleanvision_issues.py DIR
"""
import contextlib
import json
import os
import sys
import time


def main(root):
    from cleanvision import Imagelab
    start = time.perf_counter()
    with contextlib.redirect_stdout(sys.stderr):
        lab = Imagelab(data_path=root)
        lab.find_issues()
    seconds = time.perf_counter() - start
    issues = lab.issues
    found = {column[3:-6]: sorted(os.fspath(p) for p in issues.index[issues[column]])
             for column in issues.columns if column.startswith("is_") and column.endswith("_issue")}
    near = lab.info.get("near_duplicates", {}).get("sets", [])
    print(json.dumps({"seconds": seconds, "issues": found,
                      "near_duplicates": [sorted(map(os.fspath, group)) for group in near]}))


if __name__ == "__main__":
    main(sys.argv[1])
