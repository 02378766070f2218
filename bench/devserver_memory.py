"""Peak resident memory and time of the development web service under large uploads.

Each case starts a fresh service on a free port of 127.0.0.1 (the peak, VmHWM in
/proc/PID/status, only ever grows), uploads to it, checks the report and prints the service's
peak, the wall time and the CPU time the service used. Cases: one 256 MiB file with
Content-Length, the same sent chunked, the same as one url-encoded value, 50 uploads of 8 MiB at
once, and the same file sent by `curl -F` three times (each answer's time, as curl measures it).
The bodies are made as they are sent, so this script stays small itself. It prints figures; it
does not judge them (its exit status only says whether every upload got its report).

    /usr/bin/python3 bench/devserver_memory.py [--size-mib 256] [--clients 50] [--client-mib 8]
                                               [--service devserver/devserver.py]
"""

import argparse
import hashlib
import os
import pathlib
import socket
import subprocess
import tempfile
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
# The interpreter that sees Debian's packages, which the service needs.
SERVICE_PYTHON = "/usr/bin/python3"
PATH = "/Vortan/BackOffice/trunk/webservice/zunel/testImg"
BOUNDARY = b"------------------------4f0e1d2c3b4a5968"
BLOCK = 1 << 20


SERVICE = ROOT / "devserver" / "devserver.py"


def start_service():
    proc = subprocess.Popen([SERVICE_PYTHON, str(SERVICE), "--port", "0"],
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


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def blocks(size, seed):
    """`size` bytes of a file in blocks, different for each seed."""
    block = hashlib.sha256(b"%d" % seed).digest() * (BLOCK // 32)
    for start in range(0, size, BLOCK):
        yield block[:min(BLOCK, size - start)]


def upload_urlencoded(port, size, seed, chunked):
    """Sends one url-encoded value of `size` bytes; returns True if the report is right."""
    line = b'url-encoded field "v" (%d bytes): ' % size
    with socket.create_connection(("127.0.0.1", port), timeout=120) as conn:
        conn.sendall(b"POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                     b"Content-Type: application/x-www-form-urlencoded\r\n"
                     b"Content-Length: %d\r\n\r\nv=" % (PATH.encode(), size + 2))
        block = b"abcdefgh" * (BLOCK // 8)
        for start in range(0, size, BLOCK):
            conn.sendall(block[:min(BLOCK, size - start)])
        # The answer repeats the value: count it as it comes rather than hold it.
        head, total = b"", 0
        for data in iter(lambda: conn.recv(1 << 20), b""):
            if len(head) < 4096:
                head += data[:4096]
            total += len(data)
    body = head.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in head else b""
    return head.startswith(b"HTTP/1.1 200 ") and line in body and total > size


def curl_upload(port, path):
    """`curl -F` of one file; returns its total time, or None when the report is wrong."""
    done = subprocess.run(["curl", "-sS", "-w", "\n%{time_total}", "-F", "file=@%s" % path,
                           "http://127.0.0.1:%d%s" % (port, PATH)],
                          capture_output=True, timeout=300)
    text, _, seconds = done.stdout.decode().rpartition("\n")
    return float(seconds) if done.returncode == 0 and "sha256" in text else None


def run_curl_case(name, size, rounds=3):
    with tempfile.NamedTemporaryFile(prefix="devserver-bench-") as f:
        for block in blocks(size, 0):
            f.write(block)
        f.flush()
        proc, port = start_service()
        try:
            times = [curl_upload(port, f.name) for _ in range(rounds)]
            peak = peak_mib(proc.pid)
        finally:
            proc.terminate()
            proc.wait(10)
    ok = [t for t in times if t is not None]
    print("%-34s peak %7.1f MiB  answered in %s s  %d/%d reports right"
          % (name, peak, " ".join("%.2f" % t for t in ok), len(ok), rounds))
    return len(ok) == rounds


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


def run_case(name, clients, size, chunked, send=upload):
    proc, port = start_service()
    try:
        results = {}
        started = time.monotonic()
        threads = [threading.Thread(
            target=lambda i=i: results.__setitem__(i, send(port, size, i, chunked)))
            for i in range(clients)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        seconds = time.monotonic() - started
        peak = peak_mib(proc.pid)
        cpu = cpu_seconds(proc.pid)
    finally:
        proc.terminate()
        proc.wait(10)
    ok = sum(1 for value in results.values() if value)
    print("%-34s peak %7.1f MiB  %6.2f s  cpu %5.2f s  %d/%d reports right"
          % (name, peak, seconds, cpu, ok, clients))
    return ok == clients


def main():
    global SERVICE
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--client-mib", type=int, default=8)
    parser.add_argument("--service", type=pathlib.Path, default=SERVICE,
                        help="the launcher to measure (another tree's, to compare)")
    args = parser.parse_args()
    SERVICE = args.service.resolve()
    print("service: %s %s" % (SERVICE_PYTHON, SERVICE))
    cases = [
        ("%d MiB, Content-Length" % args.size_mib, 1, args.size_mib << 20, False),
        ("%d MiB, chunked" % args.size_mib, 1, args.size_mib << 20, True),
        ("%d MiB, one url-encoded value" % args.size_mib, 1, args.size_mib << 20, False,
         upload_urlencoded),
        ("%d x %d MiB at once" % (args.clients, args.client_mib), args.clients,
         args.client_mib << 20, False),
    ]
    ok = all([run_case(*case) for case in cases])
    return 0 if run_curl_case("%d MiB, curl -F" % args.size_mib, args.size_mib << 20) and ok else 1


if __name__ == "__main__":
    sys.exit(main())
