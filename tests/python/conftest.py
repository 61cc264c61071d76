"""A private eventd for each test: its own socket folder, log folder and
shared-memory prefix, at its default options, removed afterwards."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

EVENTD = os.environ["EVT_TEST_EVENTD"]
HELPER = os.environ["EVT_TEST_HELPER"]


def wait_until(condition, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.01)
    return condition()


class Service:
    """eventd as a child process; start, kill and restart it."""

    def __init__(self, root):
        self.root = root
        self.process = None
        self.starts = 0

    def start(self):
        self.starts += 1
        err = os.path.join(self.root, f"eventd.{self.starts}.err")
        with open(err, "w") as errors:
            self.process = subprocess.Popen([EVENTD], stdout=subprocess.DEVNULL, stderr=errors)
        assert wait_until(lambda: "listening at" in open(err).read() or self.process.poll() is not None)
        assert self.process.poll() is None, open(err).read()

    def kill(self, sig=signal.SIGKILL):
        if self.process and self.process.poll() is None:
            self.process.send_signal(sig)
            self.process.wait(30)
        self.process = None

    def spawn(self, *args, name="helper"):
        """The C++ test host (tests/helpers) in one of its modes; its output in a file."""
        out = open(os.path.join(self.root, f"{name}.out"), "w")
        return subprocess.Popen([HELPER, *map(str, args)], stdout=out, stderr=subprocess.STDOUT), out.name

    def python(self, code, name="python"):
        """A Python process running `code` with this environment."""
        out = open(os.path.join(self.root, f"{name}.out"), "w")
        return subprocess.Popen([sys.executable, "-c", code], stdout=out, stderr=subprocess.STDOUT), out.name


@pytest.fixture
def service(monkeypatch):
    root = tempfile.mkdtemp(prefix="evt-py-")
    prefix = f"evtpy.{os.getpid()}.{os.path.basename(root)}."
    monkeypatch.setenv("EVT_SHM_PREFIX", prefix)
    for variable, folder in (("EVT_LOG_DIR", "log"), ("EVT_RUNTIME_DIR", "run")):
        os.makedirs(os.path.join(root, folder))
        monkeypatch.setenv(variable, os.path.join(root, folder))
    for variable in ("EVT_TRACE_MASK", "EVT_LOG_CONFIG"):
        monkeypatch.delenv(variable, raising=False)
    running = Service(root)
    running.start()
    yield running
    running.kill()
    for name in os.listdir("/dev/shm"):
        if name.startswith(prefix):
            os.unlink(os.path.join("/dev/shm", name))
    shutil.rmtree(root, ignore_errors=True)
