"""The images the report shows beside its charts: the worst groups and files
the image checks found (near duplicates across classes or parts first, then
the darkest, lightest and blurriest images), as (title, path) pairs."""

SHOWN = 8
SINGLE = (("dark", "darkest"), ("light", "lightest"), ("blurry", "blurriest"))


def group_pictures(problems, kind, label, limit):
    pictures = []
    for group in problems.get(kind, {}).get("groups", []):
        spans = group.get("parts") or group.get("classes", [])
        if len(spans) < 2:
            continue
        for path in group["files"][:2]:
            pictures.append((f"{label}\n{' / '.join(spans)}", path))
        if len(pictures) >= limit:
            break
    return pictures[:limit]


def worst_images(problems, limit=SHOWN):
    pictures = group_pictures(problems, "leakage", "leak", limit // 2)
    pictures += group_pictures(problems, "near_duplicates", "near duplicate", limit // 2 - len(pictures))
    for kind, label in SINGLE:
        files = problems.get(kind, {}).get("files", [])
        if files:
            pictures.append((f"{label}\n{files[0]['score']:g}", files[0]["path"]))
    return pictures[:limit]
