"""Peak resident memory of the development web service under large uploads.

Each case starts a fresh service on a free port of 127.0.0.1 (the peak, VmHWM in
/proc/PID/status, only ever grows), uploads to it, checks the report and prints the service's
peak and the wall time. Cases: one 256 MiB file with Content-Length, the same sent chunked,
and 50 uploads of 8 MiB at once. The bodies are made as they are sent, so this script stays
small itself. It prints figures; it does not judge them (its exit status only says whether
every upload got its report).

    /usr/bin/python3 bench/devserver_memory.py [--size-mib 256] [--clients 50] [--client-mib 8]
"""

import argparse
import hashlib
import os
import pathlib
import socket
import subprocess
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
# The interpreter that sees Debian's packages, which the service needs.
SERVICE_PYTHON = "/usr/bin/python3"
PATH = "/Vortan/BackOffice/trunk/webservice/zunel/testImg"
BOUNDARY = b"------------------------4f0e1d2c3b4a5968"
BLOCK = 1 << 20


def start_service():
    proc = subprocess.Popen([SERVICE_PYTHON, str(ROOT / "devserver" / "devserver.py"), "--port", "0"],
                            stderr=subprocess.PIPE, text=True)
    line = proc.stderr.readline()
    if "listening on" not in line:
        proc.kill()
        raise RuntimeError("service did not start: %r" % line)
    # Keep reading its log so that it never blocks on a full pipe.
    threading.Thread(target=lambda: proc.stderr.read(), daemon=True).start()
    return proc, int(line.rsplit(":", 1)[1])


def peak_mib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmHWM for %d" % pid)


def blocks(size, seed):
    """`size` bytes of a file in blocks, different for each seed."""
    block = hashlib.sha256(b"%d" % seed).digest() * (BLOCK // 32)
    for start in range(0, size, BLOCK):
        yield block[:min(BLOCK, size - start)]


def upload(port, size, seed, chunked):
    """Sends one file of `size` bytes the way libcurl does; returns True if the report is right."""
    head = (b'--%s\r\nContent-Disposition: attachment; name="file"; filename="big.jpeg"\r\n'
            b"Content-Type: image/jpeg\r\n\r\n" % BOUNDARY)
    tail = b"\r\n--%s--\r\n" % BOUNDARY
    digest = hashlib.sha256()
    with socket.create_connection(("127.0.0.1", port), timeout=120) as conn:
        framing = (b"Transfer-Encoding: chunked" if chunked
                   else b"Content-Length: %d" % (len(head) + size + len(tail)))
        conn.sendall(b"POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                     b"Content-Type: application/x-www-form-urlencoded; boundary=%s\r\n%s\r\n\r\n"
                     % (PATH.encode(), BOUNDARY, framing))

        def send(piece):
            conn.sendall(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
        send(head)
        for block in blocks(size, seed):
            digest.update(block)
            send(block)
        send(tail)
        if chunked:
            conn.sendall(b"0\r\n\r\n")
        answer = b"".join(iter(lambda: conn.recv(65536), b""))
    expected = b'"big.jpeg", %d bytes, sha256 %s\n' % (size, digest.hexdigest().encode())
    return answer.startswith(b"HTTP/1.1 200 ") and answer.endswith(expected)


def run_case(name, clients, size, chunked):
    proc, port = start_service()
    try:
        results = {}
        started = time.monotonic()
        threads = [threading.Thread(target=lambda i=i: results.__setitem__(i, upload(port, size, i, chunked)))
                   for i in range(clients)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        seconds = time.monotonic() - started
        peak = peak_mib(proc.pid)
    finally:
        proc.terminate()
        proc.wait(10)
    ok = sum(1 for value in results.values() if value)
    print("%-34s peak %7.1f MiB  %6.2f s  %d/%d reports right" % (name, peak, seconds, ok, clients))
    return ok == clients


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--client-mib", type=int, default=8)
    args = parser.parse_args()
    print("service: %s %s" % (SERVICE_PYTHON, ROOT / "devserver" / "devserver.py"))
    cases = [
        ("%d MiB, Content-Length" % args.size_mib, 1, args.size_mib << 20, False),
        ("%d MiB, chunked" % args.size_mib, 1, args.size_mib << 20, True),
        ("%d x %d MiB at once" % (args.clients, args.client_mib), args.clients, args.client_mib << 20, False),
    ]
    return 0 if all([run_case(*case) for case in cases]) else 1


if __name__ == "__main__":
    sys.exit(main())
