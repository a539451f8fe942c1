"""End-to-end harness: runs the built executable as a user would.

QW_EXE       the executable (a .exe is run under Wine)
QW_PLATFORM  posix or win32
QW_BUILD_DIR the build folder (for the simulator library and helper programs)
"""
import os
import subprocess

import pytest

EXE = os.environ.get("QW_EXE", "")
PLATFORM = os.environ.get("QW_PLATFORM", "posix")
BUILD_DIR = os.environ.get("QW_BUILD_DIR", "")


def command(*args):
    """The argument vector that runs the program with these arguments."""
    prefix = ["wine"] if PLATFORM == "win32" else []
    return prefix + [EXE, *args]


def exit_code(raw):
    """-1 from the program reads as 255 on both platforms (Wine reports it so)."""
    return raw & 0xFF


class Result:
    def __init__(self, proc):
        self.code = exit_code(proc.returncode)
        self.stdout = proc.stdout
        self.stderr = proc.stderr


def run(*args, stdin=b"", timeout=30, env=None, cwd=None):
    full_env = dict(os.environ)
    full_env.setdefault("WINEDEBUG", "-all")
    if env:
        full_env.update(env)
    proc = subprocess.run(command(*args), input=stdin, capture_output=True, timeout=timeout, env=full_env, cwd=cwd)
    return Result(proc)


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
        import threading
        full_env = dict(os.environ)
        full_env.setdefault("WINEDEBUG", "-all")
        if env:
            full_env.update(env)
        self.proc = subprocess.Popen(command(*args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=full_env, cwd=cwd)
        self._out = bytearray()
        self._cond = threading.Condition()
        self._reader = threading.Thread(target=self._collect, daemon=True)
        self._reader.start()

    def _collect(self):
        while True:
            chunk = self.proc.stdout.read1(65536)
            with self._cond:
                if not chunk:
                    self._cond.notify_all()
                    return
                self._out += chunk
                self._cond.notify_all()

    def output(self):
        with self._cond:
            return bytes(self._out)

    def messages(self):
        return parse_messages(self.output())

    def wait_output(self, predicate, timeout=30):
        """Waits until predicate(messages) holds; returns the messages."""
        import time
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                messages = parse_messages(self._out)
                if predicate(messages):
                    return messages
                left = deadline - time.monotonic()
                if left <= 0 or (not self._reader.is_alive() and self.proc.poll() is not None):
                    return messages
                self._cond.wait(min(left, 0.5))

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def close_stdin(self):
        self.proc.stdin.close()

    def finish(self, timeout=30):
        """Waits for the exit; returns (exit code, stderr)."""
        code = self.proc.wait(timeout=timeout)
        self._reader.join(timeout)
        return exit_code(code), self.proc.stderr.read()

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
        r = Running(args, env=env, cwd=cwd)
        started.append(r)
        return r

    yield start
    for r in started:
        r.kill()


def free_tcp_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
