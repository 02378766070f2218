"""The one place where records become JSON, for the inspector's page and for scripts.

Each part carries, beside what its record keeps, "url" (where its bytes are, once kept whole)
and "image" ("jpeg", "png", "gif", "webp" or null), told by its first bytes whatever type it
declared. Only those four are ever served with an image type; everything else goes out as an
octet stream to download, so that an uploaded SVG or HTML page never runs in the inspector's
origin.
"""

import codecs
import urllib.parse

from . import report, thumbnails

IMAGE_TYPES = {"jpeg": "image/jpeg", "png": "image/png", "gif": "image/gif", "webp": "image/webp"}
MAGIC_BYTES = 12  # enough for the longest signature below (RIFF....WEBP)


def image_kind(head):
    """The image type whose signature the bytes `head` start with, or None."""
    if head.startswith(b"\xff\xd8\xff"):
        return "jpeg"
    if head.startswith(b"\x89PNG\r\n\x1a\n"):
        return "png"
    if head[:6] in (b"GIF87a", b"GIF89a"):
        return "gif"
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return "webp"
    return None


def type_notes(declared, image, size):
    """Where a part's declared type and its first bytes disagree."""
    media = report.parse_header_value(declared or "")[0]
    if image is not None and media != IMAGE_TYPES[image]:
        return ["Its bytes are a %s picture, but it was declared %s."
                % (image.upper(), media or "with no type")]
    if image is None and media.startswith("image/") and size:
        return ["It was declared %s, but its bytes are no JPEG, PNG, GIF or WebP picture."
                % media]
    return []


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
    data = {"id": record.id, "time": record.time, "method": record.method, "path": record.path,
            "endpoint": record.endpoint, "label": label(record), "status": record.status,
            "error": record.upstream.error if record.upstream and record.upstream.error
            else record.error,
            "part_count": record.part_count, "size": record.size, "cut": record.cut,
            "answered_by": record.answered_by,
            "answer_end": record.answer["end"] if record.answer else None}
    if record.upstream is not None:
        up = record.upstream
        data["upstream"] = {"url": up.upstream, "status": up.status, "error": up.error}
    return data


def found(record, where):
    """A search's match: the summary, and where it matched (store.matches)."""
    data = summary(record)
    data["matched"] = where
    return data


def part(record, part):
    data = part.fields()
    image = image_kind(record.head_bytes(part, MAGIC_BYTES)) if part.kept else None
    url = "/files/%d/%d" % (record.id, part.index) if part.kept else None
    data.update({"index": part.index, "size": part.size, "sha256": part.sha256,
                 "kind": part.kind,
                 "text": text_start(part.text, part.size) if part.text is not None else None,
                 "truncated": part.text is not None and part.size > len(part.text),
                 "has_file": part.kept, "not_kept": part.lost, "image": image, "url": url,
                 "thumb": ("/thumbs/%d/%d" % (record.id, part.index)
                           if image and thumbnails.available() else None),
                 "notes": type_notes(data["content_type"],
                                     image_kind(record.head_bytes(part, MAGIC_BYTES)),
                                     part.size)})
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
    """A record whole: its headers, its parts with where their bytes are, what a tester should
    look at twice, and with --upstream the upstream's side."""
    data = summary(record)
    data["headers"] = record.headers()
    data["parts"] = [part(record, p) for p in record.parts]
    notes = list(record.notes)
    media, params = report.parse_header_value(record.content_type() or "")
    if "boundary" in params and not media.startswith("multipart/"):
        notes.append("Its type %s carries a boundary: the body was read as multipart "
                     "(the console's message call is sent so)." % media)
    data["notes"] = notes
    data["answer"] = record.answer
    if record.upstream is not None:
        data["upstream"] = exchange(record)
        lost = record.body_lost()
        data["resend"] = None if lost is None else "its body was not kept whole: %s" % lost
    return data
