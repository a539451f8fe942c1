"""The Serial Plims end to end on the simulator: the Serial Plim playing what the
scenario's endpoints say, the Serial Plim Pro (the fpga model) a capture stream
written from line events by the scenario."""
import struct
import uuid

import pytest

from conftest import EOL, WINE, data_of, frame, parse_messages, sim_env
from test_qwlog import read_qwlog

LINE0, LINE1, STATUS0, STATUS1, ERROR, LINE_ERRORS = 0x02, 0x03, 0x04, 0x05, 0x20, 0x21


def values(messages, *codes):
    return [(c, struct.unpack("<I", p)[0]) for c, p in messages if c in codes]


def test_stdout_capture_carries_both_lines_until_the_device_goes(qw, tmp_path):
    counter = bytes(i & 0xFF for i in range(12000))
    env = sim_env(tmp_path, "speed 20\ndevice 16d0:0e26 model=serialplim\ninput 2 low\ninput 13 low\n"
                            "endpoint 0x82\npattern counter *\nchunk 400\nrate 40K\n"
                            "endpoint 0x85\ntext \"from the far end\"\n"
                            "endpoint 0x83\nserial-state 0x34\n"
                            "disconnect after %d bytes\n" % (len(counter) + 16 + 10))
    run = qw("--serial-plim", "--stdout", env=env)
    messages = parse_messages(run.stdout)
    # The inputs' state first, then what the lines brought, and one error.
    assert values(messages[:2], STATUS0, STATUS1) == [(STATUS0, 2), (STATUS1, 1)]
    assert values(messages[2:], STATUS0, STATUS1, LINE_ERRORS) == [(STATUS0, 0x34), (LINE_ERRORS, 7)]
    line0 = data_of(messages, LINE0)
    assert len(line0) >= 4000 and counter.startswith(line0)
    assert data_of(messages, LINE1) == b"from the far end"
    assert [c for c, _ in messages if c == ERROR] == [ERROR]
    assert run.code == 255
    assert run.stderr in (b"error: No such device (it may have been disconnected)" + EOL,
                          b"error: Device was disconnected" + EOL)


LINE0_RECORD, LINE1_RECORD, ERROR_RECORD = 0x61D47FF1FC334A10, 0x61D47FF1FC334A11, 0x01D47FF1FC334A16
EVENTS = "rx 0 text=hello delta=100\nrx 1 text=OK\nline-state 0x01\nevent 8\n"


def bus(tmp_path, extra=""):
    return sim_env(tmp_path, "speed 20\nrecord record.txt\ndevice 326f:0005 model=fpga\nregister 15 0x0003\n" + EVENTS + extra)


def test_decoded_capture_on_stdout_with_line_outputs_and_transmits(background, tmp_path):
    # The device never takes the first transmit's bytes.
    qw = background("--serial-plim-pro", "--ser-baud", "115200", "--ser-dtr", "0", "--stdin", "--stdout",
                    env=bus(tmp_path, "endpoint 0x02\nhold 1\n"), cwd=tmp_path)
    messages = qw.wait_output(lambda m: len(m) >= 4)
    qw.proc.stdin.write(frame(0x28, b"AT") + frame(0x28, b"OK"))
    # That transmit fails once the bytes' time and a second have passed (standard input cannot
    # carry the reply); the next one goes.
    assert qw.finish() == (0, b"error: command 0x28 failed: Operation timed out" + EOL)
    assert messages == qw.messages() == [(LINE0, b"hello"), (LINE1, b"OK"), (0x2C, bytes([0x01, 0x02])), (0x2E, b"")]
    record = (tmp_path / "record.txt").read_text()
    # 115200 baud; capture on with RTS alone; the bytes sent.
    assert "index=0x000a len=2 timeout=0 result=2 data=0018" in record
    assert "index=0x0004 len=2 timeout=0 result=2 data=0011" in record
    assert "out dev=dev0 ep=0x02 len=2 timeout=1001 result=-7 data=\n" in record
    assert "out dev=dev0 ep=0x02 len=2 timeout=1001 result=2 data=4f4b\n" in record


@pytest.mark.skipif(WINE, reason="the decoded capture is the Windows case")
def test_capture_into_a_log_file_until_the_device_goes(qw, tmp_path):
    # The records' 33 bytes, then the device is unplugged.
    result = qw("--serial-plim-pro", "--qwlog", "--out", "cap.qwlog", env=bus(tmp_path, "disconnect after 33 bytes\n"),
                cwd=tmp_path)
    assert result.code == 255 and result.stderr.startswith(b"error: ")
    classes, records = read_qwlog((tmp_path / "cap.qwlog").read_bytes())
    assert classes == [uuid.UUID("3a1ec99b-234a-49a0-be4b-f6e60b80a5c0"), uuid.UUID("b26c1b57-16c7-48a5-bbb9-05ea1ada5368")]
    assert [(code, data) for code, _, data in records[:2]] == [(LINE0_RECORD, b"hello"), (LINE1_RECORD, b"OK")]
    assert [code for code, _, _ in records[2:]] == [ERROR_RECORD]
