"""Wireshark reads what the program captures: quenwick.lua on the USER0 files
qwdump --pcap makes of the program's own captures (every message once, in order,
decoded as qwdump decodes it), Wireshark's own I2C dissector on I2C_LINUX files,
damaged records shown as malformed, and a TCP session recorded on loopback."""
import contextlib
import json
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess

import pytest

from conftest import BUILD_DIR, WINE, connect, frame, free_tcp_port, receive, sim_env, wait_for
from test_qwdump import ETHERNET, I2C, PRO, SERIAL_PLIM, capture, qwdump

LUA = os.path.join(BUILD_DIR, "tools", "quenwick.lua") if BUILD_DIR else ""
pytestmark = pytest.mark.skipif(WINE or not shutil.which("tshark"), reason="tshark on Linux")

SPI = "device 16d0:0e27 model=fpga\nbytes 00 11 32 23 44 50 11 35 23 47 00\ndisconnect after 11 bytes\n"
FILETIME_1970 = 116444736000000000
USB = bytes.fromhex("3807ea87e9526947b7277a17377b921e")  # the USB error domain's GUID as it lies in a record


def tshark(path, *fields, lua=True, args=()):
    """tshark's fields of every frame (| between fields); it must read the file whole."""
    if lua and not os.path.exists(LUA):
        pytest.skip("quenwick.lua not built")
    command = ["tshark", "-r", str(path)] + (["-X", "lua_script:" + LUA] if lua else []) + list(args)
    if fields:
        command += ["-T", "fields", "-E", "separator=|"] + [a for f in fields for a in ("-e", f)]
    proc = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and "rror" not in proc.stderr, proc.stderr
    assert "Lua Error" not in proc.stdout
    return [line.split("|") if fields else line for line in proc.stdout.splitlines()]


def summaries(text):
    """qwdump's lines as the dissector sums them up: no offset, no text column."""
    return [re.sub(r"  \|.*\|$", "", re.sub(r"^\s*\S+  ", "", line)).replace("  ", " ") for line in text.splitlines()]


def pcap_of(tmp_path, family, *extra, files=("cap.bin",)):
    out = tmp_path / (os.path.splitext(files[0])[0] + ".pcap")
    code, _, err = qwdump("--device", family, "--pcap", str(out), *extra, *[str(tmp_path / f) for f in files])
    assert code == 0, err
    return out, err


@pytest.mark.parametrize("family, switch, scenario, extra", [
    ("serial-plim", "--serial-plim", SERIAL_PLIM, ()),
    ("serial-plim-pro", "--serial-plim-pro", PRO, ()),
    ("i2c", "--i2c-plim", I2C, ("--pcap-messages",)),
    ("spi", "--spi-plim", SPI, ()),
])
def test_every_message_of_a_capture_reads_in_wireshark_as_qwdump_reads_it(qw, tmp_path, family, switch, scenario,
                                                                          extra):
    capture(qw, tmp_path, switch, scenario, ["--out", str(tmp_path / "cap.bin")])
    expected = summaries(qwdump("--device", family, str(tmp_path / "cap.bin"))[1])
    codes = [json.loads(l)["code"] for l in qwdump("--device", family, "--json", str(tmp_path / "cap.bin"))[1].splitlines()]
    pcap, _ = pcap_of(tmp_path, family, *extra)
    rows = tshark(pcap, "_ws.col.Info", "quenwick.code", "quenwick.family")
    assert [r[0] for r in rows] == expected  # every message once, in order, its fields as qwdump shows them
    assert [int(r[1], 16) for r in rows] == codes
    assert {r[2] for r in rows} == {str({"serial-plim": 2, "serial-plim-pro": 6, "i2c": 3, "spi": 4}[family])}
    assert expected[-1].startswith("error ")  # the unplug's error record is among them


