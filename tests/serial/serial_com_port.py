#!/usr/bin/env python3
# Runs the WineComPort tests of qw_serial_tests.exe (the one argument) under Wine
# against a COM port mapped onto a pty, playing the far end: "ping" is answered
# with 64 KiB, "bye" with a hang-up.
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from ptyport import PtyPort  # noqa: E402

line = PtyPort(wine=True)
env = dict(os.environ, QW_TEST_COM_PORT=line.name, WINEDEBUG="-all")
proc = subprocess.Popen(["wine", sys.argv[1], "--gtest_filter=WineComPort.*"], env=env)
try:
    seen = line.read_until(b"ping", timeout=60)
    time.sleep(0.3)  # reads that end on an idle line must not disturb anything
    line.write(bytes(i % 251 for i in range(65536)))
    seen += line.read_until(b"bye", timeout=60)
    line.hang_up()
    code = proc.wait(timeout=60)
finally:
    if proc.poll() is None:
        proc.kill()
    line.close()
if seen != b"pingbye":
    sys.exit("far end received %r" % seen)
sys.exit(code)
