"""End-to-end harness: runs the built executable (QW_EXE, a .exe under Wine) as a user
would. QW_PLATFORM is posix or win32; QW_BUILD_DIR holds the simulator and helpers."""
import contextlib
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
from types import SimpleNamespace

import pytest

EXE = os.environ.get("QW_EXE", "")
PLATFORM = os.environ.get("QW_PLATFORM", "posix")
BUILD_DIR = os.environ.get("QW_BUILD_DIR", "")
WINE = PLATFORM == "win32"
# stdout is binary on every platform; stderr keeps the C runtime's text mode, so
# Windows ends its lines in CR LF.
EOL = b"\r\n" if WINE else b"\n"
SERIAL_DATA = 0x03


# How a Windows program is started. Debian's Wine has no preloader, so the
# kernel places the C library's heap of each Wine process at random in the low
# 4 GiB; about once in a few thousand starts it covers 0x7ffe0000, the page
# Windows keeps for its shared user data, and Wine gives up ("failed to map the
# shared user data", exit 1, nothing shown under WINEDEBUG=-all). With address
# randomisation off the heap sits right after Wine's loader, every start alike.
WINE_RUN = ["setarch", "-R", "wine"] if shutil.which("setarch") else ["wine"]


def command(*args):
    """The argument vector that runs the program with these arguments."""
    return (WINE_RUN if WINE else []) + [EXE, *args]


def exit_code(raw):
    """-1 from the program reads as 255 on both platforms (Wine reports it so). A
    process a signal ended is named on stderr, which a failing test shows."""
    if raw < 0:
        print("the program was ended by signal %d" % -raw, file=sys.stderr)
    return raw & 0xFF


def _env(extra):
    # A libusb rule broken on the simulator aborts the program, so no test passes over it.
    return {"WINEDEBUG": "-all", "QWSIM_STRICT": "1", **os.environ, **(extra or {})}


def run(*args, stdin=b"", timeout=30, env=None, cwd=None):
    proc = subprocess.run(command(*args), input=stdin, capture_output=True, timeout=timeout, env=_env(env), cwd=cwd)
    return SimpleNamespace(code=exit_code(proc.returncode), stdout=proc.stdout, stderr=proc.stderr)


def sim_env(tmp_path, scenario):
    """The environment that runs the program on the simulator with this scenario."""
    if not BUILD_DIR:
        pytest.skip("QW_BUILD_DIR not set")
    (tmp_path / "bus.sim").write_text(scenario)
    env = {"QWSIM_SCENARIO": str(tmp_path / "bus.sim")}
    # The simulator stands in for libusb from a folder of its own, on the search path.
    env["WINEPATH" if WINE else "LD_LIBRARY_PATH"] = os.path.join(BUILD_DIR, "sim", "lib")
    return env


def device_commands(tmp_path):
    """What the program sent the simulated device's endpoint 0x02, per the scenario's `record record.txt`."""
    lines = (tmp_path / "record.txt").read_text().splitlines()
    return [l.rsplit("data=", 1)[1] for l in lines if l.startswith("out dev=dev0 ep=0x02 ")]


@pytest.fixture
def qw():
    if not EXE:
        pytest.skip("QW_EXE not set")
    return run


def parse_messages(data):
    """Splits a framed stream into (code, payload) pairs; a partial tail is left out."""
    out, pos = [], 0
    while len(data) - pos >= 4:
        size = data[pos + 2] | data[pos + 3] << 8
        if len(data) - pos - 4 < size:
            break
        out.append((data[pos + 1], bytes(data[pos + 4:pos + 4 + size])))
        pos += 4 + size
    return out


def frame(code, payload=b""):
    return bytes([2, code, len(payload) & 0xFF, len(payload) >> 8]) + payload


class Running:
    """The program running in the background; its stdout is collected as it comes."""

    def __init__(self, args, env=None, cwd=None):
        self.proc = subprocess.Popen(command(*args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=_env(env), cwd=cwd)
        self.output, self.eof, self._cond = bytearray(), False, threading.Condition()
        self.errors, self._errors_end = bytearray(), False
        self._reader = threading.Thread(target=self._collect, args=(self.proc.stdout, self.output, "eof"), daemon=True)
        self._reader.start()
        self._error_reader = threading.Thread(target=self._collect, args=(self.proc.stderr, self.errors, "_errors_end"),
                                              daemon=True)
        self._error_reader.start()

    def _collect(self, stream, into, end_flag):
        while not getattr(self, end_flag):
            chunk = stream.read1(1 << 16)
            with self._cond:
                into += chunk
                setattr(self, end_flag, not chunk)
                self._cond.notify_all()

    def wait_stderr(self, predicate, timeout=30):
        """Waits until predicate(stderr so far) holds or stderr ends; returns it."""
        with self._cond:
            self._cond.wait_for(lambda: self._errors_end or predicate(bytes(self.errors)), timeout)
            return bytes(self.errors)

    def messages(self):
        with self._cond:
            return parse_messages(self.output)

    def wait_output(self, predicate, timeout=30):
        """Waits until predicate(messages) holds or stdout ends; returns the messages."""
        with self._cond:
            self._cond.wait_for(lambda: self.eof or predicate(parse_messages(self.output)), timeout)
            return parse_messages(self.output)

    def finish(self, timeout=30):
        """Closes stdin and waits for the exit; returns (exit code, stderr)."""
        self.proc.stdin.close()
        code = self.proc.wait(timeout=timeout)
        self._reader.join(timeout)
        self._error_reader.join(timeout)
        return exit_code(code), bytes(self.errors)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def background():
    """Starts programs in the background and kills what is left at the end."""
    if not EXE:
        pytest.skip("QW_EXE not set")
    started = []

    def start(*args, env=None, cwd=None):
        started.append(Running(args, env=env, cwd=cwd))
        return started[-1]

    yield start
    for r in started:
        r.kill()


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def line():
    """A serial line on a pty pair: the program opens `line.name`, the test plays the far end."""
    from ptyport import PtyPort
    port = PtyPort(wine=WINE)
    yield port
    port.close()


def data_of(messages, code=SERIAL_DATA):
    return b"".join(p for c, p in messages if c == code)


def connect(family, address, timeout=20, options=()):
    """Connects once the server listens; `options` are (level, option, value) set before."""
    deadline = time.monotonic() + timeout
    while True:
        sock = socket.socket(family, socket.SOCK_STREAM)
        for option in options:
            sock.setsockopt(*option)
        try:
            sock.connect(address)
            return sock
        except OSError:
            sock.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def receive(sock, predicate, timeout=20):
    """The messages the socket brings until predicate(messages) holds, it closes, or time is up."""
    data, deadline = b"", time.monotonic() + timeout
    with contextlib.suppress(socket.timeout):
        while not predicate(parse_messages(data)) and time.monotonic() < deadline:
            sock.settimeout(max(0.01, deadline - time.monotonic()))
            chunk = sock.recv(65536)
            data += chunk
            if not chunk:
                break
    return parse_messages(data)


def wait_for(condition, timeout=30):
    """Polls until condition() holds or time is up; its last answer."""
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()
