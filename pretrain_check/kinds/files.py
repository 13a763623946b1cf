"""Files the check could not use: those Image.open rejects, those whose pixel
data does not load (--decode), those the image checks could not measure, and
a dataset without any image to train on."""
from . import Found, Kind, file_items, path_line


def no_images(facts):
    if not facts.readable:
        message = "no image the scan accepts"
    elif all(len(path.relative_to(facts.root).parts) == 1 for path in facts.readable):
        message = "no class folder: every image lies directly in the dataset folder"
    else:
        return Found()
    return Found([{"path": str(facts.root), "message": message}])


KINDS = (
    Kind("no_images", "datasets without images to train on", 0, "sizes", no_images, path_line, pictures=False),
    Kind("unreadable", "files Image.open cannot open", 10, "sizes",
         lambda facts: Found(file_items(facts.unreadable)), path_line, pictures=False),
    Kind("undecodable", "files whose pixel data cannot be loaded", 20, "decode",
         lambda facts: Found(file_items(facts.undecodable)), path_line, pictures=False),
    Kind("not_checked", "files the image checks could not measure", 900, "measures",
         lambda facts: Found(file_items(facts.failures)), path_line, pictures=False),
)