@pytest.mark.parametrize("family, messages", [
    ("serial", [(0x22, struct.pack("<I", 0x0B)), (0x22, struct.pack("<I", 0xFFFFFFFF)), (0x24, b"\x05"), (0x26, b""),
                (0x27, struct.pack("<IBBBB", 115200, 7, 2, 2, 1)), (0x27, b"\x01\x02"), (0x28, b"AT\r")]),
    ("serial-plim", [(0x05, struct.pack("<I", 0x34)), (0x04, struct.pack("<I", 0x7F)), (0x21, struct.pack("<I", 7)),
                     (0x06, struct.pack("<IBBBB", 9600, 5, 1, 4, 0)), (0x7E, b"?")]),
    ("serial-plim-pro", [(0x2C, b"\x05\x0c"), (0x31, struct.pack("<I", 2)), (0x32, b"\x80\xc0"), (0x30, b""),
                         (0x36, b"\x01"), (0x37, b"\x4c"), (0x1A, struct.pack("<I", 40))]),
    ("ethernet", [(0x20, struct.pack("<I16si", 24, USB, -4)), (0x20, struct.pack("<I16si", 24, USB, -77)),
                  (0x20, struct.pack("<I16si", 24, USB, 3)), (0x20, struct.pack("<I16si", 24, USB, 42)),
                  (0x20, struct.pack("<I16si", 30, bytes(16), 1) + b"lost\0x"),
                  (0x20, struct.pack("<I16si", 24, bytes(16), 0)), (0x20, struct.pack("<I16si", 24, bytes(16), 9))]),
    ("i2c", [(0x0C, b"\xf3\x51\x02\x00"), (0x0B, b"\xa1\x00"), (0x03, b"\x10\x20"), (0x08, struct.pack("<II", 3, 1)),
             (0x09, struct.pack("<I", 5)), (0x0E, b"")]),
    ("spi", [(0x18, b"\x03\x10\x01\x00"), (0x16, b"\x01\x02\x03\x04"), (0x16, b"\x01\x02\x03"), (0x15, b"")]),
])
def test_written_streams_read_as_qwdump_reads_them(tmp_path, family, messages):
    """Fields that a short capture does not show: several bits, commands, values past their names."""
    (tmp_path / "cap.bin").write_bytes(b"".join(frame(c, p) for c, p in messages))
    expected = summaries(qwdump("--device", family, str(tmp_path / "cap.bin"))[1])
    pcap, _ = pcap_of(tmp_path, family, "--pcap-messages")
    # Wireshark also marks what is too short for its fields.
    assert [r[0].replace(" [malformed]", "") for r in tshark(pcap, "_ws.col.Info")] == expected


def test_display_filters_pick_messages_by_their_fields(qw, tmp_path):
    for switch, scenario, name in (("--serial-plim", SERIAL_PLIM, "plim"), ("--spi-plim", SPI, "spi"),
                                   ("--i2c-plim", I2C, "i2c")):
        capture(qw, tmp_path, switch, scenario, ["--out", str(tmp_path / (name + ".bin"))])
    # Fields no capture here shows, from a stream written by hand.
    (tmp_path / "modem.bin").write_bytes(frame(0x22, struct.pack("<I", 0x2)) + frame(0x22, struct.pack("<I", 0x9)) +
                                         frame(0x27, struct.pack("<IBBBB", 115200, 7, 1, 2, 1)))
    pcaps = {"plim": pcap_of(tmp_path, "serial-plim", files=["plim.bin"])[0],
             "spi": pcap_of(tmp_path, "spi", files=["spi.bin"])[0],
             "i2c": pcap_of(tmp_path, "i2c", "--pcap-messages", files=["i2c.bin"])[0],
             "modem": pcap_of(tmp_path, "serial", files=["modem.bin"])[0]}
    cases = [  # capture, filter, the quenwick fields shown, the rows picked
        ("plim", "quenwick.code == 0x02", "name", [["line0-data"]]),
        ("plim", "quenwick.line == 1", "name", [["line1-status"]]),
        ("plim", "quenwick.status.tx_carrier == 1", "name", [["line0-status"]]),
        ("plim", "quenwick.data == 48:65:6c:6c:6f", "name", [["line0-data"]]),
        ("plim", "quenwick.error.code", "name", [["error"]]),
        ("plim", 'quenwick.error.domain_name == "USB"', "name", [["error"]]),
        ("modem", "quenwick.code == 0x22", "modem.cts modem.dsr modem.rlsd direction",
         [["0", "1", "0", "0"], ["1", "0", "1", "0"]]),
        ("modem", 'quenwick.name == "line-settings"',
         "serial.baud serial.data_bits serial.stop_bits serial.parity serial.flow direction",
         [["115200", "7", "1", "2", "1", "1"]]),
        ("spi", "quenwick.spi.mosi", "spi.mosi spi.miso", [["31", "42"], ["31", "75"]]),
        ("i2c", "quenwick.i2c.address", "i2c.address i2c.rw i2c.ack", [["0x50", "0", "0"], ["0x58", "1", "1"]]),
        ("i2c", "quenwick.i2c.ack == 0 && quenwick.data", "name", [["i2c-write"], ["i2c-read"]]),
    ]
    for source, picking, fields, expected in cases:
        shown = ["quenwick." + f for f in fields.split()]
        assert tshark(pcaps[source], *shown, args=["-Y", picking]) == expected, picking


