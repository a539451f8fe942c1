"""The program under real failure conditions and hostile input: full disks, a
reader that goes away, clients that vanish mid-command, signals, a second
program on the same port, and long runs of sessions. A serial line on a pty
pair is the capture source (a COM port on it under Wine)."""
import os
import signal
import socket
import subprocess
import threading
import time

import pytest

from conftest import EXE, WINE, connect, data_of, frame, free_tcp_port, parse_messages, receive
from ptyport import claim_com_link
from test_qwlog import data_of as qwlog_data, read_qwlog

ERROR, DONE, TRANSMIT, MODEM_LINES = 0x20, 0x00, 0x28, 0x22
posix_only = pytest.mark.skipif(WINE, reason="a POSIX facility")
# A sanitizer's allocator keeps freed memory back: resident sizes say nothing there.
MEASURED = os.environ.get("QW_SANITIZED", "0") != "1"


def resources(pid):
    """(open descriptors, resident kB) of a Linux process."""
    with open("/proc/%d/status" % pid) as status:
        rss = next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))
    return len(os.listdir("/proc/%d/fd" % pid)), rss


def serve(background, line, tmp_path, transport):
    """The program serving the line over TCP or a pipe: (program, family, address)."""
    if transport == "tcp":
        port = free_tcp_port()
        return background("--serial", line.name, "--tcp", str(port)), socket.AF_INET, ("127.0.0.1", port)
    qw = background("--serial", line.name, "--np", "qwsrv", env={"XDG_RUNTIME_DIR": str(tmp_path)})
    return qw, socket.AF_UNIX, str(tmp_path / "qwsrv")


# --- output that fails -----------------------------------------------------------

@posix_only
def test_a_full_output_device_ends_the_capture_with_one_clear_line(background, line):
    qw = background("--serial", line.name, "--out", "/dev/full")
    assert line.wait_configured()
    line.write(b"x" * 64)
    code, stderr = qw.finish(timeout=10)
    assert (code, stderr) == (255, b'error: writing output file "/dev/full": No space left on device\n')


@posix_only
def test_a_split_capture_that_fills_its_disk_keeps_the_files_before(background, line, tmp_path):
    disk = tmp_path / "small"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)]).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        qw = background("--serial", line.name, "--out", str(disk / "cap.bin"), "--split-size", "8K")
        assert line.wait_configured()
        sent = bytes(range(256)) * 4
        for _ in range(200):
            if qw.proc.poll() is not None:
                break
            line.write(sent)
            time.sleep(0.005)
        code, stderr = qw.finish(timeout=10)
        assert code == 255 and stderr.startswith(b"error: ") and b"No space left on device" in stderr
        assert stderr.count(b"\n") == 1
        # Every file but the last holds whole messages, and together they hold what
        # the line carried, in order.
        contents = [f.read_bytes() for f in sorted(disk.iterdir())]
        assert len(contents) >= 4
        assert all(sum(4 + len(p) for _, p in parse_messages(c)) == len(c) for c in contents[:-1])
        data = b"".join(data_of(parse_messages(c)) for c in contents[:-1])
        assert data == (sent * 200)[:len(data)] and len(data) > 16384
    finally:
        subprocess.run(["umount", "-l", str(disk)])


@posix_only
def test_a_reader_that_goes_away_ends_the_program_with_an_error_not_a_signal(line):
    pipeline = subprocess.Popen(["sh", "-c", '"$0" --serial "$1" --stdout | head -c 100 >/dev/null; exit 0',
                                 EXE, line.name], stderr=subprocess.PIPE, start_new_session=True)
    assert line.wait_configured()
    begin = time.monotonic()
    while pipeline.poll() is None and time.monotonic() - begin < 10:
        line.write(b"y" * 256)
        time.sleep(0.01)
    assert pipeline.wait(timeout=10) == 0
    assert pipeline.stderr.read() == b"error: writing standard output: Broken pipe\n"


