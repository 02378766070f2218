"""Kept requests taken elsewhere: as a curl command that sends one again, and as a HAR 1.2 log
of all of them that a browser's network panel opens.

Both are made from what the store keeps: a part's bytes are named where they lie (curl) or read
from there a block at a time (HAR), so that neither is ever built whole in memory; a part whose
bytes are not kept is said so, never sent as something else.
"""

import base64
import json
import re
import shlex
import urllib.parse

from . import report

MAX_ANSWER = 64 * 1024 * 1024  # of an upstream's answer written into the log, whole
READ = 3 * 64 * 1024  # bytes of a file read at a time: a multiple of 3, for whole base64 groups
CURL_SPECIAL_RE = re.compile(r'[\\"]')


def curl_quoted(text):
    """A value inside a -F option's double quotes, as curl reads it back."""
    return '"%s"' % CURL_SPECIAL_RE.sub(lambda m: "\\" + m.group(), text)


def curl_command(record, base_url):
    """A shell command that sends `record`'s request again to `base_url` (scheme and authority):
    the same method, path, Content-Type and parts, each part's bytes as kept. Raises ValueError
    with the reason when the request cannot be sent again from what is kept."""
    url = base_url + record.path
    media, _ = report.parse_header_value(record.content_type() or "")
    words = ["curl", "-sS"]
    if record.method != "POST":
        words += ["-X", record.method]
    if media not in ("", "multipart/form-data") and (record.parts or media != "application/"
                                                     "x-www-form-urlencoded"):
        words += ["-H", "Content-Type: " + media]  # curl adds the boundary it makes
    if record.part_count != len(record.parts):
        raise ValueError("it had %d parts, of which %d are kept"
                         % (record.part_count, len(record.parts)))
    if record.parts and record.parts[0].head is None:  # url-encoded fields
        pairs = []
        for part in record.parts:
            if not part.kept or part.path is not None:
                raise ValueError("part %d is not kept in memory" % (part.index + 1))
            pairs.append((part.name, part.text))
        words += ["--data-binary", urllib.parse.urlencode(pairs)]
    for part in record.parts:
        if part.head is None:
            continue
        if not part.kept:
            raise ValueError("the bytes of part %d are not kept%s"
                             % (part.index + 1, ": " + part.lost if part.lost else ""))
        fields = part.fields()
        if part.path is None:  # a text value kept whole in memory
            if b"\0" in part.text:
                raise ValueError("part %d holds a NUL byte, which curl cannot send as text"
                                 % (part.index + 1))
            option = "%s=%s" % (fields["name"], part.text.decode("utf-8", "surrogateescape"))
            words += ["--form-string", option]
            continue
        option = "%s=%s%s" % (fields["name"], "@" if part.kind == "file" else "<", part.path)
        if fields["filename"] is not None:
            option += ";filename=" + curl_quoted(fields["filename"])
        if fields["content_type"]:
            option += ";type=" + fields["content_type"]
        words += ["-F", option]
    return " ".join(shlex.quote(word) for word in words + [url])


def har_response(record):
    """What the record keeps of its answer: with --upstream, the upstream's head and its body
    (base64 where it is not UTF-8 text), which --replay plays back."""
    response = {"status": record.status or 0, "statusText": record.error or "",
                "httpVersion": "HTTP/1.1", "cookies": [], "headers": [],
                "content": {"size": -1, "mimeType": "text/plain; charset=utf-8"},
                "redirectURL": "", "headersSize": -1, "bodySize": -1}
    up = record.upstream
    if up is None or up.status is None:
        return response
    headers = report.part_head_fields(up.head)
    response.update(statusText=up.reason or "", bodySize=up.answer.size,
                    headers=[{"name": name, "value": value} for name, value in headers if name])
    content = response["content"]
    content.update(size=up.answer.size, mimeType=next(
        (value for name, value in headers if name and name.lower() == "content-type"), ""))
    if up.answer.kept and up.answer.size <= MAX_ANSWER:
        try:
            with open(up.answer.path, "rb") as f:
                data = f.read()
        except OSError:  # dropped for newer requests meanwhile
            return response
        try:
            content["text"] = data.decode("utf-8")
        except UnicodeDecodeError:
            content.update(text=base64.b64encode(data).decode(), encoding="base64")
    return response


def har_entry_head(record, base_url):
    """A HAR entry's JSON up to its parameters' list, which the caller writes."""
    headers = [{"name": name, "value": value} for name, value in record.headers()]
    # The parameters come last, so that what follows them is only closing brackets.
    entry = {
        "startedDateTime": record.time, "time": 0,
        "response": har_response(record),
        "cache": {}, "timings": {"send": 0, "wait": 0, "receive": 0},
        "request": {"method": record.method, "url": base_url + record.path,
                    "httpVersion": "HTTP/1.1", "cookies": [], "headers": headers,
                    "queryString": [{"name": n, "value": v} for n, v in urllib.parse.parse_qsl(
                        urllib.parse.urlsplit(record.path).query, keep_blank_values=True)],
                    "headersSize": -1, "bodySize": record.size,
                    "postData": {"mimeType": record.content_type() or "", "params": []}},
    }
    text = json.dumps(entry)
    return text[:text.rindex('"params": []') + len('"params": [')].encode()


def har_param_pieces(record, part):
    """One parameter's JSON in pieces: a text value as text, a file's bytes in base64 read from
    where they lie (marked "_encoding"), and a part not kept without a value."""
    fields = part.fields()
    param = {"name": fields["name"] or ""}
    if fields["filename"] is not None:
        param["fileName"] = fields["filename"]
    if fields["content_type"]:
        param["contentType"] = fields["content_type"]
    if not part.kept:
        param["_notKept"] = part.lost or "not kept"
        yield json.dumps(param).encode()
        return
    if part.path is None and part.kind != "file":
        param["value"] = part.text.decode("utf-8", "replace")
        yield json.dumps(param).encode()
        return
    with open(part.path, "rb") as f:  # opened before a byte of it is written
        param["_encoding"] = "base64"
        text = json.dumps(param)
        yield (text[:-1] + ', "value": "').encode()
        for block in iter(lambda: f.read(READ), b""):
            yield base64.b64encode(block)
    yield b'"}'


def har_pieces(records, base_url, version):
    """A HAR 1.2 log of `records`, oldest first, in pieces."""
    yield (b'{"log": {"version": "1.2", "creator": {"name": "wsconsole-devserver", "version": '
           + json.dumps(version).encode() + b'}, "entries": [')
    for n, record in enumerate(records):
        yield (b", " if n else b"") + har_entry_head(record, base_url)
        for i, part in enumerate(record.parts):
            if i:
                yield b", "
            try:
                yield from har_param_pieces(record, part)
            except OSError:  # dropped for room while being read: said, not cut
                yield json.dumps({"name": part.fields()["name"] or "",
                                  "_notKept": "dropped for newer requests"}).encode()
        yield b"]}}}"
    yield b"]}}"
