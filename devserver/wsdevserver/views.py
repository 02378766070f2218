"""The one place where records become JSON, for the inspector's page and for scripts.

A part's "image" ("jpeg", "png", "gif", "webp" or null) is told by its first bytes whatever type
it declared. Only those four are ever served with an image type; anything else goes out as an
octet stream to download, so that an uploaded SVG or HTML page never runs in the inspector's
origin. A name or file name whose bytes are not UTF-8 comes with "name_escaped" or
"filename_escaped" beside its decoded form: those bytes as \\xHH, and a \\x sent as such as
\\\\x, so that two names that decode alike are told apart.
"""

import codecs
import functools
import re
import urllib.parse

from . import report, thumbnails

IMAGE_TYPES = {"jpeg": "image/jpeg", "png": "image/png", "gif": "image/gif", "webp": "image/webp"}
MAGIC_BYTES = 12  # enough for the longest signature below (RIFF....WEBP)
SIGNATURES = {b"\xff\xd8\xff": "jpeg", b"\x89PNG\r\n\x1a\n": "png", b"GIF87a": "gif",
              b"GIF89a": "gif"}


def image_kind(head):
    """The image type whose signature the bytes `head` start with, or None."""
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return "webp"
    return next((kind for magic, kind in SIGNATURES.items() if head.startswith(magic)), None)


# Types that name the same format as the one Pillow gives it.
TYPE_ALIASES = {"image/jpg": "image/jpeg", "image/pjpeg": "image/jpeg", "image/x-png": "image/png",
                "image/x-ms-bmp": "image/bmp", "image/x-bmp": "image/bmp",
                "image/vnd.microsoft.icon": "image/x-icon", "image/x-tiff": "image/tiff"}
SVG_START_RE = re.compile(rb"(\xef\xbb\xbf)?[ \t\r\n]*<[?!a-zA-Z]")
SVG_HEAD = 512  # bytes enough to pass an XML declaration's spaces


@functools.lru_cache(maxsize=1)
def pillow_formats():
    """Pillow's formats told by their first bytes, [(format, accept, type)]; [] without Pillow."""
    try:
        from PIL import Image
    except ImportError:
        return []
    Image.init()
    return [(name, Image.OPEN[name][1], Image.MIME.get(name)) for name in Image.ID
            if Image.OPEN[name][1] is not None]


def pillow_format(head):
    """The format whose signature Pillow sees in the first bytes `head` (as Image.open tries
    them, without reading further), with its type; None when it sees none."""
    for name, accept, mime in pillow_formats():
        try:
            seen = accept(head[:16])
        except Exception:  # a plugin's check on bytes it never expected
            continue
        if seen and not isinstance(seen, (str, bytes)):
            return name, mime
    return None


def type_notes(declared, image, size, head=b""):
    """Where a part's declared type and its first bytes `head` disagree: only a contradiction
    is said. What Pillow recognises is a picture of its format; an SVG is XML text."""
    media = report.parse_header_value(declared or "")[0]
    media = TYPE_ALIASES.get(media, media)
    if image is not None and media != IMAGE_TYPES[image]:
        return ["Its bytes are a %s picture, but it was declared %s."
                % (image.upper(), media or "with no type")]
    if image is not None or not media.startswith("image/") or not size:
        return []
    if media == "image/svg+xml":
        return [] if SVG_START_RE.match(head) else [
            "It was declared image/svg+xml, but its bytes are no XML text."]
    if media in IMAGE_TYPES.values():
        return ["It was declared %s, but its bytes are no %s picture."
                % (media, media.split("/")[1].upper())]
    if not pillow_formats():
        return []  # nothing to tell this type's bytes by
    name, mime = pillow_format(head) or (None, None)
    if name is None:
        return ["It was declared %s, but its bytes are no picture that Pillow knows." % media]
    if mime is None or TYPE_ALIASES.get(mime, mime) == media:
        return []
    return ["Its bytes are a %s picture, but it was declared %s." % (name, media)]


def escaped(text):
    """`text` (surrogateescape) with its bytes that are not UTF-8 as \\xHH; None if it has none."""
    if text is None or not re.search("[\udc80-\udcff]", text):
        return None
    return re.sub("\\\\x|[\udc80-\udcff]", lambda m: "\\\\x" if m.group() == "\\x"
                  else "\\x%02x" % (ord(m.group()) - 0xdc00), text)


