"""Requests per second of the development web service for the console's message call, against
a bare aiohttp handler and, optionally, an earlier revision of the service, in one run.

Each run starts a fresh server on a free port of 127.0.0.1, checks its answer, and runs
`ab -k -c 20 -n N -p BODY -T TYPE URL` on it; the cases are keep-alive, the same without -k, and
keep-alive while 8 clients hold the service's /events open (the bare handler has none: there it
is plain keep-alive). It prints the median requests/s of --reps runs and the ratios to the bare
handler; it does not judge them. Its exit status only says whether every run could be measured
(none can with a failed or non-2xx answer). --smoke (200 requests, one run) checks that it runs.

    /usr/bin/python3 bench/devserver_rate.py [--requests 5000] [--reps 3] [--smoke]
                                             [--service devserver/devserver.py] [--baseline-rev REV]
"""

import argparse
import pathlib
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = pathlib.Path(__file__).resolve().parents[1]
# The interpreter that sees Debian's aiohttp.
PYTHON = "/usr/bin/python3"
PATH = "/Vortan/BackOffice/trunk/webservice/zunel/testMsg"
CONTENT_TYPE = "application/x-www-form-urlencoded; boundary=------------------------abc123"
BODY = (b'--------------------------abc123\r\nContent-Disposition: attachment; name="message"\r\n'
        b'\r\n{"page":"unIDdepage"}\r\n--------------------------abc123--\r\n')
SERVICE_ANSWER = b"devserver: testMsg received 1 field"
BARE_ANSWER = b"received\n"
EVENT_CLIENTS = 8
LISTENING = re.compile(rb"listening on http://127\.0\.0\.1:(\d+)")
# The floor the service is weighed against: aiohttp alone, reading the body and answering.
BARE = """import socket, sys
from aiohttp import web
async def answer(request):
    await request.read()
    return web.Response(text="received\\n")
app = web.Application()
app.router.add_post(%r, answer)
sock = socket.create_server(("127.0.0.1", 0), backlog=128)
print("listening on http://127.0.0.1:%%d" %% sock.getsockname()[1], file=sys.stderr, flush=True)
web.run_app(app, sock=sock, print=None, access_log=None)
""" % PATH
CASES = ["keep-alive", "no keep-alive", "keep-alive, %d SSE clients" % EVENT_CLIENTS]


def start(argv, log):
    """A server started with its stderr in `log`, a file, so that a full pipe never slows it,
    and the port its first line names (None if it names none in time)."""
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=log)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and proc.poll() is None:
        match = LISTENING.search(pathlib.Path(log.name).read_bytes())
        if match:
            return proc, int(match.group(1))
        time.sleep(0.05)
    return proc, None


