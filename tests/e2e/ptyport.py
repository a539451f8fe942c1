"""A pty pair standing in for a serial line.

The program opens the slave side by name: the pts path on Linux, or COMn under
Wine, which maps $WINEPREFIX/dosdevices/comn onto whatever the link points at.
The test plays the far end on the master side.
"""
import os
import select
import subprocess
import sys
import termios
import time


def claim_com_link(target):
    """Points the first free com number from 50 on at target; returns (name, link)."""
    folder = os.path.join(os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine"), "dosdevices")
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


class PtyPort:
    """The far end of a serial line. `name` is what --serial takes."""

    def __init__(self, wine):
        self.master, self._slave = os.openpty()
        self.path = os.ttyname(self._slave)
        self.name, self._link, self._holder = self.path, None, None
        if wine:
            self.name, self._link = claim_com_link(self.path)
            self._holder = subprocess.Popen([sys.executable, "-c", CTTY_HOLDER, self.path], stdin=subprocess.PIPE,
                                            stdout=subprocess.PIPE, start_new_session=True)
            self._holder.stdout.readline()

    def wait_configured(self, timeout=20):
        """Waits until the program has put the line into raw mode (it has opened it)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not termios.tcgetattr(self._slave)[3] & termios.ICANON:
                return True
            time.sleep(0.02)
        return False

    def speed(self):
        """The line's baud rate in bits per second (also one without a Bnnn constant)."""
        import fcntl
        import struct
        tcgets2 = 0x802C542A  # struct termios2: c_ospeed at offset 40 of 44 bytes
        return struct.unpack_from("<I", fcntl.ioctl(self._slave, tcgets2, bytes(44)), 40)[0]

    def write(self, data):
        view = memoryview(data)
        while view:
            select.select([], [self.master], [], 5)
            n = os.write(self.master, view)
            view = view[n:]

    def read_until(self, expected, timeout=20):
        """Reads from the line until `expected` has arrived; returns everything read."""
        seen = b""
        deadline = time.monotonic() + timeout
        while expected not in seen and time.monotonic() < deadline:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if ready:
                try:
                    seen += os.read(self.master, 65536)
                except OSError:
                    time.sleep(0.02)
        return seen

    def hang_up(self):
        if self.master >= 0:
            os.close(self.master)
            self.master = -1

    def close(self):
        self.hang_up()
        os.close(self._slave)
        if self._link:
            os.unlink(self._link)
        if self._holder:
            self._holder.stdin.close()
            self._holder.wait()
