"""qwdump on captures the real program made on the simulator and on a pty, on
*.qwlog files, and on damaged input."""
import json
import os
import re
import signal
import subprocess

import pytest

from conftest import BUILD_DIR, WINE, WINE_RUN, frame, sim_env

QWDUMP = os.path.join(BUILD_DIR, "src", "qwdump.exe") if WINE else os.path.join(BUILD_DIR, "tools", "qwdump", "qwdump")


def qwdump(*args, stdin=b""):
    if not BUILD_DIR or not os.path.exists(QWDUMP):
        pytest.skip("qwdump not built")
    proc = subprocess.run((WINE_RUN if WINE else []) + [QWDUMP, *args], input=stdin, capture_output=True, timeout=30,
                          env={**os.environ, "WINEDEBUG": "-all"})
    return proc.returncode, proc.stdout.decode().replace("\r\n", "\n"), proc.stderr.decode().replace("\r\n", "\n")


def capture(qw, tmp_path, switch, scenario, out):
    """The program's capture of a simulated device until it is unplugged."""
    result = qw(switch, *out, env=sim_env(tmp_path, scenario))
    assert result.code == 255, result.stderr


SERIAL_PLIM = ("device 16d0:0e26 model=serialplim\ninput 2 low\nendpoint 0x82\ntext \"Hello\"\n"
               "endpoint 0x86\nserial-state 0x34\ndisconnect after 5 bytes\n")
I2C = "device 16d0:0e27 model=fpga\nbytes 00 2a 40 21 42 23 44 70 00 2b 31 25 46 71\ndisconnect after 14 bytes\n"
PRO = ("device 326f:0005 model=fpga\nrx 0 text=hello\nline-state 0x05\nrx 1 text=ok delta=100\nevent 7\n"
       "device-status 0x81\ndisconnect after 2 transfers\n")
ETHERNET = ("device 326f:0003 model=fpga\nframe ffffffffffff0200000000010806%s\ndisconnect after 4 transfers\n"
            % bytes(46).hex())
GOLDEN = {
    "ethernet": "         0  ethernet-frame length=60 destination=ff:ff:ff:ff:ff:ff source=02:00:00:00:00:01 "
                "ethertype=0x0806\n",
    "serial-plim-pro": """\
         0  dir0-data size=5  68 65 6c 6c 6f  |hello|
         9  line-state state=0x05 changed=0x05
        15  dir1-data size=2  6f 6b  |ok|
        21  event-7
        25  status value=0x01
        33  status-change status=0x80 changed=0x80
""",
    "serial-plim": """\
         0  line0-status state=tx-carrier
         8  line1-status state=none
        16  line0-data size=5  48 65 6c 6c 6f  |Hello|
""",
    "i2c": """\
         0  i2c-start
         4  i2c-address address=0x50 rw=write ack=ack
        10  i2c-write ack=ack size=2  12 34  |.4|
        16  i2c-stop
        20  i2c-start
        24  i2c-address address=0x58 rw=read ack=nack
        30  i2c-read ack=ack size=1  56  |V|
        35  event-flags flags=0x01
        43  i2c-stop
""",
}


@pytest.mark.skipif(WINE, reason="the captures are made on Linux; Wine reads one below")
@pytest.mark.parametrize("family, switch, scenario", [("serial-plim", "--serial-plim", SERIAL_PLIM),
                                                      ("i2c", "--i2c-plim", I2C),
                                                      ("serial-plim-pro", "--serial-plim-pro", PRO),
                                                      ("ethernet", "--ethernet-plim", ETHERNET)])
def test_a_capture_reads_as_its_device_wrote_it(qw, tmp_path, family, switch, scenario):
    capture(qw, tmp_path, switch, scenario, ["--out", str(tmp_path / "cap.bin")])
    code, out, err = qwdump("--device", family, str(tmp_path / "cap.bin"))
    # The capture ends with the unplug's error record, described as the program describes it.
    body, last = out.rsplit("\n", 2)[0] + "\n", out.splitlines()[-1]
    assert (code, err, body) == (0, "", GOLDEN[family])
    assert re.search(r"  error domain=87ea0738-\S+ error-code=(5|-4) description=\"", last)
    # JSON: one object a line, the same messages in the same order.
    code, out, _ = qwdump("--device", family, "--json", str(tmp_path / "cap.bin"))
    names = [json.loads(line)["name"] for line in out.splitlines()]
    assert names == [l.split()[1] for l in body.splitlines()] + ["error"]


