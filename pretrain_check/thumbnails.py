"""Small JPEG thumbnails of image files as data: URIs, for pages that must
open from disk with nothing fetched. A file that cannot be decoded (cut
short, not an image, gone since the check, too large) has none."""
import base64
import io

THUMBNAIL_PIXELS_AT_MOST = 50_000_000
SIDE = 96
QUALITY = 70


def data_uri(path, side=SIDE):
    """The thumbnail of the file at `path` as a data: URI, or None."""
    from PIL import Image
    try:
        with Image.open(path) as image:
            if image.size[0] * image.size[1] > THUMBNAIL_PIXELS_AT_MOST:
                return None
            image.draft("RGB", (side, side))
            small = image.convert("RGB") if image.mode != "RGB" else image.copy()
        small.thumbnail((side, side))
        buffer = io.BytesIO()
        small.save(buffer, "JPEG", quality=QUALITY)
    except Exception:  # whatever a broken or vanished file raises
        return None
    return "data:image/jpeg;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


class Thumbnails:
    """data_uri per path, each file read once however often it is shown."""

    def __init__(self, side=SIDE):
        self.side = side
        self.made = {}

    def __call__(self, path):
        if path not in self.made:
            self.made[path] = data_uri(path, self.side)
        return self.made[path]
