"""quenwick-extcap as Wireshark uses it: the interface steps by hand, a capture
into a fifo that ends when the reader closes it or signals, and, where tshark is
installed, tshark listing the interface and capturing from the simulator."""
import os
import re
import shutil
import signal
import struct
import subprocess

import pytest

from conftest import BUILD_DIR, WINE, WINE_RUN, sim_env

EXTCAP = os.path.join(BUILD_DIR, "src", "quenwick-extcap.exe") if WINE else os.path.join(BUILD_DIR, "tools", "quenwick-extcap")
FRAMES = [bytes.fromhex("ffffffffffff020000000001" "0806") + bytes(range(i, i + 46)) for i in (0, 50, 100)]
BUS = "".join("device 326f:0003 model=fpga\n" + "".join("frame %s\n" % f.hex() for f in FRAMES) for _ in range(2))


def extcap(tmp_path, *args, **kwargs):
    if not BUILD_DIR or not os.path.exists(EXTCAP):
        pytest.skip("quenwick-extcap not built")
    env = {**os.environ, "WINEDEBUG": "-all", **sim_env(tmp_path, BUS)}
    return subprocess.Popen((WINE_RUN if WINE else []) + [EXTCAP, *args], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, **kwargs)


def test_the_interface_steps(tmp_path):
    def lines(*args):
        proc = extcap(tmp_path, *args)
        out, err = proc.communicate(timeout=30)
        assert (proc.returncode, err) == (0, b"")
        return out.decode().replace("\r\n", "\n").splitlines()

    assert lines("--extcap-interfaces", "--extcap-version=4.0") == [
        "extcap {version=5.10.3}", "interface {value=qwethernet0}{display=Quenwick Ethernet Plim #0}",
        "interface {value=qwethernet1}{display=Quenwick Ethernet Plim #1}"]
    assert lines("--extcap-dlts", "--extcap-interface", "qwethernet1") == ["dlt {number=1}{name=EN10MB}{display=Ethernet}"]
    config = lines("--extcap-config", "--extcap-interface", "qwethernet1")
    assert "{call=--index}" in config[0] and "{default=1}" in config[0] and "{type=fileselect}" in config[1]


def read_pcap(stream):
    assert struct.unpack("<IHHiIII", stream.read(24))[0::6] == (0xA1B2C3D4, 1)  # magic, Ethernet
    frames = []
    for _ in FRAMES:
        _, _, included, original = struct.unpack("<IIII", stream.read(16))
        frames.append(stream.read(included))
        assert included == original
    return frames


@pytest.mark.skipif(WINE, reason="a POSIX fifo")
@pytest.mark.parametrize("end", ["close", "signal"])
def test_a_capture_into_a_fifo_ends_when_wireshark_lets_go(tmp_path, end):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    proc = extcap(tmp_path, "--capture", "--extcap-interface", "qwethernet0", "--fifo", str(fifo))
    with open(fifo, "rb") as reader:
        assert read_pcap(reader) == FRAMES
        if end == "signal":
            proc.send_signal(signal.SIGTERM)
    assert (proc.wait(timeout=10), proc.stderr.read()) == (0, b"")


ALL_DEVICES = (
    "device 16d0:0e26 model=serialplim\ninput 2 low\nendpoint 0x82\ntext \"Hello\"\n"
    "device 326f:0005 model=fpga\nrx 0 text=hi\nline-state 0x05\nrx 1 text=ok delta=100\nevent 7\nend-packet\n"
    "device 16d0:0e27 model=fpga\nbytes 00 2a 40 21 42 23 44 70 00 2b 31 25 46 71\n"
    "device 16d0:0e27 model=fpga\nbytes 00 11 32 23 44 50\n"
    "device 326f:0003 model=fpga\n" + "".join("frame %s\n" % f.hex() for f in FRAMES))
LUA = os.path.join(BUILD_DIR, "tools", "quenwick.lua")
FILETIME_1970 = 116444736000000000


@pytest.fixture
def wireshark_extcap():
    """quenwick-extcap in Wireshark's extcap folder, for tshark to find."""
    if WINE or not shutil.which("tshark") or not os.path.exists(EXTCAP):
        pytest.skip("tshark on Linux")
    folder = subprocess.run(["tshark", "-G", "folders"], capture_output=True, text=True).stdout
    extcap_dir = next((l.split("\t")[-1].strip() for l in folder.splitlines() if l.startswith("Extcap path")), "")
    link = os.path.join(extcap_dir, "quenwick-extcap")
    if not extcap_dir or not os.access(extcap_dir, os.W_OK) or os.path.exists(link):
        pytest.skip("Wireshark's extcap folder is not ours to write")
    os.symlink(EXTCAP, link)
    yield
    os.unlink(link)