def test_wiresharks_own_i2c_dissector_reads_the_transfers(qw, tmp_path):
    capture(qw, tmp_path, "--i2c-plim", I2C, ["--out", str(tmp_path / "cap.bin")])
    pcap, err = pcap_of(tmp_path, "i2c")
    # No plugin: address, read or write, and the bytes (the address byte first).
    assert tshark(pcap, "i2c.addr", "i2c.flags", "_ws.col.Protocol", "data.data", lua=False) == [
        ["0x50", "0x00000000", "I2C Write", "a01234"], ["0x58", "0x00000001", "I2C Read", "b156"]]
    assert "2 messages left out: link type I2C_LINUX" in err  # the event flags and the error


def test_ethernet_frames_go_to_wiresharks_ethernet_dissector(qw, tmp_path):
    capture(qw, tmp_path, "--ethernet-plim", ETHERNET, ["--out", str(tmp_path / "cap.bin")])
    pcap, _ = pcap_of(tmp_path, "ethernet")
    assert tshark(pcap, "eth.dst", "eth.src", "eth.type", "frame.len", lua=False) == [
        ["ff:ff:ff:ff:ff:ff", "02:00:00:00:00:01", "0x0806", "60"]]
    pcap, _ = pcap_of(tmp_path, "ethernet", "--pcap-messages")
    assert tshark(pcap, "quenwick.name", "quenwick.ethernet.length", "eth.src") == [
        ["ethernet-frame", "60", "02:00:00:00:00:01"], ["error", "", ""]]


def test_split_files_and_a_log_file_convert_whole_and_the_log_keeps_its_times(qw, tmp_path):
    scenario = ("device 16d0:0e26 model=serialplim\nendpoint 0x82\npattern counter 3000\nchunk 100\n"
                "disconnect after 3000 bytes\n")
    capture(qw, tmp_path, "--serial-plim", scenario, ["--out", str(tmp_path / "cap.bin"), "--split-size", "1K"])
    parts = sorted(p.name for p in tmp_path.glob("cap-*.bin"))
    assert len(parts) >= 3
    printed = qwdump("--device", "serial-plim", "--json", *[str(tmp_path / p) for p in parts])[1]
    messages = [json.loads(l) for l in printed.splitlines() if '"file"' not in l]
    pcap, _ = pcap_of(tmp_path, "serial-plim", files=parts)
    assert tshark(pcap, "quenwick.name", "quenwick.data") == [[m["name"], m.get("hex", "").replace(" ", "")]
                                                                for m in messages]

    capture(qw, tmp_path, "--serial-plim", SERIAL_PLIM, ["--qwlog", "--out", str(tmp_path / "cap.qwlog")])
    records = [json.loads(l) for l in qwdump("--json", str(tmp_path / "cap.qwlog"))[1].splitlines()]
    pcap, _ = pcap_of(tmp_path, "serial-plim", files=["cap.qwlog"])
    rows = tshark(pcap, "quenwick.name", "frame.time_epoch")
    assert [r[0] for r in rows] == [r["name"] for r in records]
    ticks = [r["filetime"] - FILETIME_1970 for r in records]
    assert [r[1] for r in rows] == ["%d.%09d" % (t // 10**7, t % 10**7 * 100) for t in ticks]


def pcap_file(link, packets):
    """A pcap file of these packets (microsecond times, all at 1 s)."""
    return struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, link) + b"".join(
        struct.pack("<IIII", 1, 0, len(p), len(p)) + p for p in packets)


def user0(*records):
    return pcap_file(147, records)


def test_damaged_records_show_as_malformed_and_the_rest_still_reads(tmp_path):
    good = b"\x02" + frame(0x02, b"ok")
    damaged = [
        b"\x02" + frame(0x02, b"abc")[:-1],                # the size says more than the record holds
        b"\x02" + frame(0x02, b"abc") + b"x",             # ... or less
        b"\x03\x07" + frame(0x0B, b"\xa0")[1:],            # kind byte 7, not 2
        b"\x03" + frame(0x0B, b"\xa0"),                    # an I2C address needs 2 bytes
        b"\x02\x02",                                       # shorter than a header
        b"\x02",                                           # the device byte alone
        b"\x09" + frame(0x00),                             # no device has number 9
        b"\x02" + frame(0x20, b"\x00" * 10),               # an error record shorter than its header
        b"\x02" + frame(0x20, struct.pack("<I", 99) + b"\x00" * 20),  # ... whose size runs past its end
        b"\x06" + frame(0x29, b"\x00" * 16 + b"\x03\xff"),  # a Serial Plim Pro record cut short
        b"\x02" + frame(0x20, struct.pack("<I16sI", 99, bytes(16), 1) + b"text"),  # a text error cut short
    ]
    path = tmp_path / "damaged.pcap"
    path.write_bytes(user0(good, *damaged, good))
    rows = tshark(path, "frame.number", "_ws.col.Info", args=["-Y", "quenwick.malformed"])
    assert [int(r[0]) for r in rows] == list(range(2, 2 + len(damaged)))
    assert [r[1] for r in rows if not r[1].endswith("[malformed]")] == []
    assert tshark(path, "quenwick.data", args=["-Y", "quenwick.name == \"line0-data\" && !quenwick.malformed"]) == [
        ["6f6b"], ["6f6b"]]
    assert "Lua Error" not in "\n".join(tshark(path, args=["-V"]))


def test_random_records_never_break_the_dissector(tmp_path):
    rng = random.Random(21)
    records = []
    for _ in range(300):
        payload = bytes(rng.randrange(256) for _ in range(rng.randrange(40)))
        size = rng.choice([len(payload), rng.randrange(65536)])
        records.append(bytes([rng.randrange(8), 2, rng.randrange(0x40), size & 0xFF, size >> 8]) + payload)
    path = tmp_path / "random.pcap"
    path.write_bytes(user0(*records))
    details = "\n".join(tshark(path, args=["-V"]))
    assert "Lua Error" not in details and details.count("Quenwick hardware controller message") == len(records)


def tcp_pcap(*segments):
    """An Ethernet pcap of one TCP segment per payload, each on a connection of its own."""
    packets = []
    for i, payload in enumerate(segments):
        tcp = struct.pack(">HHIIBBHHH", 40000 + i, 50000 + i, 1, 1, 5 << 4, 0x18, 65535, 0, 0)
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp) + len(payload), 0, 0, 64, 6, 0, bytes([127, 0, 0, 1]),
                         bytes([127, 0, 0, 1]))
        packets.append(bytes(12) + b"\x08\x00" + ip + tcp + payload)
    return pcap_file(1, packets)


