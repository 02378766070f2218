#!/usr/bin/env python3
"""A fast HTTP/1.1 server on 127.0.0.1 for the benchmarks.

Usage: body_server.py PORT ANSWER_BYTES [--chunked] [--chunk-size BYTES]

It takes one connection after another, reads and discards the request (answering
"Expect: 100-continue" first), then answers ANSWER_BYTES bytes of plain text without any 0 byte,
with a Content-Length, or with --chunked in 1 MiB chunks and no announced length, and closes the
connection. --chunk-size (which implies --chunked) sets the size of the chunks: a server that
flushes after every small write. Chunks smaller than 1 MiB are framed once, at start, and sent
in large writes, so that the server's own work does not weigh on the client's figures. It prints
"listening on 127.0.0.1:PORT" once it accepts connections and runs until it is killed. Every
read and write gives up after a while, so a stuck client cannot hang it.
"""

import socket
import sys

BLOCK = 1 << 20
IO_TIMEOUT = 30
MAX_HEAD = 64 * 1024
LETTERS = b"abcdefghijklmnopqrstuvwxyz0123456789"
# Lines of printable text, so that the answer reads as text and holds no 0 byte.
PATTERN = bytes(10 if i % 64 == 63 else LETTERS[i % 36] for i in range(BLOCK))


class Reader:
    def __init__(self, conn):
        self.conn, self.pending = conn, b""

    def fill(self):
        data = self.conn.recv(BLOCK)
        if not data:
            raise ConnectionError("closed early")
        self.pending += data

    def line(self):
        while b"\r\n" not in self.pending:
            if len(self.pending) > MAX_HEAD:
                raise ConnectionError("line too long")
            self.fill()
        text, _, self.pending = self.pending.partition(b"\r\n")
        return text

    def head(self):
        while b"\r\n\r\n" not in self.pending:
            if len(self.pending) > MAX_HEAD:
                raise ConnectionError("head too long")
            self.fill()
        text, _, self.pending = self.pending.partition(b"\r\n\r\n")
        return text.decode("latin-1").lower()

    def discard(self, count):
        while len(self.pending) < count:
            count -= len(self.pending)
            self.pending = b""
            self.fill()
        self.pending = self.pending[count:]

    def discard_chunked(self):
        while True:
            size = int(self.line().split(b";")[0] or b"0", 16)
            if size == 0:
                while self.line():
                    pass
                return
            self.discard(size)
            self.line()


def header(head, name):
    for line in head.split("\r\n")[1:]:
        key, _, value = line.partition(":")
        if key.strip() == name:
            return value.strip()
    return ""


def framed(answer_bytes, chunk):
    """The whole chunked body, head of each chunk included, for chunks of `chunk` bytes."""
    text = PATTERN * (answer_bytes // BLOCK) + PATTERN[:answer_bytes % BLOCK]
    parts = [b"%x\r\n%s\r\n" % (len(text[at:at + chunk]), text[at:at + chunk])
             for at in range(0, answer_bytes, chunk)]
    parts.append(b"0\r\n\r\n")
    return b"".join(parts)


def serve_one(conn, answer_bytes, chunk, prepared):
    conn.settimeout(IO_TIMEOUT)
    reader = Reader(conn)
    head = reader.head()
    if header(head, "expect") == "100-continue":
        conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
    if "chunked" in header(head, "transfer-encoding"):
        reader.discard_chunked()
    else:
        reader.discard(int(header(head, "content-length") or 0))

    chunked = chunk is not None
    framing = (b"Transfer-Encoding: chunked" if chunked
               else b"Content-Length: %d" % answer_bytes)
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" + framing
                 + b"\r\nConnection: close\r\n\r\n")
    if prepared is not None:
        conn.sendall(prepared)
    whole = memoryview(PATTERN)
    left = 0 if prepared is not None else answer_bytes
    while left > 0:
        piece = whole[:min(left, BLOCK)]
        if chunked:
            conn.sendall(b"%x\r\n" % len(piece))
        conn.sendall(piece)
        if chunked:
            conn.sendall(b"\r\n")
        left -= len(piece)
    if chunked and prepared is None:
        conn.sendall(b"0\r\n\r\n")
    # Waits for the client to close its side, so that closing never resets a connection whose
    # answer the client is still reading.
    conn.shutdown(socket.SHUT_WR)
    while conn.recv(4096):
        pass


def main():
    usage = "usage: body_server.py PORT ANSWER_BYTES [--chunked] [--chunk-size BYTES]"
    args, chunk = [], None
    rest = iter(sys.argv[1:])
    for arg in rest:
        if arg == "--chunked":
            chunk = chunk or BLOCK
        elif arg == "--chunk-size":
            chunk = int(next(rest, "0"))
            if chunk < 1:
                sys.exit(usage)
        else:
            args.append(arg)
    if len(args) != 2:
        sys.exit(usage)
    port, answer_bytes = int(args[0]), int(args[1])
    prepared = framed(answer_bytes, chunk) if chunk is not None and chunk < BLOCK else None
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        listener.bind(("127.0.0.1", port))
        listener.listen(64)
    except OSError as error:
        sys.exit(f"body_server: cannot listen on 127.0.0.1:{port}: {error.strerror}")
    print(f"listening on 127.0.0.1:{listener.getsockname()[1]}", flush=True)
    while True:
        conn, _ = listener.accept()
        with conn:
            try:
                serve_one(conn, answer_bytes, chunk, prepared)
            except OSError:
                pass


if __name__ == "__main__":
    main()