def tshark_live(tmp_path, interfaces, count, *fields, args=()):
    env = {**os.environ, **sim_env(tmp_path, ALL_DEVICES)}
    command = ["tshark", *[a for i in interfaces for a in ("-i", i)], "-c", str(count), "-X", "lua_script:" + LUA,
               *args, "-T", "fields", "-E", "separator=|"] + [a for f in fields for a in ("-e", f)]
    proc = subprocess.run(command, capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return [line.split("|") for line in proc.stdout.splitlines()]


def test_tshark_captures_every_device_through_it(tmp_path, wireshark_extcap):
    env = {**os.environ, **sim_env(tmp_path, ALL_DEVICES)}
    listed = subprocess.run(["tshark", "-D"], capture_output=True, text=True, env=env, timeout=60).stdout
    ours = sorted(l.split(". ", 1)[1] for l in listed.splitlines() if "Quenwick" in l)
    assert ours == ["qwethernet0 (Quenwick Ethernet Plim #0)",
                    "qwi2c0 (Quenwick I2C/SPI Plim #0 (I2C))", "qwi2c1 (Quenwick I2C/SPI Plim #1 (I2C))",
                    "qwserialplim0 (Quenwick Serial Plim #0)", "qwserialpro0 (Quenwick Serial Plim Pro #0)",
                    "qwspi0 (Quenwick I2C/SPI Plim #0 (SPI))", "qwspi1 (Quenwick I2C/SPI Plim #1 (SPI))"]
    # All at once: each interface's packets whole and in order among the others'.
    rows = tshark_live(tmp_path, ["qwserialplim0", "qwserialpro0", "qwi2c0", "qwspi1"], 12, "frame.interface_name",
                       "quenwick.name", "quenwick.data", "quenwick.line", "quenwick.pro.line_state", "quenwick.spi.mosi",
                       "quenwick.spi.miso", "i2c.addr", "i2c.flags", "data.data")
    by_interface = {}
    for interface, *fields in rows:
        by_interface.setdefault(interface, []).append([f for f in fields if f])
    assert by_interface == {
        "qwserialplim0": [["line0-status", "0"], ["line1-status", "1"], ["line0-data", "48656c6c6f", "0"]],
        "qwserialpro0": [["dir0-data", "6869", "0"], ["line-state", "0x05"], ["dir1-data", "6f6b", "1"], ["event-7"]],
        # Wireshark's own I2C dissector: address, read or write, the bytes.
        "qwi2c0": [["0x50", "0x00000000", "a01234"], ["0x58", "0x00000001", "b156"]],
        "qwspi1": [["spi-frame-0"], ["spi-data", "31", "42"], ["spi-frame-5"]],
    }


def test_an_i2c_capture_may_keep_every_message(tmp_path, wireshark_extcap):
    rows = tshark_live(tmp_path, ["qwi2c0"], 4, "quenwick.name", "quenwick.i2c.address", "quenwick.i2c.ack",
                       args=["-o", "extcap.qwi2c0.i2cmessages:true"])
    assert rows == [["i2c-start", "", ""], ["i2c-address", "0x50", "0"], ["i2c-write", "", "0"], ["i2c-stop", "", ""]]


def test_serial_plim_pro_packets_carry_the_devices_own_time(tmp_path, wireshark_extcap):
    rows = tshark_live(tmp_path, ["qwserialpro0"], 1, "_ws.col.Info", "frame.time_epoch",
                       "quenwick.pro.records.type", "quenwick.pro.records.byte",
                       args=["-o", "extcap.qwserialpro0.devicetime:true"])
    assert len(rows) == 1
    info, epoch, types, data = rows[0]
    assert info.startswith("raw-packet timestamp=") and types == "3,3,5,4,4,7"
    assert bytes(int(b, 16) for b in data.split(",")) == b"hi\x05ok"
    ticks = int(re.search(r"timestamp=(\d+)", info).group(1)) - FILETIME_1970
    assert epoch == "%d.%09d" % (ticks // 10**7, ticks % 10**7 * 100)  # the packet's time is the device's