def test_tcp_sessions_are_recognised_by_messages_only_some_device_uses(tmp_path):
    segments = [
        (frame(0x12), "start-capture"),                            # the I2C Plim's start command
        (frame(0x02, b"ab") + frame(0x1A, bytes(4)),                # two whole messages, of no known device
         "code-0x02 size=2 61 62; code-0x1a size=4 00 00 00 00"),
        (frame(0x00), None),                                       # an empty reply alone: too many things look so
        (frame(0x0B, b"\x01"), None),                              # too short for any device's address message
        (frame(0x38), None),                                       # a code no device uses
        (frame(0x02, b"ab")[:-1], None),                           # a message that does not end with the segment
        (b"\x03" + frame(0x12)[1:], None),                         # not kind 2
    ]
    path = tmp_path / "tcp.pcap"
    path.write_bytes(tcp_pcap(*(s for s, _ in segments)))
    rows = tshark(path, "frame.number", "_ws.col.Info", args=["-Y", "quenwick"])
    assert rows == [[str(i + 1), info] for i, (_, info) in enumerate(segments) if info]
    # On the port set in the preferences, no guessing: the empty reply too.
    rows = tshark(path, "frame.number", "_ws.col.Info", args=["-Y", "quenwick", "-o", "quenwick.tcp_port:50002"])
    assert ["3", "done"] in rows and len(rows) == 3


def tcp_flags(path):
    """The TCP flags of each segment in a pcap file of loopback (Ethernet) frames so far."""
    data = path.read_bytes() if path.exists() else b""
    flags, at = [], 24
    while len(data) - at >= 16:
        length = struct.unpack_from("<I", data, at + 8)[0]
        packet = data[at + 16:at + 16 + length]
        if len(packet) < length:
            break
        ip = 14 + (packet[14] & 0x0F) * 4 if len(packet) > 14 else 0
        flags.append(packet[ip + 13] if len(packet) > ip + 13 else 0)
        at += 16 + length
    return flags


