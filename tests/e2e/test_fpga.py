"""The I2C/SPI Plim end to end: the program on the simulator's fpga model, uploading
firmware on its own and capturing for a host on stdout or over TCP."""
import re
import signal
import socket

import pytest

from conftest import WINE, connect, device_commands, frame, free_tcp_port, parse_messages, receive, sim_env, wait_for

DONE, ERROR, PROGRESS, SPI_DATA = 0x00, 0x20, 0x1A, 0x16
I2C_TRANSACTION = [0x0A, 0x0B, 0x0F, 0x09, 0x0D]  # START, address, data, flags, STOP


def bus(tmp_path, device_lines):
    """The I2C/SPI Plim on the simulated bus, recording what the program sends it
    and dumping its flash when it is closed."""
    return sim_env(tmp_path, "speed 20\nrecord record.txt\ndevice 16d0:0e27 model=fpga\nversion 9.8.7.6\n"
                             "dump flash.bin\n" + device_lines + "\n")


def rpd(size):
    header = bytes(4) + bytes([1, 2, 3, 4]) + bytes(8) + b"qw-e2e".ljust(16, b"\0")
    return (header + bytes(i & 0xFF for i in range(max(size - 32, 0))))[:size]


HEADER = (b"Uploading firmware: f.rpd\n  Device version: 9.8.7.6\n  File version:   1.2.3.4\n"
          b"  File tag:       qw-e2e\nErasing flash...\n")


@pytest.mark.parametrize("device, size, code, stdout, stderr", [
    ("", 100, 0, HEADER + b"Uploading firmware...\n\b\b\b\b96%\b\b\b\b100%\b\b\b\b100%\n"
     b"Upload completed (100 B)\nStarting firmware...\n", b""),
    ("error 0x0200 at block 1", 100, 255, HEADER + b"Uploading firmware...\n\b\b\b\b96%\n"
     b"Base:   0x1000\nAtom:   0x10\nOffset: 0x60\nError:  FPGA uploader status: 0x0200\n",
     b"error: firmware upload of f.rpd: FPGA uploader status: 0x0200\n"),
    ("", 31, 255, b"", b"error: firmware file f.rpd is shorter than its 32-byte header (31 bytes)\n"),
], ids=["uploaded", "device-error", "short-file"])
def test_upload_only_runs_print_their_progress_and_exit_with_the_result(qw, tmp_path, device, size, code, stdout,
                                                                        stderr):
    (tmp_path / "f.rpd").write_bytes(rpd(size))
    result = qw("--i2c-plim", "--rpd", "f.rpd", env=bus(tmp_path, device), cwd=tmp_path)
    # Standard output is binary; Wine's standard error is a text stream.
    assert (result.code, result.stdout, result.stderr) == (code, stdout,
                                                           stderr.replace(b"\n", b"\r\n") if WINE else stderr)
    if code == 0:
        flash = (tmp_path / "flash.bin").read_bytes()
        assert flash[0x4000 - 1:0x4000 + size - 32] == b"\xff" + rpd(size)[32:]


def test_an_upload_the_host_asks_for_on_stdout_keeps_its_texts_off_the_message_stream(qw, tmp_path):
    (tmp_path / "f.rpd").write_bytes(rpd(100))
    result = qw("--i2c-plim", "--suspend", "--stdin", "--rpd", "f.rpd", stdin=frame(0x11), env=bus(tmp_path, "busy 15"),
                cwd=tmp_path)
    # The reply goes back to the (read-only) command input; stdout holds whole
    # messages only: the upload's progress and, the input's end having waited for
    # the upload, its completion.
    assert (result.code, parse_messages(result.stdout)) == (0, [(PROGRESS, b"\x60"), (PROGRESS, b"\x64"), (DONE, b"")])
    stderr = result.stderr.replace(b"\r\n", b"\n")
    assert stderr.startswith(HEADER[:HEADER.index(b"Erasing")])
    assert b"firmware upload of f.rpd is finishing (0 of 2 blocks written); Ctrl-C abandons it\n" in stderr
    assert (tmp_path / "flash.bin").read_bytes()[0x4000:0x4000 + 68] == rpd(100)[32:]


def uploads_started(record):
    return [l for l in record.read_text().splitlines() if " req=0x54 " in l]


