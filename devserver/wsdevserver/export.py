"""Kept requests taken elsewhere: a curl command that sends one again, and a HAR 1.2 log of all.

The command replays the request's head lines and body bytes as received, never a form rebuilt
from its parts, so that nothing a client put in a name, a file name or a type can mean something
to curl or to the shell. Both run on the inspector's file thread: they read the kept files a
block at a time and are never built whole in memory.
"""

import base64
import codecs
import io
import json
import re
import unicodedata
import urllib.parse

from . import proxy, records, report

MAX_ANSWER = 64 * 1024 * 1024  # of an upstream's answer written into the log, whole
READ = 3 * 64 * 1024  # bytes of a file read at a time: a multiple of 3, for whole base64 groups

# Not the client's to send again: the connection's own, and what curl makes from the URL and
# the body it is given.
HOP_BY_HOP = proxy.HOP_BY_HOP | {"host", "content-length"}
TOKEN_RE = re.compile(rb"[!#$%&'*+.^_`|~0-9A-Za-z-]+\Z")
FIELD_VALUE_RE = re.compile(rb"[^\0\r\n]*\Z")
# A target curl sends as written when it is the URL's path: a fragment mark it would cut, and
# anything it refuses or encodes, go as --request-target instead.
PLAIN_TARGET_RE = re.compile(rb"/[\x21\x22\x24-\x7e]*\Z")
URL_SAFE = "".join(chr(c) for c in range(0x21, 0x7f))  # left as they are in a URL


def body_file(record):
    """The name the command gives the body's file, which the user saves beside it."""
    return "request-%d-body" % record.id


def shown_safely(char):
    """Whether a character may stand as itself in a command a person reads and pastes: not a
    control, nor one that reorders or hides text, nor a byte that is not UTF-8."""
    if char < "\x7f":
        return char >= " "
    return not unicodedata.category(char).startswith("C") and char not in "\u2028\u2029"


def shell_word(data):
    """`data` (bytes) as one shell word that bash gives back byte for byte: in single quotes, or
    in bash's $'...' with \\xHH for what should not be pasted as itself."""
    text = data.decode("utf-8", "surrogateescape")
    if all(shown_safely(char) for char in text):
        return "'" + text.replace("'", "'\\''") + "'"
    out = []
    for char in text:
        if char in "\\'":
            out.append("\\" + char)
        elif shown_safely(char):
            out.append(char)
        else:
            out.extend("\\x%02x" % byte for byte in char.encode("utf-8", "surrogateescape"))
    return "$'" + "".join(out) + "'"


def head_fields(record):
    """The request's header lines as (name, value) bytes, in their order, and whether the kept
    head was cut short (its last line then left out)."""
    lines = record.head.split(b"\r\n")
    cut = lines.pop() != b""  # the last is empty, or a line cut short
    return [(name, value) for name, _, value in (line.partition(b": ") for line in lines)], cut


def declared_length(fields):
    """The body's length as its head declared it, or None (chunked, or none said)."""
    lengths = [value for name, value in fields if name.lower() == b"content-length"]
    if not lengths or any(name.lower() == b"transfer-encoding" for name, _ in fields):
        return None
    try:
        return int(lengths[0])
    except ValueError:
        return None


def body_lost(record, declared):
    """Why the body was not kept whole, or None: a body shorter than its Content-Length is not."""
    if declared in (None, record.size):
        return record.body_lost()
    return record.body_lost() or ("%d of the %d bytes its Content-Length declared came"
                                  % (record.size, declared))


def end_to_end(fields):
    """The fields a client sends again: all but the hop-by-hop ones, those Connection names,
    Proxy-* and those that curl makes itself (Host, Content-Length)."""
    named = {token.strip().lower() for name, value in fields if name.lower() == b"connection"
             for token in value.split(b",")}
    return [(name, value) for name, value in fields
            if name.lower().decode("latin-1") not in HOP_BY_HOP and name.lower() not in named
            and not name.lower().startswith(b"proxy-")]


