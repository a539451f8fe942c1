#!/usr/bin/env python3
"""Runs the Windows serial test program under Wine against a real COM port.

Wine maps COMn onto whatever $WINEPREFIX/dosdevices/comn points at. We point a
free COM number at a fresh pty, run the test program's WineComPort tests with
QW_TEST_COM_PORT=COMn, and play the far end on the pty master:
  read "ping from windows", answer "pong from linux" and 64 KiB, hang up after "bye".

usage: serial_com_port.py <qw_serial_tests.exe>
"""
import os
import select
import subprocess
import sys
import time

# Sent after the pong; the test program checks every byte.
BLOCK = bytes(i % 251 for i in range(65536))


def dosdevices():
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    return os.path.join(prefix, "dosdevices")


def claim_com_link(target):
    """Points the first free com number from 50 on at target; returns (name, link)."""
    folder = dosdevices()
    os.makedirs(folder, exist_ok=True)
    for number in range(50, 250):
        link = os.path.join(folder, "com%d" % number)
        try:
            os.symlink(target, link)
        except FileExistsError:
            continue
        return "COM%d" % number, link
    raise RuntimeError("no free COM number in " + folder)


# Holds the pty as the controlling terminal of a session of its own. Otherwise a
# Wine process that is a session leader without one (wineserver) takes it when it
# opens the port, and our hang-up sends it SIGHUP, on which it dumps its objects.
CTTY_HOLDER = (
    "import os, signal, sys\n"
    "signal.signal(signal.SIGHUP, signal.SIG_IGN)\n"
    "fd = os.open(sys.argv[1], os.O_RDWR)\n"
    "print('held', flush=True)\n"
    "sys.stdin.read()\n"
)


def hold_ctty(path):
    holder = subprocess.Popen([sys.executable, "-c", CTTY_HOLDER, path], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, start_new_session=True)
    holder.stdout.readline()
    return holder


def far_end(master, proc, deadline):
    """Answers the test program; returns what it sent us."""
    seen = b""
    answered = False
    while proc.poll() is None and time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if not ready:
            continue
        try:
            chunk = os.read(master, 4096)
        except OSError:  # no slave open (yet, or any more)
            time.sleep(0.05)
            continue
        seen += chunk
        if not answered and b"ping from windows" in seen:
            # A pause first: reads that end on an idle line must not disturb anything.
            time.sleep(0.3)
            os.write(master, b"pong from linux" + BLOCK)
            answered = True
        if answered and seen.endswith(b"bye"):
            break
    return seen


def main():
    exe = sys.argv[1]
    master, slave = os.openpty()
    name, link = claim_com_link(os.ttyname(slave))
    holder = hold_ctty(os.ttyname(slave))
    os.close(slave)
    env = dict(os.environ, QW_TEST_COM_PORT=name, WINEDEBUG="-all")
    proc = subprocess.Popen(["wine", exe, "--gtest_filter=WineComPort.*"], env=env)
    try:
        seen = far_end(master, proc, time.monotonic() + 60)
        os.close(master)  # the hang-up
        master = -1
        code = proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
        if master >= 0:
            os.close(master)
        os.unlink(link)
        holder.stdin.close()
        holder.wait()
    if b"ping from windows" not in seen or not seen.endswith(b"bye"):
        print("far end received %r" % seen, file=sys.stderr)
        return 1
    return code


if __name__ == "__main__":
    sys.exit(main())
