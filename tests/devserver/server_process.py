"""Starts and stops the development web service for the tests: in this process (on a loopback
port, its event loop in a thread of its own) for its HTTP behaviour,
or as a subprocess for what only a whole process shows (its options, signals, memory, limits)."""

import asyncio
import logging
import os
import signal
import subprocess
import sys
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SERVER = os.path.join(ROOT, "devserver", "devserver.py")
# The service needs Debian's python3-aiohttp, which only Debian's own interpreter sees
# (a python3 found first on PATH, from pyenv say, does not).
PYTHON = "/usr/bin/python3"


def start_server(*args, port=0, server=SERVER, preexec_fn=None, env=None):
    """Start a server (by default this tree's); return (process, its port or None, its stderr
    lines as they come)."""
    proc = subprocess.Popen([PYTHON, str(server), "--port", str(port), *args],
                            stderr=subprocess.PIPE, text=True, preexec_fn=preexec_fn, env=env)
    lines, ready = [], threading.Event()

    # A line about folders that killed services left behind may come first.
    def drain():
        for line in proc.stderr:
            lines.append(line)
            if "listening on" in line:
                ready.set()
        ready.set()
    proc.drain = threading.Thread(target=drain, daemon=True)
    proc.drain.start()
    ready.wait(10)
    listening = [line for line in lines if "listening on" in line]
    return proc, int(listening[0].rsplit(":", 1)[1]) if listening else None, lines


def stop_server(proc, sig=signal.SIGTERM):
    proc.send_signal(sig)
    try:
        status = proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        status = proc.wait(5)
    proc.drain.join(5)
    proc.stderr.close()
    return status


def peak_kib(proc):
    """A service's peak resident memory so far (Linux: /proc)."""
    with open("/proc/%d/status" % proc.pid) as status:
        return int(next(line for line in status if line.startswith("VmHWM:")).split()[1])


class DevServer:
    """A running development web service; raises at once when it cannot listen."""

    def __init__(self, port=0, server=SERVER):
        self.proc, self.port, self.log = start_server(port=port, server=server)
        if self.port is None:
            stop_server(self.proc)
            raise RuntimeError("development web service did not start: %s" % "".join(self.log))

    def stop(self):
        return stop_server(self.proc)


class InProcess:
    """The service's app, served as the service serves it (its own connections' watch), on a
    loopback port of this process; the tests speak to it over real sockets, and its event loop
    runs in a thread of its own."""

    def __init__(self):
        sys.path.insert(0, os.path.join(ROOT, "devserver"))
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self.port = self.call(self._start())

    def call(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(30)

    async def _start(self):
        from aiohttp import web
        from wsdevserver import body, connections, server, store
        logging.getLogger("aiohttp").addHandler(server.OneLine())  # one line each, as it logs
        logging.getLogger("aiohttp").propagate = False
        self.store, self.worker = store.RequestStore(), body.Worker()
        watch = connections.Connections()
        self.runner = web.AppRunner(server.make_app(self.store, self.worker, watch),
                                    handle_signals=False, **server.RUNNER_OPTIONS)
        await self.runner.setup()
        return (await watch.listen(self.runner, "127.0.0.1", 0))[1]

    def stop(self):
        self.call(self.runner.cleanup())
        self.worker.shutdown()
        self.store.close()
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