def curl_command(record, base_url):
    """A bash command that sends `record`'s request again to `base_url` (scheme and authority),
    as it was received: the same method and target, every end-to-end header as sent, and the
    body read from the file the user saved from /files/ID/body. What cannot go as it came is
    said in its first line, a comment, rather than sent as something else."""
    fields, head_cut = head_fields(record)
    sent = end_to_end(fields)
    said = []
    if head_cut:
        said.append("its head was kept to %d KiB: the header lines after that are left out"
                    % (records.REQUEST_HEAD_KEPT // 1024))
    declared = declared_length(fields)
    body = record.size > 0 or bool(declared)
    lost = body_lost(record, declared)
    sends_body = body and lost is None
    if sends_body:
        said.append("save %s/files/%d/body as %s in this folder first, then run it with bash"
                    % (base_url, record.id, body_file(record)))
    elif body:
        said.append("its body was not kept whole (%s): this sends the request without it"
                    % report.printable(lost))
    # One option a line: the flags and the method, each header, the body, the target.
    lines = ["curl -q -g -sS --path-as-is"]
    if record.method == "HEAD" and not sends_body:
        lines[0] += " -I"  # -X HEAD would wait for the body its answer announces
    else:
        lines[0] += " -X " + shell_word(record.method.encode())
    names = set()
    for number, (name, value) in enumerate(sent, 1):
        if not TOKEN_RE.match(name) or not FIELD_VALUE_RE.match(value):
            said.append("header line %d is left out: curl cannot send it as it came" % number)
            continue
        names.add(name.lower())
        # "Name:" would take curl's own header away; "Name;" sends it empty.
        lines.append("-H " + shell_word(name + (b": " + value if value else b";")))
    # What curl would add of its own, and the request did not carry.
    own = [b"User-Agent", b"Accept"] + ([b"Content-Type", b"Expect"] if sends_body else [])
    lines += ["-H " + shell_word(name + b":") for name in own if name.lower() not in names]
    if sends_body:
        lines.append("--data-binary " + shell_word(b"@" + body_file(record).encode()))
    target = record.path.encode("utf-8", "surrogateescape")
    if PLAIN_TARGET_RE.match(target):
        lines.append(shell_word(base_url.encode() + target))
    else:
        lines.append("--request-target %s %s"
                     % (shell_word(target), shell_word(base_url.encode() + b"/")))
    command = " \\\n  ".join(lines)
    return "# request %d: %s\n%s" % (record.id, "; ".join(said), command) if said else command


def decoded(data):
    """Bytes of a head as text: what is not UTF-8 as \\xHH, as the inspector shows names."""
    return data.decode("utf-8", "backslashreplace")


def cookies(values, answer=False):
    """HAR cookies from Cookie header values (name=value; ...), or from Set-Cookie ones."""
    found = []
    for value in values:
        for pair in ([value.split(";", 1)[0]] if answer else value.split(";")):
            name, equals, text = pair.strip().partition("=")
            if name or equals:
                found.append({"name": name.strip(), "value": text.strip()})
    return found


def request_url(record, fields, base_url):
    """The URL the request named: its absolute target, else its Host and its target; the
    exporter's own address only for a request that named no host (HTTP/1.0)."""
    # As a browser writes it: what is not printable ASCII percent-encoded.
    path = urllib.parse.quote(record.path.encode("utf-8", "surrogateescape"), safe=URL_SAFE)
    if not path.startswith("/") and "://" in path:
        return path
    host = next((decoded(value) for name, value in fields if name.lower() == b"host"), None)
    return ("http://" + host if host else base_url) + path


def timings(record):
    """The entry's time and timings in ms: for a proxied request, from sending it on to the
    upstream's first byte, then to its last. The service's own answers keep no times."""
    up = record.upstream
    if up is None or up.total is None:
        return 0, {"send": 0, "wait": 0, "receive": 0}
    total = round(up.total * 1000, 3)
    wait = round(up.first_byte * 1000, 3) if up.first_byte is not None else total
    return total, {"blocked": -1, "dns": -1, "connect": -1, "ssl": -1, "send": 0,
                   "wait": wait, "receive": round(max(total - wait, 0), 3)}


def har_response(record):
    """The answer as kept: the upstream's head and body, which --replay plays back; a scripted
    answer's status and headers; or the service's own status and reason."""
    response = {"status": record.status or 0, "statusText": record.error or "",
                "httpVersion": "HTTP/1.1", "cookies": [], "headers": [],
                "content": {"size": -1, "mimeType": "text/plain; charset=utf-8"},
                "redirectURL": "", "headersSize": -1, "bodySize": -1}
    up = record.upstream
    if up is None or up.status is None:
        if record.answer and record.answer.get("status") is not None:
            headers = [{"name": str(name), "value": str(value)}
                       for name, value in record.answer.get("headers") or []]
            mime = next((h["value"] for h in headers if h["name"].lower() == "content-type"), "")
            response.update(status=record.answer["status"], headers=headers,
                            bodySize=record.answer.get("size", -1),
                            content={"size": record.answer.get("size", -1), "mimeType": mime,
                                     "comment": "the answer's body is not kept"})
        elif record.report is not None:
            response.update(bodySize=record.report_size, headers=[
                {"name": "Content-Type", "value": "text/plain; charset=utf-8"}])
            response["content"].update(size=record.report_size,
                                       text=record.report.decode("utf-8", "replace"))
            if record.report_size > len(record.report):
                response["content"]["comment"] = "the report's first %d bytes of %d" % (
                    len(record.report), record.report_size)
        return response
    headers = report.part_head_fields(up.head)
    response.update(statusText=up.reason or "", bodySize=up.answer.size,
                    headers=[{"name": name, "value": value} for name, value in headers if name],
                    cookies=cookies([value for name, value in headers
                                     if name and name.lower() == "set-cookie"], answer=True))
    content = response["content"]
    content.update(size=up.answer.size, mimeType=next(
        (value for name, value in headers if name and name.lower() == "content-type"), ""))
    if up.error:
        response["comment"] = up.error
    if up.answer.kept and up.answer.size <= MAX_ANSWER:
        try:
            with open(up.answer.path, "rb") as f:
                data = f.read()
        except (OSError, TypeError):  # dropped for newer requests meanwhile
            content["comment"] = "its bytes were dropped for newer requests"
            return response
        try:
            content["text"] = data.decode("utf-8")
        except UnicodeDecodeError:
            content.update(text=base64.b64encode(data).decode(), encoding="base64")
    elif up.answer.size:
        content["comment"] = "its bytes are not in the log: %s" % (
            up.answer.lost or "over %d MiB" % (MAX_ANSWER >> 20))
    return response


def is_text(blocks):
    decoder = codecs.getincrementaldecoder("utf-8")()
    try:
        for block in blocks:
            if b"\0" in block:
                return False
            decoder.decode(block)
        decoder.decode(b"", True)
    except UnicodeDecodeError:
        return False
    return True


def post_data_pieces(record, fields):
    """The request's postData: the body as text where it is UTF-8 text, else in base64 (HAR 1.2
    has "encoding" only on a response's content: here it is "_encoding", said in "comment")."""
    data = {"mimeType": next((decoded(value) for name, value in fields
                              if name.lower() == b"content-type"), "")}
    lost = body_lost(record, declared_length(fields))
    if lost is not None:
        data.update(text="", comment="the body was not kept whole: %s" % lost)
        yield json.dumps(data).encode()
        return
    try:  # opened before a byte of it is written
        f = open(record.body.path, "rb") if record.body is not None else io.BytesIO(record.raw)
    except (OSError, TypeError):
        data.update(text="", comment="the body was dropped for newer requests")
        yield json.dumps(data).encode()
        return
    with f:
        text = is_text(iter(lambda: f.read(READ), b""))
        f.seek(0)
        if not text:
            data.update(_encoding="base64", comment="text is the body in base64 (_encoding)")
        opening = json.dumps(dict(data, text=""))
        cut = opening.rindex('"text": ""') + len('"text": "')
        yield opening[:cut].encode()
        decoder = codecs.getincrementaldecoder("utf-8")()  # is_text saw the last block end whole
        for block in iter(lambda: f.read(READ), b""):
            yield (json.dumps(decoder.decode(block))[1:-1].encode() if text
                   else base64.b64encode(block))
        yield opening[cut:].encode()


def har_entry_pieces(record, base_url):
    """One HAR entry's JSON in pieces: its request comes last, so that its body can follow."""
    fields, _ = head_fields(record)
    url = request_url(record, fields, base_url)
    time, spent = timings(record)
    line = "%s %s %s" % (record.method, record.path, record.version)
    request = {"method": record.method, "url": url, "httpVersion": record.version,
               "cookies": cookies([decoded(value) for name, value in fields
                                   if name.lower() == b"cookie"]),
               "headers": [{"name": decoded(name), "value": decoded(value)}
                           for name, value in fields],
               "queryString": [{"name": n, "value": v} for n, v in urllib.parse.parse_qsl(
                   urllib.parse.urlsplit(url).query, keep_blank_values=True)],
               "headersSize": len(line.encode("utf-8", "surrogateescape")) + len(record.head) + 4,
               "bodySize": record.size}
    entry = {"startedDateTime": record.time, "time": time, "response": har_response(record),
             "cache": {}, "timings": spent}
    if record.upstream is not None:
        entry["comment"] = "answered by the upstream %s" % record.upstream.upstream
    elif record.answered_by:
        entry["comment"] = "answered by %s" % record.answered_by
    entry["request"] = request  # last: its postData is written after it, in pieces
    text = json.dumps(entry)
    if record.size == 0 and not declared_length(fields):
        yield text.encode()
        return
    yield (text[:-2] + ', "postData": ').encode()
    yield from post_data_pieces(record, fields)
    yield b"}}"


def har_pieces(records, base_url, version):
    """A HAR 1.2 log of `records`, oldest first, in pieces."""
    yield (b'{"log": {"version": "1.2", "creator": {"name": "wsconsole-devserver", "version": '
           + json.dumps(version).encode() + b'}, "entries": [')
    for n, record in enumerate(records):
        if n:
            yield b", "
        yield from har_entry_pieces(record, base_url)
    yield b"]}}"
