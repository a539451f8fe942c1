"""Serial Plim captures end to end: the program on the simulator's shared library
(LD_LIBRARY_PATH on Linux, the DLL beside the .exe under Wine), playing a Serial
Plim that the scenario describes."""
import struct

from conftest import EOL, data_of, parse_messages, sim_env

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

