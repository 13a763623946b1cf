"""The images the PNG reports show beside their charts: the worst item of
each kind that names a thumbnail caption (groups across classes or parts
first, two files of each), as (title, path) pairs."""
from .kinds import all_kinds

SHOWN = 8


def group_pictures(kind, found, limit):
    pictures = []
    for group in found["groups"]:
        spans = group.get("parts") or group.get("classes", [])
        if len(spans) < 2:
            continue
        pictures += [(f"{kind.thumbnail}\n{' / '.join(spans)}", path) for path in group["files"][:2]]
        if len(pictures) >= limit:
            break
    return pictures[:limit]


def worst_images(problems, limit=SHOWN):
    shown = [k for k in all_kinds() if k.thumbnail and problems[k.name]["count"]]
    pictures = []
    for kind in (k for k in shown if k.groups):
        pictures += group_pictures(kind, problems[kind.name], limit // 2 - len(pictures))
    for kind in (k for k in shown if not k.groups):
        item = problems[kind.name]["files"][0]
        pictures.append((f"{kind.thumbnail}\n{item['score']:g}" if "score" in item else kind.thumbnail,
                         item["path"]))
    return pictures[:limit]
