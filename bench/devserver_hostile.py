"""What hostile clients cost the development web service, as figures: its peak memory while six
previews of one large picture are asked for at once; how long a small call waits while a body of
tiny fields, or of control characters, is being read; how soon a fresh client is answered while
hundreds of clients trickle their bodies under a descriptor limit of 256; what a resend of a
request that names the resend route itself gives. It prints figures; it judges nothing.

    /usr/bin/python3 bench/devserver_hostile.py [--service devserver/devserver.py]
"""

import argparse
import http.client
import resource
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib

from devserver_memory import SERVICE, SERVICE_PYTHON, peak_mib

PATH = "/Vortan/BackOffice/trunk/webservice/zunel/testMsg"


def png(width, height):
    """A grey PNG of that size; its rows compress to almost nothing."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))
    compress, row = zlib.compressobj(9), b"\0" + b"\x80" * width
    data = b"".join(compress.compress(row) for _ in range(height)) + compress.flush()
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)  # 8-bit greyscale
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data)
            + chunk(b"IEND", b""))


def start_service(service, preexec_fn=None):
    proc = subprocess.Popen([SERVICE_PYTHON, service, "--port", "0"], stderr=subprocess.PIPE,
                            text=True, preexec_fn=preexec_fn)
    line = proc.stderr.readline()
    while "listening on" not in line:  # a line about folders left behind may come first
        line = proc.stderr.readline()
    threading.Thread(target=proc.stderr.read, daemon=True).start()  # never a full pipe
    return proc, int(line.rsplit(":", 1)[1])


def request(port, method, path, body=b"", headers=None, timeout=120):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request(method, path, body, {"Host": "localhost", **(headers or {})})
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def previews(port, proc, pixels):
    side = int(pixels ** 0.5)
    body = (b"--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"p.png\"\r\n"
            b"Content-Type: image/png\r\n\r\n" + png(side, side) + b"\r\n--b--\r\n")
    request(port, "POST", PATH, body, {"Content-Type": "multipart/form-data; boundary=b"})
    status, listed = request(port, "GET", "/api/requests?limit=1")
    record = int(listed.split(b'"id": ')[1].split(b",")[0])
    statuses = []
    threads = [threading.Thread(target=lambda: statuses.append(
        request(port, "GET", "/thumbs/%d/0" % record)[0])) for _ in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("6 previews of %.0f Mpixel at once    answers %s  service peak %.1f MiB"
          % (side * side / 1e6, sorted(statuses), peak_mib(proc.pid)))


def stall(port, body, what):
    """The longest a small call waited while `body` was being read."""
    longest, done = [0.0], threading.Event()

    def small_calls():
        while not done.is_set():
            started = time.monotonic()
            request(port, "POST", PATH, b"a=1",
                    {"Content-Type": "application/x-www-form-urlencoded"})
            longest[0] = max(longest[0], time.monotonic() - started)
    watcher = threading.Thread(target=small_calls)
    watcher.start()
    started = time.monotonic()
    status, _ = request(port, "POST", PATH, body,
                        {"Content-Type": "application/x-www-form-urlencoded"})
    done.set()
    watcher.join()
    print("%-37s answered %d in %.2f s; a small call waited %.3f s at most"
          % (what, status, time.monotonic() - started, longest[0]))


def tricklers(service, count=400):
    limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))  # noqa: E731
    proc, port = start_service(service, preexec_fn=limit)
    try:
        held = []
        for _ in range(count):
            sock = socket.socket()
            sock.setblocking(False)
            sock.connect_ex(("127.0.0.1", port))
            held.append(sock)
        time.sleep(1)
        for sock in held:
            try:
                sock.send(b"POST %s HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\nContent-Type: "
                          b"application/x-www-form-urlencoded\r\n\r\na" % PATH.encode())
            except OSError:
                pass
        time.sleep(1)
        started = time.monotonic()
        try:
            status = request(port, "POST", PATH, b"a=1",
                             {"Content-Type": "application/x-www-form-urlencoded"}, 30)[0]
        except OSError as e:
            status = type(e).__name__
        print("a fresh client among %d tricklers    answered %s in %.2f s"
              % (count, status, time.monotonic() - started))
        for sock in held:
            sock.close()
    finally:
        proc.terminate()
        proc.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", default=str(SERVICE))
    args = parser.parse_args()
    for pixels in (98e6, 49e6):
        proc, port = start_service(args.service)
        try:
            previews(port, proc, pixels)
        finally:
            proc.terminate()
            proc.wait()
    proc, port = start_service(args.service)
    try:
        stall(port, b"=&" * (2 << 20), "4 MiB of '=&'")
        stall(port, b"v=" + b"%01" * (21 << 20), "63 MiB of control characters")
    finally:
        proc.terminate()
        proc.wait()
    tricklers(args.service)
    return 0


if __name__ == "__main__":
    sys.exit(main())
