"""Peak resident memory and time of the development web service as a proxy (--upstream), against
the same transfer made straight to the upstream.

Three cases, each run straight to the upstream and then through a fresh service (its VmHWM only
ever grows):
  * an upload of one SIZE-byte file, laid out as libcurl sends it, with Content-Length, to a
    second development web service as the upstream (what a tester runs);
  * the same upload to a bare upstream: a plain socket server in a process of its own (this
    script with --serve), which reads an upload and answers its size; the proxy's own cost;
  * an answer of SIZE bytes from that bare upstream.
It prints the service's peak, the median of each kind's times and their ratio; the exit status
says only whether every transfer arrived whole.

    /usr/bin/python3 bench/devserver_proxy.py [--size-mib 256] [--reps 3]
"""

import argparse
import hashlib
import os
import pathlib
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devserver_memory import (  # noqa: E402
    BOUNDARY, SERVICE, SERVICE_PYTHON, blocks, cpu_seconds, peak_mib, upload as report_upload)

PATH = "/Vortan/BackOffice/trunk/webservice/zunel/testImg"
BLOCK = 1 << 20


def serve(port_file):
    """The upstream: one thread per connection, one request per connection."""
    listener = socket.create_server(("127.0.0.1", 0))
    with open(port_file, "w") as f:
        f.write(str(listener.getsockname()[1]))

    def one(conn):
        with conn:
            data = b""
            while b"\r\n\r\n" not in data:
                data += conn.recv(65536)
            head, body = data.split(b"\r\n\r\n", 1)
            lines = head.decode("latin-1").split("\r\n")
            target = lines[0].split()[1]
            length = 0
            for line in lines[1:]:
                if line.lower().startswith("content-length:"):
                    length = int(line.split(":", 1)[1])
            received = len(body)
            while received < length:
                more = conn.recv(1 << 20)
                if not more:
                    return
                received += len(more)
            if target.startswith("/big/"):
                size = int(target.rsplit("/", 1)[1])
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                             b"Content-Length: %d\r\nConnection: close\r\n\r\n" % size)
                for block in blocks(size, 1):
                    conn.sendall(block)
            else:
                text = b"got %d bytes" % received
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close"
                             b"\r\n\r\n%s" % (len(text), text))
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=one, args=(conn,), daemon=True).start()


def start(args):
    proc = subprocess.Popen(args, stderr=subprocess.PIPE, text=True)
    line = proc.stderr.readline()
    if "listening on" not in line:
        proc.kill()
        raise RuntimeError("did not start: %r" % line)
    threading.Thread(target=lambda: proc.stderr.read(), daemon=True).start()
    return proc, int(line.rsplit(":", 1)[1])


def upload(port, size):
    head = (b'--%s\r\nContent-Disposition: attachment; name="file"; filename="big.jpeg"\r\n'
            b"Content-Type: image/jpeg\r\n\r\n" % BOUNDARY)
    tail = b"\r\n--%s--\r\n" % BOUNDARY
    total = len(head) + size + len(tail)
    with socket.create_connection(("127.0.0.1", port), timeout=120) as conn:
        conn.sendall(b"POST %s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                     b"Content-Type: application/x-www-form-urlencoded; boundary=%s\r\n"
                     b"Content-Length: %d\r\n\r\n" % (PATH.encode(), BOUNDARY, total))
        conn.sendall(head)
        for block in blocks(size, 0):
            conn.sendall(block)
        conn.sendall(tail)
        answer = b"".join(iter(lambda: conn.recv(65536), b""))
    return answer.startswith(b"HTTP/1.1 200 ") and answer.endswith(b"got %d bytes" % total)


def download(port, size):
    digest, expected = hashlib.sha256(), hashlib.sha256()
    for block in blocks(size, 1):
        expected.update(block)
    with socket.create_connection(("127.0.0.1", port), timeout=120) as conn:
        conn.sendall(b"GET /big/%d HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n" % size)
        head = b""
        while b"\r\n\r\n" not in head:
            head += conn.recv(65536)
        head, body = head.split(b"\r\n\r\n", 1)
        digest.update(body)
        got = len(body)
        for data in iter(lambda: conn.recv(1 << 20), b""):
            digest.update(data)
            got += len(data)
    whole = got == size and digest.digest() == expected.digest()
    return head.startswith(b"HTTP/1.1 200 ") and whole


def timed(reps, fn, *args):
    """Whether every transfer arrived whole, and the median of their times: on a machine that
    others share, one run says little."""
    oks, times = [], []
    for _ in range(reps):
        started = time.monotonic()
        oks.append(fn(*args))
        times.append(time.monotonic() - started)
    return all(oks), statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--reps", type=int, default=3, help="transfers of each kind (3)")
    parser.add_argument("--serve", metavar="PORT_FILE", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        return serve(args.serve)
    size = args.size_mib << 20
    port_file = pathlib.Path("/tmp/devserver-proxy-bench-%d" % os.getpid())
    upstream = subprocess.Popen([sys.executable, __file__, "--serve", str(port_file)])
    service = None
    try:
        while not port_file.exists() or not port_file.read_text():
            time.sleep(0.05)
        upstream_port = int(port_file.read_text())
        print("service: %s %s --upstream URL" % (SERVICE_PYTHON, SERVICE))
        service, service_port = start([SERVICE_PYTHON, str(SERVICE), "--port", "0"])
        all_ok = True
        for name, fn, to in (
                ("%d MiB upload to a service" % args.size_mib,
                 lambda port, size: report_upload(port, size, 0, False), service_port),
                ("%d MiB upload, bare" % args.size_mib, upload, upstream_port),
                ("%d MiB answer, bare" % args.size_mib, download, upstream_port)):
            straight_ok, straight = timed(args.reps, fn, to, size)
            proc, port = start([SERVICE_PYTHON, str(SERVICE), "--port", "0",
                                "--upstream", "http://127.0.0.1:%d" % to])
            try:
                proxied_ok, proxied = timed(args.reps, fn, port, size)
                peak, cpu = peak_mib(proc.pid), cpu_seconds(proc.pid) / args.reps
            finally:
                proc.terminate()
                proc.wait(10)
            all_ok = all_ok and straight_ok and proxied_ok
            print("%-30s straight %6.2f s  through the service %6.2f s  (x%.2f)  service peak "
                  "%6.1f MiB  cpu %5.2f s each  %s"
                  % (name, straight, proxied, proxied / straight, peak, cpu,
                     "whole" if straight_ok and proxied_ok else "NOT WHOLE"))
        return 0 if all_ok else 1
    finally:
        if service is not None:
            service.terminate()
            service.wait(10)
        upstream.kill()
        upstream.wait()
        port_file.unlink(missing_ok=True)


if __name__ == "__main__":
    sys.exit(main())
