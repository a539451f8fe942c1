"""What a user reads when something goes wrong: every console error line names
the file, port or socket involved before the system's own words, and
failures the host cannot hear reach the console (a command failed on a read-only
standard input: test_serial_plims.py). System texts differ between Linux and
Wine, so under Wine only the named part is checked."""
import os
import socket
import subprocess
import time

import pytest

from conftest import EOL, WINE, connect, frame, free_tcp_port, parse_messages, receive
from ptyport import PtyPort

ERROR, TRANSMIT = 0x20, 0x28
posix_only = pytest.mark.skipif(WINE, reason="a POSIX file or device")


def check_line(result, named, cause):
    """One line: `error: <named>: <cause>`; the cause only on Linux."""
    assert (result.code, result.stdout) == (255, b"")
    text = result.stderr.decode()
    assert text.startswith("error: %s: " % named) and text.endswith(EOL.decode()) and text.count("\n") == 1, text
    if not WINE:
        assert text == "error: %s: %s\n" % (named, cause)


@pytest.mark.parametrize("args, named, cause", [
    (["--serial", "COM1", "--in", "missing.bin", "--out", "o.bin"], 'command input file "missing.bin"',
     "No such file or directory"),
    (["--serial", "ttyNOPE"], "serial port " + ("\\\\.\\ttyNOPE" if WINE else "/dev/ttyNOPE"), "No such file or directory"),
    pytest.param(["--serial", "/etc/passwd"], "/etc/passwd is not a serial port", "Inappropriate ioctl for device",
                 marks=posix_only),
])
def test_a_missing_or_wrong_file_is_named(qw, tmp_path, args, named, cause):
    check_line(qw(*args, cwd=tmp_path), named, cause)


@posix_only
@pytest.mark.parametrize("args, named", [
    (["--ser-baud", "0"], " refused the baud rate 0"),
    (["--ser-data", "7", "--ser-stop", "1.5"], ": 1.5 stop bits need 5 data bits on this system"),
])
def test_line_settings_the_port_refuses_are_named(qw, line, args, named):
    check_line(qw("--serial", line.name, *args), "serial port %s%s" % (line.name, named), "Invalid argument")


@posix_only
def test_a_split_output_folder_that_stops_taking_files_is_named(background, line, tmp_path):
    folder = tmp_path / "split"
    folder.mkdir()
    # Root ignores file modes: the folder is made read-only by a read-only bind
    # mount over itself instead, made after the first file is open, so that file
    # stays writable and only new ones are refused.
    root = os.geteuid() == 0
    mounted = False
    try:
        qw = background("--serial", line.name, "--out", str(folder / "cap.bin"), "--split-size", "1K")
        assert line.wait_configured()
        line.write(b"a" * 100)
        time.sleep(0.3)
        if root:
            mounted = subprocess.run(["mount", "--bind", str(folder), str(folder)]).returncode == 0
            if not mounted or subprocess.run(["mount", "-o", "remount,bind,ro", str(folder)]).returncode != 0:
                pytest.skip("cannot mount here")
        else:
            folder.chmod(0o500)
        line.write(b"b" * 2000)
        code, stderr = qw.finish(timeout=10)
        cause = b"Read-only file system" if root else b"Permission denied"
        assert (code, stderr) == (255, b'error: cannot create the next output file "%s": %s\n'
                                  % (str(folder / "cap-01.bin").encode(), cause))
        assert parse_messages((folder / "cap-00.bin").read_bytes())  # what came before stays readable
    finally:
        if mounted:
            subprocess.run(["umount", "-l", str(folder)])
        if not root:
            folder.chmod(0o700)


@posix_only
def test_a_server_whose_device_is_gone_tells_each_client_and_serves_it_again_later(background, tmp_path):
    port, link = free_tcp_port(), tmp_path / "ttyQW"
    qw = background("--serial", str(link), "--tcp", str(port))
    for _ in range(2):
        with connect(socket.AF_INET, ("127.0.0.1", port)) as client:
            # The error, then the connection closes.
            assert [c for c, _ in receive(client, lambda m: False, timeout=10)] == [ERROR] and client.recv(1) == b""
    line = PtyPort(wine=False)
    try:
        os.symlink(line.path, link)  # the device comes back
        with connect(socket.AF_INET, ("127.0.0.1", port)) as client:
            client.sendall(frame(TRANSMIT, b"back"))
            assert line.read_until(b"back").endswith(b"back")
            # Read before leaving: a reply left unread resets the connection, and a
            # reset that meets the interrupt below is told on the console.
            assert receive(client, lambda m: len(m) >= 1) == [(0x00, b"")]
        qw.proc.send_signal(2)  # before the line goes, which would fail this session
        code, stderr = qw.finish(timeout=10)
    finally:
        line.close()
    lines = stderr.decode().splitlines()
    assert code == 0 and lines == ["error: serial port %s: No such file or directory" % link] * 2


@posix_only
def test_a_tcp_port_in_use_is_named(qw):
    with socket.socket() as taken:
        taken.bind(("0.0.0.0", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        check_line(qw("--serial", "COM1", "--tcp", str(port)), "TCP server port %d" % port, "Address already in use")
