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

from conftest import WINE, command, exit_code

LINE_DATA, ERROR_RECORD = 0x61D47FF1FC334A11, 0x01D47FF1FC334A16


def read_qwlog(data):
    """(class GUIDs, [(code, timestamp, data)]): the records the header counts,
    each checked against the bytes there are."""
    assert data[:4] == b"log:" and len(data) >= 32
    version, count, size, _, word = struct.unpack_from("<IQQII", data, 4)
    offset, guids, end = word & 0xFFFFFF, (word >> 24) + 1, (word & 0xFFFFFF) + size
    assert version == 0x00030A00 and 32 + 16 * guids <= offset and end <= len(data)
    records, at = [], offset
    while at < end:
        length, code, stamp = struct.unpack_from("<IQQ", data, at + 4)
        assert data[at:at + 4] == b"\nrc:" and at + 24 + length <= end
        records.append((code, stamp, data[at + 24:at + 24 + length]))
        at += 24 + length
    assert len(records) == count
    return [uuid.UUID(bytes_le=data[32 + 16 * i:48 + 16 * i]) for i in range(guids)], records


def data_of(records):
    return b"".join(d for code, _, d in records if code == LINE_DATA)


def test_serial_capture_into_a_log_file(background, line, tmp_path):
    block, out = os.urandom(1 << 16), tmp_path / "cap.qwlog"
    qw = background("--serial", line.name, "--qwlog", "--out", str(out))
    assert line.wait_configured()
    line.write(block)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:  # read while the program writes
        try:
            if data_of(read_qwlog(out.read_bytes())[1]) == block:
                break
        except (OSError, AssertionError, struct.error):
            pass  # not there yet, or caught between a record and its count
        time.sleep(0.05)
    line.hang_up()
    code, stderr = qw.finish()
    assert code == 255 and stderr.startswith(b"error: ")

    # After the exit the header counts every record, the capture's end last.
    classes, records = read_qwlog(out.read_bytes())
    assert classes == [uuid.UUID("29725452-E64F-4C0E-A871-776277B68572")]
    assert data_of(records) == block and records[-1][0] == ERROR_RECORD
    stamps, now = [s for _, s, _ in records], (time.time() + 11644473600) * 10**7
    assert stamps == sorted(stamps) and now - 600 * 10**7 < stamps[0] <= now


@pytest.mark.skipif(WINE, reason="the file size limit stands in for a full disk on POSIX")
def test_a_full_disk_ends_the_capture_with_one_error_line(line, tmp_path):
    out, limit = tmp_path / "full.qwlog", 4 * 65536

    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # stays ignored across exec
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))

    proc = subprocess.Popen(command("--serial", line.name, "--qwlog", "--out", str(out)), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=limited)
    try:
        assert line.wait_configured()
        os.set_blocking(line.master, False)  # once the program has gone, nobody drains the line
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
    assert len(data_of(read_qwlog(out.read_bytes())[1])) > 65536 and os.path.getsize(out) <= limit
