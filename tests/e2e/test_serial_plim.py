"""Serial Plim captures end to end: the program on the simulator's shared library
(LD_LIBRARY_PATH on Linux, the DLL beside the .exe under Wine), playing a Serial
Plim that the scenario describes."""
import struct

import pytest

from conftest import EOL, data_of, frame, parse_messages, sim_env

LINE0, LINE1, STATUS0, STATUS1, SETTINGS, ERROR, LINE_ERRORS = 0x02, 0x03, 0x04, 0x05, 0x06, 0x20, 0x21


@pytest.fixture
def bus(tmp_path):
    """Writes the scenario; returns the environment that makes the program use it."""
    return lambda text: sim_env(tmp_path, "speed 20\ndevice 16d0:0e26 model=serialplim name=plim\n" + text)


def values(messages, *codes):
    return [(c, struct.unpack("<I", p)[0]) for c, p in messages if c in codes]


def set_line(value, block):
    return ("control dev=plim type=0x40 req=0xc1 value=%s index=0x0000 len=16 timeout=0 result=16 data=%s"
            % (value, block))


def test_stdout_capture_carries_both_lines_until_the_device_goes(qw, bus):
    counter = bytes(i & 0xFF for i in range(12000))
    env = bus("input 2 low\ninput 13 low\n"
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


def test_command_6_from_stdin_reprograms_both_lines(background, bus, tmp_path):
    record = tmp_path / "record.txt"
    env = bus('record "%s"\nendpoint 0x85\ntext "ready"\n' % record.as_posix())
    qw = background("--serial-plim", "--stdin", "--ser-stop", "1.5", env=env)
    assert data_of(qw.wait_output(lambda m: data_of(m, LINE1) == b"ready"), LINE1) == b"ready"
    new = struct.pack("<IBBBB", 115200, 7, 2, 2, 0)
    qw.proc.stdin.write(frame(SETTINGS, new) + frame(SETTINGS, new[:7]) + frame(0x27, new))
    # The replies go to standard input, which cannot take them: the failures are
    # told on the console instead.
    code, stderr = qw.finish()
    lines = stderr.splitlines()
    assert code == 0 and len(lines) == 2
    assert lines[0].startswith(b"error: command 0x06 failed: ") and lines[1].startswith(b"error: command 0x27 failed: ")
    controls = [line for line in record.read_text().splitlines() if "req=0xc1" in line]
    start = "00960000000802000000000000000000"  # one and a half stop bits go out as two
    changed = "00c20100000702000200000000000000"
    # Only the command with a whole payload reached the device.
    assert controls == [set_line("0x0000", start), set_line("0x8000", start),
                        set_line("0x0000", changed), set_line("0x8000", changed)]