# --- clients that misbehave, and many clients ---------------------------------------

def test_a_client_that_leaves_mid_command_does_not_hold_the_server(background, line):
    port = free_tcp_port()
    qw = background("--serial", line.name, "--tcp", str(port))
    # One leaves inside a header announcing 65535 bytes, one inside a payload.
    for partial in (bytes([2, TRANSMIT, 0xFF, 0xFF]) + b"abc", frame(TRANSMIT, b"0123456789")[:9]):
        with connect(socket.AF_INET, ("127.0.0.1", port)) as client:
            assert line.wait_configured()
            client.sendall(partial)
    with connect(socket.AF_INET, ("127.0.0.1", port)) as client:
        client.sendall(frame(TRANSMIT, b"next client"))
        assert (DONE, b"") in receive(client, lambda m: any(c == DONE for c, _ in m))
        assert line.read_until(b"next client").endswith(b"next client")
    assert qw.proc.poll() is None


@posix_only
@pytest.mark.parametrize("transport", ["tcp", "pipe"])
def test_300_sessions_leave_descriptors_and_memory_flat(background, line, tmp_path, transport):
    qw, family, address = serve(background, line, tmp_path, transport)
    seen = []
    for session in range(301):
        if session % 100 == 0:
            time.sleep(0.1)  # the previous session has closed its port
            seen.append(resources(qw.proc.pid))
        if session == 300:
            break
        with connect(family, address) as client:
            client.sendall(frame(0x7E))  # unknown: answered with an error record
            assert [c for c, _ in receive(client, lambda m: len(m) >= 1)] == [ERROR]
    print("\n%s sessions 0/100/200/300: descriptors %s, resident kB %s"
          % (transport, [d for d, _ in seen], [r for _, r in seen]))
    assert len({d for d, _ in seen}) == 1
    assert not MEASURED or max(r for _, r in seen[1:]) - seen[1][1] < 1024


# --- signals ---------------------------------------------------------------------------

@pytest.mark.parametrize("how", ["stdout", "file", "split", "qwlog", "tcp", "pipe"])
def test_an_interrupt_ends_the_capture_as_its_input_ending_would(background, line, tmp_path, how):
    # Under Wine, SIGINT reaches the program as Ctrl-C on its console.
    if WINE and how == "pipe":
        pytest.skip("Wine's named pipes are reachable only from Windows programs")
    out, client = tmp_path / "cap.bin", None
    if how in ("tcp", "pipe"):
        qw, family, address = serve(background, line, tmp_path, how)
        client = connect(family, address)
    else:
        args = {"stdout": ["--stdout"], "file": ["--out", str(out)], "split": ["--out", str(out), "--split-size", "1K"],
                "qwlog": ["--qwlog", "--out", str(out)]}[how]
        qw = background("--serial", line.name, *args)
    assert line.wait_configured()
    sent = bytes(i & 0xFF for i in range(5000))
    line.write(sent)
    if client:
        got = receive(client, lambda m: len(data_of(m)) >= len(sent))
    else:
        time.sleep(0.3)  # the bytes have been read off the line
    qw.proc.send_signal(signal.SIGTERM if how == "file" and not WINE else signal.SIGINT)
    # It ends at all, and normally; how fast is measured by bench/measure_latency.py.
    code, stderr = qw.finish(timeout=60)
    assert (code, stderr) == (0, b"")
    if how == "stdout":
        got = qw.messages()
    elif how in ("file", "split"):
        files = [out] if how == "file" else sorted(tmp_path.glob("cap-*.bin"))
        got = [m for f in files for m in parse_messages(f.read_bytes())]
    if how == "qwlog":  # a header that counts exactly the records there are
        assert qwlog_data(read_qwlog(out.read_bytes())[1]) == sent
    else:
        assert data_of(got) == sent
    if how == "pipe":
        assert not (tmp_path / "qwsrv").exists() and not (tmp_path / "qwsrv.lock").exists()
    if client:
        client.close()