def events_client(port, opened, stop, gone):
    """Holds /events open, reading it, until `stop`; one refused or ended early goes in `gone`."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as conn:
            conn.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
            lines = conn.makefile("rb")
            if not (lines.readline().startswith(b"HTTP/1.1 200 ")
                    and any(line.startswith(b"retry:") for line in lines)):
                raise OSError("no event stream")
            opened.append(port)
            conn.settimeout(0.5)
            while not stop.is_set():
                try:
                    if not conn.recv(1 << 20):
                        raise OSError("ended")
                except socket.timeout:
                    pass
    except OSError:
        gone.append(port)


def measure(argv, answer, case, requests, body):
    """Requests/s of one ab run on a fresh server, or None (and why) when it can't be measured."""
    stop, opened, gone, threads, proc = threading.Event(), [], [], [], None
    with tempfile.NamedTemporaryFile(prefix="devserver-rate-") as log:
        try:
            proc, port = start(argv, log)
            if port is None:
                return None, "did not start: %r" % pathlib.Path(log.name).read_bytes()[-300:]
            url = "http://127.0.0.1:%d%s" % (port, PATH)
            check = urllib.request.Request(url, BODY, {"Content-Type": CONTENT_TYPE})
            with urllib.request.urlopen(check, timeout=10) as reply:
                if reply.status != 200 or answer not in reply.read():
                    return None, "wrong answer to the check"
            if case == CASES[2] and answer == SERVICE_ANSWER:
                for _ in range(EVENT_CLIENTS):
                    threads.append(threading.Thread(target=events_client, daemon=True,
                                                    args=(port, opened, stop, gone)))
                    threads[-1].start()
                deadline = time.monotonic() + 10
                while len(opened) + len(gone) < EVENT_CLIENTS and time.monotonic() < deadline:
                    time.sleep(0.05)
                if len(opened) < EVENT_CLIENTS:
                    return None, "an /events client was not served"
            ab = ["ab", "-k", "-c", "20", "-n", str(requests), "-p", body, "-T", CONTENT_TYPE, url]
            done = subprocess.run(ab[:1] + ab[2:] if case == CASES[1] else ab, text=True,
                                  capture_output=True, timeout=120 + requests / 50)
            figures = dict(re.findall(r"^(Requests per second|Failed requests|Non-2xx responses"
                                      r"|Complete requests):\s+([\d.]+)", done.stdout, re.M))
            if done.returncode or figures.get("Complete requests") != str(requests) or any(
                    figures.get(k, "0") != "0" for k in ("Failed requests", "Non-2xx responses")):
                return None, "ab: %s" % (done.stderr.strip() or done.stdout.strip())[-400:]
            if gone:
                return None, "an /events stream ended during the run"
            return float(figures["Requests per second"]), ""
        except (OSError, subprocess.TimeoutExpired) as e:
            return None, str(e)
        finally:
            stop.set()
            for thread in threads:
                thread.join(5)
            if proc is not None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=5000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--service", type=pathlib.Path, default=ROOT / "devserver" / "devserver.py")
    parser.add_argument("--baseline-rev", help="a revision of this repository to measure too")
    parser.add_argument("--smoke", action="store_true", help="200 requests, one run")
    args = parser.parse_args()
    if args.smoke:
        args.requests, args.reps = 200, 1
    with tempfile.TemporaryDirectory(prefix="devserver-rate-") as tmp:
        pathlib.Path(tmp, "body").write_bytes(BODY)
        targets = [("service", [PYTHON, str(args.service.resolve()), "--port", "0"],
                    SERVICE_ANSWER), ("bare", [PYTHON, "-c", BARE], BARE_ANSWER)]
        if args.baseline_rev:
            archive = subprocess.run(["git", "-C", str(ROOT), "archive", args.baseline_rev,
                                      "devserver"], capture_output=True, timeout=60)
            if archive.returncode != 0:
                sys.exit("no devserver/ at %s: %s" % (args.baseline_rev, archive.stderr.decode()))
            subprocess.run(["tar", "-x", "-C", tmp], input=archive.stdout, check=True, timeout=60)
            targets.append((args.baseline_rev, [PYTHON, tmp + "/devserver/devserver.py",
                                                "--port", "0"], SERVICE_ANSWER))
        print("ab -c 20 -n %d, median of %d; %s" % (args.requests, args.reps, args.service))
        runs = {}
        # Targets take turns within each repetition, so a busy moment of the machine is shared.
        for _ in range(args.reps):
            for case in CASES:
                for name, argv, answer in targets:
                    rate, why = measure(argv, answer, case, args.requests, tmp + "/body")
                    runs.setdefault((case, name), []).append(rate)
                    print("  %-28s %-9s %s" % (case, name, "%.0f req/s" % rate if rate else
                                               "NOT MEASURED: " + why), flush=True)
    others = [name for name, _, _ in targets[2:]]
    titles = ["service", "bare", "service/bare"] + sum([[n, n + "/bare"] for n in others], [])
    print("\n%-28s" % "case" + "".join("%14s" % title for title in titles))
    for case in CASES:
        rate = {name: None if None in runs[case, name] else statistics.median(runs[case, name])
                for name, _, _ in targets}
        service, bare = cells(rate, "service"), cells(rate, "bare")
        row = service[:1] + bare[:1] + service[1:] + sum([cells(rate, n) for n in others], [])
        print("%-28s" % case + "".join("%14s" % cell for cell in row))
    return 0 if all(None not in rates for rates in runs.values()) else 1


def cells(rate, name):
    """The median requests/s of `name` and its ratio to the bare handler's, as printed."""
    value, bare = rate[name], rate["bare"]
    return ["%.0f" % value if value else "-", "%.2f" % (value / bare) if value and bare else "-"]


if __name__ == "__main__":
    sys.exit(main())
