"""Small previews of uploaded pictures, so that a page of photos loads a few hundred KiB rather
than every picture whole. Pillow is optional: without it the page loads the pictures whole.

Pictures come from anyone: a picture of more than MAX_PIXELS, by its header, is refused before a
pixel is decoded (Pillow itself only warns below twice its own bound). The inspector makes them
one at a time, and keeps the last few made.
"""

import collections
import io

SIZE = 320  # longest side of a preview, in pixels
MAX_PIXELS = 50 * 1000 * 1000
CACHE_BYTES = 8 * 1024 * 1024  # of previews kept made

try:
    from PIL import Image, ImageOps
    Image.MAX_IMAGE_PIXELS = MAX_PIXELS
except ImportError:  # the page falls back to the whole picture
    Image = None

TOO_LARGE = "too large to preview"


def available():
    return Image is not None


def make(path):
    """A preview of the picture at `path`: (bytes, content type); TOO_LARGE past the bound; None
    without one to make (no Pillow, a file gone, a picture Pillow cannot read)."""
    if Image is None:
        return None
    try:
        with Image.open(path) as picture:
            width, height = picture.size
            if width * height > MAX_PIXELS:
                return TOO_LARGE
            picture.draft("RGB", (SIZE, SIZE))  # a JPEG decodes at 1/2, 1/4 or 1/8 scale
            picture.thumbnail((SIZE, SIZE))
            picture = ImageOps.exif_transpose(picture)  # a photo shows as it was taken
            out = io.BytesIO()
            if picture.mode in ("RGBA", "LA", "P"):
                picture.save(out, "PNG")
                return out.getvalue(), "image/png"
            picture.convert("RGB").save(out, "JPEG", quality=80)
            return out.getvalue(), "image/jpeg"
    except (OSError, ValueError, Image.DecompressionBombError, Image.DecompressionBombWarning):
        return None


class Cache:
    """The previews made last, by key, within CACHE_BYTES."""

    def __init__(self):
        self.made, self.size = collections.OrderedDict(), 0

    def get(self, key):
        if key in self.made:
            self.made.move_to_end(key)
        return self.made.get(key)

    def put(self, key, made):
        if not isinstance(made, tuple) or len(made[0]) > CACHE_BYTES:
            return
        self.made[key] = made
        self.size += len(made[0])
        while self.size > CACHE_BYTES:
            self.size -= len(self.made.popitem(last=False)[1][0])