@pytest.mark.parametrize("interrupts", [1, 2])
def test_an_interrupt_waits_for_an_upload_and_a_second_abandons_it(background, tmp_path, interrupts):
    # 40 blocks of about 100 ms each: the interrupts come while they are written.
    (tmp_path / "f.rpd").write_bytes(rpd(32 + 40 * 64))
    qw = background("--i2c-plim", "--firmware", "f.rpd", env=bus(tmp_path, "busy 15"), cwd=tmp_path)
    finishing = lambda e: b"blocks written); a second Ctrl-C abandons it" in e
    assert wait_for(lambda: b"%" in bytes(qw.output), timeout=60)
    qw.proc.send_signal(signal.SIGINT)
    assert finishing(qw.wait_stderr(finishing))
    if interrupts == 2:
        qw.proc.send_signal(signal.SIGINT)
    code, stderr = qw.finish(timeout=120)
    stderr = stderr.replace(b"\r\n", b"\n")
    written = int(re.search(rb"is finishing \((\d+) of 40 blocks", stderr).group(1))
    if interrupts == 1:
        assert (code, stderr.count(b"\n")) == (0, 1)
        assert b"Upload completed (2592 B)\nStarting firmware...\n" in bytes(qw.output)
        assert len(uploads_started(tmp_path / "record.txt")) == 1
        assert (tmp_path / "flash.bin").read_bytes()[0x4000:0x4000 + 40 * 64] == rpd(32 + 40 * 64)[32:]
    else:
        abandoned = int(re.search(rb"\nerror: firmware upload of f.rpd: interrupted after (\d+) of 40 blocks\n$",
                                  stderr).group(1))
        assert code == 255 and written <= abandoned < 40
        assert uploads_started(tmp_path / "record.txt") == []


@pytest.mark.skipif(WINE, reason="the upload-only run is the Windows case")
def test_spi_capture_on_stdout_decodes_with_the_command_line_parameters(background, tmp_path):
    # Two 12-bit words: the second begins where the first left the event cycle.
    env = bus(tmp_path, "bytes 113223441536 214213342546\nchunk 12\nrate 1200\nthen repeat")
    qw = background("--spi-plim", "--stdout", "--spi-mode", "2", "--spi-data", "12", "--spi-little-endian=1",
                    env=env, cwd=tmp_path)
    messages = qw.wait_output(lambda m: len(m) >= 3)
    qw.kill()
    # Words 0x531 (first line) and 0x642 (second), nibbles reversed, two bytes each.
    assert messages[:3] == [(SPI_DATA, bytes([0x35, 0x01, 0x35, 0x01, 0x46, 0x02, 0x46, 0x02]))] * 3
    assert device_commands(tmp_path)[:2] == ["aa", "72"]


@pytest.mark.skipif(WINE, reason="the upload-only run is the Windows case")
def test_tcp_host_stops_and_restarts_the_capture_and_may_leave_during_an_upload(background, tmp_path):
    (tmp_path / "f.rpd").write_bytes(rpd(100))
    env = bus(tmp_path, "busy 15\nbytes 002a40214275\nchunk 6\nrate 600\nthen repeat")
    port = free_tcp_port()
    qw = background("--i2c-plim", "--tcp", str(port), "--rpd", "f.rpd", env=env, cwd=tmp_path)
    codes = lambda m: [c for c, _ in m]
    has_transaction = lambda c: any(c[i:i + 5] == I2C_TRANSACTION for i in range(len(c)))
    # The reply, then a whole transaction decoded afresh. Reads that were under
    # way at the stop may still bring what the device captured before it.
    transaction_after_reply = lambda m: DONE in codes(m) and has_transaction(codes(m)[codes(m).index(DONE):])
    with connect(socket.AF_INET, ("127.0.0.1", port)) as host:
        assert codes(receive(host, lambda m: len(m) >= 5))[:5] == I2C_TRANSACTION
        host.sendall(frame(0x13))  # stop
        assert DONE in codes(receive(host, lambda m: DONE in codes(m)))
        host.sendall(frame(0x12))  # start again
        after = receive(host, transaction_after_reply)
        assert transaction_after_reply(after) and set(codes(after)[:codes(after).index(DONE)]) <= set(I2C_TRANSACTION)
        host.sendall(frame(0x11))  # an upload, about 100 ms a step
        assert DONE in codes(receive(host, lambda m: DONE in codes(m)))
    # The host left during the upload, which went on to its end; the next host
    # gets a fresh session (the device's stream goes on, so it may begin inside
    # a transaction).
    with connect(socket.AF_INET, ("127.0.0.1", port)) as host:
        assert has_transaction(codes(receive(host, lambda m: has_transaction(codes(m)))))
    assert qw.proc.poll() is None
    assert device_commands(tmp_path)[:6] == ["aa", "55", "aa", "aa", "55", "aa"]
    assert len(uploads_started(tmp_path / "record.txt")) == 1
