"""*.qwlog output end to end: a serial capture on a pty pair written as a log
record file, read back with a small reader of the format."""
import os
import resource
import select
import signal
import struct
import subprocess
import time
import uuid

import pytest

from conftest import PLATFORM, command, exit_code
from ptyport import PtyPort

WINE = PLATFORM == "win32"
SERIAL_CLASS = uuid.UUID("29725452-E64F-4C0E-A871-776277B68572")
LINE_DATA, ERROR_RECORD = 0x61D47FF1FC334A11, 0x01D47FF1FC334A16


def read_qwlog(data):
    """(class GUIDs, [(code, timestamp, data)]) of a log file; the records are those
    the header counts, each checked against the bytes there are."""
    assert len(data) >= 32 and data[:4] == b"log:"
    version, count, size, _last, word = struct.unpack_from("<IQQII", data, 4)
    offset, guids = word & 0xFFFFFF, (word >> 24) + 1
    assert version == 0x00030A00 and 32 + 16 * guids <= offset and offset + size <= len(data)
    classes = [uuid.UUID(bytes_le=data[32 + 16 * i:48 + 16 * i]) for i in range(guids)]
    records, at, end = [], offset, offset + size
    while at < end:
        assert end - at >= 24 and data[at:at + 4] == b"\nrc:"
        length, code, stamp = struct.unpack_from("<IQQ", data, at + 4)
        assert length <= end - at - 24
        records.append((code, stamp, data[at + 24:at + 24 + length]))
        at += 24 + length
    assert len(records) == count
    return classes, records


def data_of(records):
    return b"".join(d for code, _, d in records if code == LINE_DATA)


@pytest.fixture
def line():
    port = PtyPort(wine=WINE)
    yield port
    port.close()


def wait_for_data(path, expected, timeout=60):
    """The records as soon as their data is all of `expected`, read while the program writes."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            _, records = read_qwlog(path.read_bytes())
            if len(data_of(records)) >= len(expected):
                return records
        except (OSError, AssertionError):
            pass  # not created yet, or caught between a record and its count
        time.sleep(0.05)
    return []


def test_serial_capture_into_a_log_file(background, line, tmp_path):
    block = bytes((i * 13 + i // 253) & 0xFF for i in range(1 << 16))
    out = tmp_path / "cap.qwlog"
    qw = background("--serial", line.name, "--qwlog", "--out", str(out))
    assert line.wait_configured()
    line.write(block)
    assert data_of(wait_for_data(out, block)) == block
    line.hang_up()
    code, stderr = qw.finish()
    assert code == 255 and stderr.startswith(b"error: ")

    # After the exit the header counts every record, the capture's end last.
    classes, records = read_qwlog(out.read_bytes())
    assert classes == [SERIAL_CLASS]
    assert data_of(records) == block
    assert records[-1][0] == ERROR_RECORD
    stamps = [s for _, s, _ in records]
    now = (time.time() + 11644473600) * 10**7
    assert stamps == sorted(stamps) and now - 600 * 10**7 < stamps[0] <= now


@pytest.mark.skipif(WINE, reason="the file size limit stands in for a full disk on POSIX")
def test_a_full_disk_ends_the_capture_with_one_error_line(line, tmp_path):
    out = tmp_path / "full.qwlog"
    limit = 4 * 65536

    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # an ignored signal stays ignored across exec
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))

    proc = subprocess.Popen(command("--serial", line.name, "--qwlog", "--out", str(out)), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=limited)
    try:
        assert line.wait_configured()
        # Without blocking: once the program has gone, nobody drains the line.
        os.set_blocking(line.master, False)
        deadline = time.monotonic() + 30
        while proc.poll() is None and time.monotonic() < deadline:
            if select.select([], [line.master], [], 0.1)[1]:
                try:
                    os.write(line.master, os.urandom(4096))
                except BlockingIOError:
                    pass
        _, stderr = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert (exit_code(proc.returncode), stderr) == (255, b"error: " + os.strerror(27).encode() + b"\n")
    _, records = read_qwlog(out.read_bytes())
    assert len(data_of(records)) > 65536 and os.path.getsize(out) <= limit