@pytest.mark.skipif(WINE, reason="the captures are made on Linux")
def test_a_log_file_names_its_device_itself_and_counts(qw, tmp_path):
    capture(qw, tmp_path, "--serial-plim", SERIAL_PLIM, ["--qwlog", "--out", str(tmp_path / "cap.qwlog")])
    code, out, err = qwdump("--stats", str(tmp_path / "cap.qwlog"))
    lines = [re.sub(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{7}", "TIME", l) for l in out.splitlines()]
    assert (code, err) == (0, "")
    assert lines[:2] == ["TIME  line0-status state=tx-carrier changed=0x02",
                         "TIME  line0-data size=5  48 65 6c 6c 6f  |Hello|"]
    assert "-- 3 in all" in lines and "-- data bytes: direction 0 5, direction 1 0" in lines


def test_damaged_input_is_named_with_its_offsets_and_the_rest_still_read(tmp_path):
    data = b"\xff\xff" + frame(0x02, b"abc") + frame(0x02, b"more")[:5]
    path = tmp_path / "damaged.bin"
    path.write_bytes(data)
    code, out, err = qwdump("--device", "serial-plim", str(path))
    assert (code, out) == (1, "         2  line0-data size=3  61 62 63  |abc|\n")
    assert err.splitlines()[:2] == ["qwdump: %s: offset 0: 2 bytes skipped, no message starts there" % path,
                                   "qwdump: %s: offset 9: a message cut short (5 of its 8 bytes)" % path]
    assert qwdump("--device", "bogus", str(path))[0] == 2 and qwdump(str(tmp_path / "missing"))[0] == 2


@pytest.mark.skipif(WINE, reason="follows a file another process writes")
def test_follow_prints_what_is_appended(tmp_path):
    path = tmp_path / "growing.bin"
    path.write_bytes(frame(0x03, b"one"))
    if not os.path.exists(QWDUMP):
        pytest.skip("qwdump not built")
    proc = subprocess.Popen([QWDUMP, "--device", "serial", "--follow", str(path)], stdout=subprocess.PIPE)
    try:
        assert b"|one|" in proc.stdout.readline()
        with open(path, "ab") as f:
            f.write(frame(0x03, b"two"))
        assert b"|two|" in proc.stdout.readline()
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)


def test_standard_input_reads_like_a_file():
    code, out, _ = qwdump("--device", "serial", "-", stdin=frame(0x03, b"hi") + frame(0x22, bytes([3, 0, 0, 0])))
    assert (code, out) == (0, "         0  data size=2  68 69  |hi|\n         6  modem-lines lines=cts+dsr\n")


@pytest.mark.skipif(WINE, reason="the captures are made on Linux")
def test_an_spi_log_reads_as_spi_though_its_header_names_the_i2c_spi_plim(qw, tmp_path):
    # Both modes of the device share the log's class GUIDs; the records tell them apart.
    capture(qw, tmp_path, "--spi-plim", "device 16d0:0e27 model=fpga\nbytes 00 11 32 23 44 50\ndisconnect after 6 bytes\n",
            ["--qwlog", "--out", str(tmp_path / "spi.qwlog")])
    code, out, _ = qwdump(str(tmp_path / "spi.qwlog"))
    names = [line.split("  ", 1)[1] for line in out.splitlines()]
    assert (code, names[:3]) == (0, ["spi-frame-0", "spi-data size=1 mosi=31 miso=42", "spi-frame-5"])


@pytest.mark.parametrize("args, text", [
    (["--pcap="], "--pcap needs a file name"),
    (["--pcap", "OUT", "--json"], "--json, --stats and --follow do not go with it"),
    (["--pcap", "OUT", "--follow"], "--json, --stats and --follow do not go with it"),
    (["--pcap-messages"], "--pcap-messages goes with --pcap"),
    (["--pcap", "MISSING/out.pcap"], "MISSING/out.pcap: "),
])
def test_pcap_output_refuses_what_cannot_be(tmp_path, args, text):
    (tmp_path / "cap.bin").write_bytes(frame(0x03, b"x"))
    args = [a.replace("OUT", str(tmp_path / "out.pcap")).replace("MISSING", str(tmp_path / "missing")) for a in args]
    code, out, err = qwdump("--device", "serial", *args, str(tmp_path / "cap.bin"))
    assert (code, out) == (2, "") and text.replace("MISSING", str(tmp_path / "missing")) in err


def test_a_pcap_file_holds_the_captures_of_one_device(tmp_path):
    (tmp_path / "a.bin").write_bytes(frame(0x03, b"x"))
    code, _, err = qwdump("--device", "serial", "--pcap", str(tmp_path / "out.pcap"), str(tmp_path / "a.bin"),
                          str(tmp_path / "a.bin"))
    assert (code, err) == (0, "")
    with open(tmp_path / "out.pcap", "rb") as f:
        data = f.read()
    # One global header (USER0), then the message of each file behind the serial port's number.
    assert data[20:24] == bytes([147, 0, 0, 0]) and data.count(bytes([1]) + frame(0x03, b"x")) == 2
    assert len(data) == 24 + 2 * (16 + 6)
