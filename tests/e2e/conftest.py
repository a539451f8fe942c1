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