def escaped_names(head):
    """A part head's (name, filename), escaped() as sent; each None where its bytes are UTF-8."""
    text = re.sub(rb"\r\n[ \t]+", b" ", head or b"").decode("utf-8", "surrogateescape")
    values = [value for name, colon, value in (line.partition(":") for line in text.split("\r\n"))
              if colon and name.strip().lower() == "content-disposition"]
    if not values:
        return None, None
    params = report.parse_header_value(values[0].strip())[1]
    filename = params.get("filename")
    extended = params.get("filename*")
    if extended is not None and extended.count("'") >= 2:
        charset, _, encoded = extended.split("'", 2)
        data = urllib.parse.unquote_to_bytes(encoded.encode("utf-8", "surrogateescape"))
        try:
            filename = data.decode(charset or "utf-8", "surrogateescape")
        except LookupError:  # as file_name() does: shown as UTF-8
            filename = data.decode("utf-8", "surrogateescape")
    return escaped(params.get("name")), escaped(filename)


def text_start(data, size):
    """The start of a text kept, decoded; a character cut at its end is left out."""
    return codecs.getincrementaldecoder("utf-8")("replace").decode(data, size == len(data))


def label(record):
    """What tells a request apart in a list: its endpoint, else its path's last segment."""
    if record.endpoint:
        return record.endpoint
    path = record.path.split("?", 1)[0].rstrip("/")
    return urllib.parse.unquote(path.rsplit("/", 1)[-1], errors="replace") or "/"


def summary(record):
    """All that a row of the page's list shows, so that a page of them is one fetch."""
    up = record.upstream
    data = {"id": record.id, "time": record.time, "method": record.method, "path": record.path,
            "endpoint": record.endpoint, "label": label(record), "status": record.status,
            "error": up.error if up and up.error else record.error,
            "part_count": record.part_count, "size": record.size, "cut": record.cut,
            "answered_by": record.answered_by,
            "answer_end": record.answer["end"] if record.answer else None}
    if up is not None:
        data["upstream"] = {"url": up.upstream, "status": up.status, "error": up.error}
    return data


def found(record, where):
    """A search's match: the summary, and where it matched (store.matches)."""
    return dict(summary(record), matched=where)


def part(record, part):
    data = part.fields()
    data["name_escaped"], data["filename_escaped"] = escaped_names(part.head)
    declared = report.parse_header_value(data["content_type"] or "")[0]
    head = record.head_bytes(part, SVG_HEAD if declared == "image/svg+xml" else MAGIC_BYTES)
    kind = image_kind(head[:MAGIC_BYTES])
    image = kind if part.kept else None
    url = "/files/%d/%d" % (record.id, part.index) if part.kept else None
    data.update({"index": part.index, "size": part.size, "sha256": part.sha256, "kind": part.kind,
                 "text": text_start(part.text, part.size) if part.text is not None else None,
                 "truncated": part.text is not None and part.size > len(part.text),
                 "has_file": part.kept, "not_kept": part.lost, "image": image, "url": url,
                 "thumb": ("/thumbs/%d/%d" % (record.id, part.index)
                           if image and thumbnails.available() else None),
                 "notes": type_notes(data["content_type"], kind, part.size, head)})
    return data


def exchange(record):
    up, answer = record.upstream, record.upstream.answer
    return {"upstream": up.upstream, "url": up.url, "insecure": up.insecure,
            "status": up.status, "reason": up.reason,
            "headers": [[name, value] for name, value in report.part_head_fields(up.head)],
            "first_byte_seconds": up.first_byte, "total_seconds": up.total, "error": up.error,
            "size": answer.size, "sha256": answer.sha256, "text": text_start(up.text, answer.size),
            "truncated": answer.size > len(up.text), "has_file": answer.kept,
            "not_kept": answer.lost,
            "url_file": "/files/%d/answer" % record.id if answer.kept else None,
            "image": image_kind(answer.start)}


def detail(record):
    """A record whole: headers, parts and their files, notes for a tester, the upstream's side."""
    data = summary(record)
    data["headers"] = record.headers()
    data["parts"] = [part(record, p) for p in record.parts]
    data["notes"] = list(record.notes)
    media, params = report.parse_header_value(record.content_type() or "")
    if "boundary" in params and not media.startswith("multipart/"):
        data["notes"].append("Its type %s carries a boundary: the body was read as multipart "
                             "(the console's message call is sent so)." % media)
    data["answer"] = record.answer
    # The file "Copy as curl" sends, offered beside the command.
    data["body_url"] = "/files/%d/body" % record.id if record.size and record.body_kept() else None
    if record.upstream is not None:
        data["upstream"] = exchange(record)
        lost = record.body_lost()
        data["resend"] = None if lost is None else "its body was not kept whole: %s" % lost
    return data