def test_a_tcp_session_shows_each_command_and_its_reply_also_across_segments(tmp_path):
    """Recorded on loopback: the host's command goes in two segments; the
    program's data messages span several, the host's receive window being small."""
    if not os.path.exists(LUA) or not BUILD_DIR:
        pytest.skip("quenwick.lua not built")
    if not shutil.which("dumpcap"):
        pytest.skip("no dumpcap")
    port = free_tcp_port()
    record = tmp_path / "session.pcap"
    sniffer = subprocess.Popen(["dumpcap", "-i", "lo", "-f", "tcp port %d" % port, "-P", "-w", str(record)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        line = ""
        while "Capturing on" not in line:
            line = sniffer.stderr.readline()
            if not line:
                pytest.skip("no capture on the loopback interface here: " + sniffer.stderr.read())
        # dumpcap tells it captures a little before it does: knock on the closed
        # port (a reset answers) until a knock is in the file.
        def knocked():
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port)):
                pass
            return tcp_flags(record)
        assert wait_for(knocked)
        env = {**os.environ, "QWSIM_STRICT": "1", **sim_env(tmp_path, (
            "device 16d0:0e26 model=serialplim\ninput 2 low\nendpoint 0x82\npattern counter 12000\nchunk 6000\n"))}
        server = subprocess.Popen([os.path.join(BUILD_DIR, "src", "quenwick-hwc"), "--serial-plim", "--tcp", str(port)],
                                  env=env, stderr=subprocess.DEVNULL)
        try:
            host = connect(socket.AF_INET, ("127.0.0.1", port), options=[  # a small receive window, a segment a write
                (socket.SOL_SOCKET, socket.SO_RCVBUF, 4096), (socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)])
            receive(host, lambda m: sum(len(p) for c, p in m if c == 0x02) >= 12000)
            settings = frame(0x06, struct.pack("<IBBBB", 9600, 7, 2, 2, 0))
            host.sendall(settings[:5])
            host.sendall(settings[5:])
            assert receive(host, lambda m: m) == [(0x00, b"")]
            host.close()
            # The capture has the session once both ends' FIN are in it.
            assert wait_for(lambda: sum(f & 0x01 for f in tcp_flags(record)) >= 2)
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)
    finally:
        sniffer.send_signal(signal.SIGINT)
        sniffer.wait(timeout=30)
    rows = tshark(record, "quenwick.name", "quenwick.direction", "quenwick.size", "tcp.segment.count",
                  args=["-Y", "quenwick"])
    messages = [m for r in rows for m in zip(*(c.split(",") for c in r[:3]))]
    assert messages[:2] == [("line0-status", "0", "4"), ("line1-status", "0", "4")]
    data = [int(size) for name, _, size in messages if name == "line0-data"]
    assert (sum(data), max(data)) == (12000, 6000)
    assert messages[-2:] == [("line-settings", "1", "8"), ("done", "0", "0")]
    # Whole out of several segments: the data, and the command in its two.
    assert rows[-2][3] == "2" and all(int(r[3] or 0) >= 2 for r in rows if r[0].startswith("line0-data"))


def test_wireshark_loads_the_installed_dissector_as_a_plugin(tmp_path):
    """Installed, the dissector needs no -X: here in the user's Lua plugin folder
    (the global one, where `cmake --install` puts it, is the system's)."""
    if not BUILD_DIR:
        pytest.skip("QW_BUILD_DIR not set")
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(tmp_path / "usr")], check=True,
                   capture_output=True)
    plugins = tmp_path / "home" / ".local" / "lib" / "wireshark" / "plugins"
    plugins.mkdir(parents=True)
    shutil.copy(tmp_path / "usr" / "lib" / "wireshark" / "plugins" / "quenwick.lua", plugins)
    path = tmp_path / "one.pcap"
    path.write_bytes(user0(b"\x03" + frame(0x0B, b"\xa1\x00")))
    env = {**os.environ, "HOME": str(tmp_path / "home")}
    listed = subprocess.run(["tshark", "-G", "plugins"], capture_output=True, text=True, env=env, timeout=60).stdout
    assert "quenwick.lua" in listed
    read = subprocess.run(["tshark", "-r", str(path), "-T", "fields", "-e", "quenwick.i2c.address"],
                          capture_output=True, text=True, env=env, timeout=60).stdout
    assert read == "0x50\n"
