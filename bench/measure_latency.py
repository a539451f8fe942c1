#!/usr/bin/python3
"""Measures how fast the real program answers, where the tests only check that it
answers at all: the time from an interrupt to the exit of a capture, the round
trip of a failed command's reply over TCP, and the whole run of --version with the
USB layer started and stopped. Prints min / median / max in milliseconds.

    bench/measure_latency.py build/linux [runs]
    bench/measure_latency.py build/windows [runs]     # the .exe under Wine
"""
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from ptyport import PtyPort  # noqa: E402

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/linux")
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 20
WINE = os.path.exists(os.path.join(BUILD, "src", "quenwick-hwc.exe"))
EXE = os.path.join(BUILD, "src", "quenwick-hwc.exe" if WINE else "quenwick-hwc")
ENV = {**os.environ, "WINEDEBUG": "-all"}


def command(*args):
    # Address randomisation off under Wine, as in the tests (tests/e2e/conftest.py).
    return (["setarch", "-R", "wine"] if WINE else []) + [EXE, *args]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port):
    deadline = time.monotonic() + 30
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port))
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def interrupt_to_exit(how):
    """One capture of a pty line, interrupted once its first bytes are out."""
    line = PtyPort(wine=WINE)
    with tempfile.TemporaryDirectory() as tmp:
        port = free_port()
        args = {"stdout": ["--stdout"], "file": ["--out", os.path.join(tmp, "c.bin")],
                "qwlog": ["--qwlog", "--out", os.path.join(tmp, "c.qwlog")], "tcp": ["--tcp", str(port)]}[how]
        proc = subprocess.Popen(command("--serial", line.name, *args), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE if how == "stdout" else subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=ENV)
        client = connect(port) if how == "tcp" else None
        line.wait_configured()
        line.write(b"x" * 100)
        if how == "stdout":
            proc.stdout.read(104)
        elif client:
            client.recv(104, socket.MSG_WAITALL)
        else:
            time.sleep(0.3)
        begin = time.monotonic()
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=60)
        took = time.monotonic() - begin
        if client:
            client.close()
    line.close()
    return took


def reply_round_trips():
    """Round trips of 0x7E (unknown: answered with an error record) over TCP."""
    line = PtyPort(wine=WINE)
    port = free_port()
    proc = subprocess.Popen(command("--serial", line.name, "--tcp", str(port)), stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=ENV)
    times = []
    with connect(port) as host:
        line.wait_configured()
        for _ in range(RUNS * 5):
            begin = time.monotonic()
            host.sendall(bytes([2, 0x7E, 0, 0]))
            header = host.recv(4, socket.MSG_WAITALL)
            host.recv(header[2] | header[3] << 8, socket.MSG_WAITALL)
            times.append(time.monotonic() - begin)
    proc.kill()
    proc.wait()
    line.close()
    return times


def version_run():
    begin = time.monotonic()
    subprocess.run(command("--version"), capture_output=True, env=ENV, check=True)
    return time.monotonic() - begin


def report(name, seconds):
    ms = sorted(s * 1000 for s in seconds)
    print("%-34s min %8.1f  median %8.1f  max %8.1f ms  (%d runs)" % (name, ms[0], statistics.median(ms), ms[-1],
                                                                    len(ms)))


def main():
    print("%s, %s" % (EXE, "under Wine" if WINE else "native"))
    report("--version, whole run", [version_run() for _ in range(RUNS)])
    for how in ("stdout", "file", "qwlog", "tcp"):
        report("interrupt to exit, " + how, [interrupt_to_exit(how) for _ in range(RUNS)])
    report("TCP reply round trip", reply_round_trips())


if __name__ == "__main__":
    main()