def test_a_second_interrupt_ends_the_program_at_once(background, line):
    # Nobody reads the far end, so the line soon takes no more bytes, and the
    # first interrupt's orderly end waits for the acknowledged transmits.
    proc = background("--serial", line.name, "--stdin").proc
    assert line.wait_configured()
    proc.stdin.write(frame(TRANSMIT, b"z" * 60000) * 4)
    proc.stdin.flush()
    time.sleep(0.2)
    proc.send_signal(signal.SIGINT)
    time.sleep(0.1)
    assert proc.poll() is None
    proc.send_signal(signal.SIGINT)
    # As the signal would end it: 128 + SIGINT on POSIX, STATUS_CONTROL_C_EXIT on Windows.
    assert proc.wait(timeout=30) & 0xFF == (0x3A if WINE else 128 + signal.SIGINT)


# --- the serial port ----------------------------------------------------------------------

def test_a_single_command_file_runs_every_command_and_takes_the_output_after_them(qw, line, tmp_path):
    session = tmp_path / "session.bin"
    commands = b"".join(frame(TRANSMIT, b"%03d;" % i) for i in range(300))
    session.write_bytes(commands)
    result = qw("--serial", line.name, "--in", str(session), timeout=60)
    assert (result.code, result.stderr) == (0, b"")
    assert line.read_until(b"299;", timeout=10) == b"".join(b"%03d;" % i for i in range(300))
    content = session.read_bytes()
    assert content[:len(commands)] == commands
    assert parse_messages(content[len(commands):]) == [(DONE, b"")] * 300


@pytest.mark.skipif(not WINE, reason="a fault of Wine's serial driver")
def test_the_end_of_input_ends_a_capture_whose_line_event_wait_is_never_completed(background):
    # Wine's driver never completes a cancelled line-event wait on a device node
    # with no UART behind it: the program's end must not wait for one.
    try:
        os.close(os.open("/dev/ttyS0", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
    except OSError:
        pytest.skip("no /dev/ttyS0 to open")
    name, link = claim_com_link("/dev/ttyS0")
    try:
        qw = background("--serial", name, "--stdin")
        # The first line state is reported once the line is watched.
        assert qw.wait_output(lambda m: any(c == MODEM_LINES for c, _ in m))
        assert qw.finish(timeout=60) == (0, b"")
    finally:
        os.unlink(link)


@posix_only
def test_the_transmit_queue_is_bounded_and_slows_the_host_down(background, line):
    qw = background("--serial", line.name, "--stdin")
    assert line.wait_configured()
    # Whole commands of 65535 bytes, 64 MiB and a little more. The line is read
    # to the last byte: bytes left in the pty would hold the program's exit.
    chunk, chunks, peak, received = frame(TRANSMIT, b"q" * 65535), -(-(64 << 20) // 65535), 0, [0]
    total = chunks * 65535

    def drain():
        while received[0] < total:
            received[0] += len(line.read_until(b"\x00", timeout=0.05))

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    for n in range(1, chunks + 1):
        qw.proc.stdin.write(chunk)
        if n % 64 == 0:
            peak = max(peak, resources(qw.proc.pid)[1])
    assert qw.finish(timeout=60)[0] == 0
    reader.join(30)
    print("\ntransmitting %d MiB: peak resident %d kB" % (total >> 20, peak))
    assert received[0] == total and (not MEASURED or peak < 40 * 1024)


@pytest.mark.skipif(WINE, reason="Wine lets a second program open a COM port; Windows' own drivers refuse it")
def test_a_port_another_program_holds_is_named_as_busy(background, qw, line):
    first = background("--serial", line.name)
    assert line.wait_configured()
    time.sleep(0.1)
    second = qw("--serial", line.name, timeout=10)
    assert (second.code, second.stdout) == (255, b"")
    assert second.stderr == b"error: serial port %s is in use by another program: Device or resource busy\n" % line.name.encode()
    assert first.proc.poll() is None
