"""A web service that misbehaves on purpose, for the console's end-to-end tests.

It listens on 127.0.0.1 only, reads one whole request per connection, answers it the way its
scenario says (badly, mostly), and stops by itself once it has served its connections or its
deadline has passed, whichever comes first.

    with MisbehavingServer("close", port=18080) as server:
        ...                      # drive the console
    server.requests              # the request heads it read, one per connection

From a shell, to watch one scenario by hand:

    python3 tests/e2e/misbehaving_server.py close --port 18080
"""

import argparse
import socket
import sys
import threading
import time

MAX_REQUEST_BODY = 64 << 20  # what one request may carry; the console's are much smaller

PROXY_BODY = b"answered by a proxy, not by the web service\n"


def chunked_pieces(count=5000):
    """The pieces of the chunked answer: `count` chunks of 1, 2 or 3 bytes, in body order."""
    text = b"".join(b"%d%%s," % i for i in range(count))
    pieces, start = [], 0
    for i in range(count):
        pieces.append(text[start:start + 1 + i % 3])
        start += 1 + i % 3
    return pieces


CHUNKED_BODY = b"".join(chunked_pieces())


def big_body_blocks(size, block_size=1 << 20):
    """`size` bytes without a 0 byte, in blocks of `block_size`. Each block starts with its
    number and its bytes repeat with a period of 251, which no power of two divides, so a block
    or a chunk that is lost, doubled or moved changes the whole."""
    pattern = bytes(1 + i % 251 for i in range(block_size + 251))
    for number, start in enumerate(range(0, size, block_size)):
        length = min(block_size, size - start)
        phase = start % 251
        stamp = b"[block %d]" % number
        yield (stamp + pattern[phase + len(stamp):phase + block_size])[:length]


def _head(status, headers):
    lines = ["HTTP/1.1 %s" % status, *("%s: %s" % item for item in headers), "", ""]
    return "\r\n".join(lines).encode()


def _answer(conn, status, body, extra=()):
    conn.sendall(_head(status, [("Content-Type", "text/plain"), ("Content-Length", len(body)),
                                ("Connection", "close"), *extra]) + body)


def _close(conn):
    """Accepts the request and closes the connection without a word."""


def _chunked(conn):
    """Thousands of tiny chunks, written a few bytes at a time so that chunk sizes and data
    are split across reads."""
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    conn.sendall(_head("200 OK", [("Transfer-Encoding", "chunked"), ("Connection", "close")]))
    stream = b"".join(b"%x\r\n%s\r\n" % (len(piece), piece) for piece in chunked_pieces())
    stream += b"0\r\n\r\n"
    for start in range(0, len(stream), 7):
        conn.sendall(stream[start:start + 7])


def _huge(conn, size=256 << 20):
    conn.sendall(_head("200 OK", [("Content-Type", "application/octet-stream"),
                                  ("Content-Length", size), ("Connection", "close")]))
    for block in big_body_blocks(size):
        conn.sendall(block)


SCENARIOS = {
    "refuse": None,  # the port is bound but nobody listens: connections are refused
    "close": _close,
    "chunked": _chunked,
    "empty": lambda conn: _answer(conn, "200 OK", b""),
    "proxy": lambda conn: _answer(conn, "200 OK", PROXY_BODY),  # a proxy that answers itself
    "huge": _huge,
}


def read_request(conn):
    """Reads one request whole (answering "Expect: 100-continue") and returns its head."""
    data = b""
    while b"\r\n\r\n" not in data:
        more = conn.recv(65536)
        if not more:
            raise ConnectionError("request ended inside its head: %r" % data[:200])
        data += more
        if len(data) > 1 << 20:
            raise ValueError("request head too long")
    head, _, body = data.partition(b"\r\n\r\n")
    fields = {}
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        fields[name.strip().lower()] = value.strip().lower()
    if fields.get(b"expect") == b"100-continue":
        conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
    if fields.get(b"transfer-encoding") == b"chunked":
        while not body.endswith(b"0\r\n\r\n"):
            body += _receive(conn, len(body))
    else:
        length = int(fields.get(b"content-length", b"0"))
        if length > MAX_REQUEST_BODY:
            raise ValueError("request body too long: %d bytes" % length)
        while len(body) < length:
            body += _receive(conn, len(body))
    return head


def _receive(conn, received):
    more = conn.recv(65536)
    if not more:
        raise ConnectionError("request ended after %d body bytes" % received)
    if received > MAX_REQUEST_BODY:
        raise ValueError("request body too long")
    return more


class MisbehavingServer:
    """One scenario on 127.0.0.1:`port` (0: any free port), served on a thread of its own for
    at most `connections` connections and `deadline` seconds. A port already taken raises
    OSError at once."""

    def __init__(self, scenario, port=0, connections=1, deadline=60.0):
        if scenario not in SCENARIOS:
            raise ValueError("unknown scenario %r" % scenario)
        self.scenario, self.connections = scenario, connections
        self.requests = []  # the head of each request read, in order
        self.error = None  # what went wrong on the server's side, if anything
        self._stopping = threading.Event()
        self._end = time.monotonic() + deadline
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self._listener.bind(("127.0.0.1", port))
            if SCENARIOS[scenario] is not None:
                self._listener.listen(8)
        except OSError:
            self._listener.close()
            raise
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _remaining(self):
        return self._end - time.monotonic()

    def _serve(self):
        try:
            if SCENARIOS[self.scenario] is None:
                self._stopping.wait(max(0.0, self._remaining()))
                return
            while len(self.requests) < self.connections and not self._stopping.is_set():
                if self._remaining() <= 0:
                    return
                # Short waits, so that stop() is seen soon.
                self._listener.settimeout(min(0.1, self._remaining()))
                try:
                    conn, _ = self._listener.accept()
                except socket.timeout:
                    continue
                with conn:
                    conn.settimeout(max(0.1, self._remaining()))
                    self.requests.append(read_request(conn))
                    SCENARIOS[self.scenario](conn)
        except Exception as e:  # kept for the test to see; the thread just ends
            self.error = e
        finally:
            self._listener.close()

    def wait(self):
        """Waits until the server stops by itself."""
        self._thread.join()

    def stop(self):
        """Stops serving (if not already stopped) and waits for the thread."""
        self._stopping.set()
        self._thread.join(max(1.0, self._remaining() + 1.0))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--port", type=int, default=18080)
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--deadline", type=float, default=60.0)
    args = parser.parse_args(argv)
    server = MisbehavingServer(args.scenario, args.port, args.connections, args.deadline)
    print("misbehaving server: %s on http://127.0.0.1:%d" % (args.scenario, server.port),
          file=sys.stderr, flush=True)
    try:
        server.wait()
    except KeyboardInterrupt:
        server.stop()
    for head in server.requests:
        print(head.split(b"\r\n", 1)[0].decode("latin-1"), file=sys.stderr)
    if server.error is not None:
        print("misbehaving server: %s" % server.error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
