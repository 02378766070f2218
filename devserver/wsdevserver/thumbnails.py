"""Small previews of uploaded pictures, so that a page of photos loads a few hundred KiB rather
than every picture whole. Pillow is optional: without it the page loads the pictures whole.

Pictures come from anyone: Pillow refuses those that would decode to more than MAX_PIXELS, and a
JPEG is decoded at a reduced scale straight away, so a preview costs little memory and time.
"""

import io

SIZE = 320  # longest side of a preview, in pixels
MAX_PIXELS = 50 * 1000 * 1000

try:
    from PIL import Image
    Image.MAX_IMAGE_PIXELS = MAX_PIXELS
except ImportError:  # the page falls back to the whole picture
    Image = None


def available():
    return Image is not None


def make(path):
    """A preview of the picture at `path`: (bytes, content type), or None when there is none to
    make (no Pillow, a file gone, a picture Pillow cannot or will not read)."""
    if Image is None:
        return None
    try:
        with Image.open(path) as picture:
            picture.draft("RGB", (SIZE, SIZE))  # a JPEG decodes at 1/2, 1/4 or 1/8 scale
            picture.thumbnail((SIZE, SIZE))
            out = io.BytesIO()
            if picture.mode in ("RGBA", "LA", "P"):
                picture.save(out, "PNG")
                return out.getvalue(), "image/png"
            picture.convert("RGB").save(out, "JPEG", quality=80)
            return out.getvalue(), "image/jpeg"
    except (OSError, ValueError, Image.DecompressionBombError, Image.DecompressionBombWarning):
        return None
