"""The Ethernet Plim end to end on the simulator's fpga model: frames as messages,
pcap on stdout and in split files (read back by tshark where it is installed), and
a TCP host stopping and restarting a pcap capture."""
import shutil
import signal
import socket
import struct
import subprocess

import pytest

from conftest import WINE, connect, device_commands, frame, free_tcp_port, sim_env, wait_for

GLOBAL = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)
linux_only = pytest.mark.skipif(WINE, reason="under Wine: pcap into files")


def bus(tmp_path, lines):
    return sim_env(tmp_path, "speed 20\nrecord record.txt\ndevice 326f:0003 model=fpga\n" + lines + "\n")


def counting(n, seed=0):
    return bytes((seed + i) & 0xFF for i in range(n))


def pcap_items(data):
    """A pcap stream that may carry framed replies, as "header", ("reply", code) or a
    frame (both its lengths alike); a partial tail is left out."""
    items, at = [], 0
    while len(data) - at >= 4:
        if data[at:at + 24] == GLOBAL or data[at:at + 4] == b"\x02\x00\x00\x00":
            items.append("header" if data[at] != 2 else ("reply", data[at + 1]))
            at += 24 if data[at] != 2 else 4
            continue
        caplen, length = struct.unpack_from("<II", data, at + 8) if len(data) - at >= 16 else (0, 1)
        if caplen != length or len(data) - at - 16 < caplen:
            break
        items.append(data[at + 16:at + 16 + caplen])
        at += 16 + caplen
    return items


def tshark_lengths(data):
    """Frame lengths as tshark reads the stream, or None without tshark."""
    if not shutil.which("tshark"):
        return None
    result = subprocess.run(["tshark", "-r", "-", "-T", "fields", "-e", "frame.len"], input=data,
                            capture_output=True, timeout=60)
    return [int(n) for n in result.stdout.split()] if result.returncode == 0 else result.stderr


@linux_only
def test_frames_become_messages_and_frames_too_long_for_one_are_counted(background, tmp_path):
    # The frames too long come before the last message, which so tells they were read.
    env = bus(tmp_path, "idle 2 ones\nframe 0102030405\nframe size=64 flags=0x08000000\nframe size=65535\n"
                        "frame size=65529\nframe 01 flags=0x10000000\nframe size=65528\nchunk 1000")
    qw = background("--ethernet-plim", "--stdout", "--stdin", env=env, cwd=tmp_path)
    assert qw.wait_output(lambda m: len(m) >= 3) == [(27, struct.pack("<I", 5) + counting(5, 1) + bytes(3)),
                                                     (28, struct.pack("<I", 64 | 1 << 27) + counting(64)),
                                                     (27, struct.pack("<I", 65528) + counting(65528))]
    assert qw.finish() == (0, b"dropped 2 Ethernet frame(s) longer than 65528 bytes: too long for a message\n")


@linux_only
def test_pcap_on_stdout_holds_the_frames_whole_and_nothing_of_a_failed_upload(background, tmp_path):
    frames = [counting(60, 1), counting(1514, 2), counting(9000, 3)]
    (tmp_path / "in.pcap").write_bytes(GLOBAL + b"".join(struct.pack("<IIII", 1, 2, len(f), len(f)) + f
                                                         for f in frames))
    (tmp_path / "f.rpd").write_bytes(bytes(32))
    env = bus(tmp_path, "fail control 0x40 0x52 pipe\npcap in.pcap\nchunk 1000")
    qw = background("--ethernet-plim", "--pcap", "--stdout", "--stdin", "--rpd", "f.rpd", env=env, cwd=tmp_path)
    qw.proc.stdin.write(frame(29))  # the upload's erase fails
    qw.proc.stdin.flush()
    assert wait_for(lambda: len(pcap_items(bytes(qw.output))) == 4 and "req=0x52" in
                    (tmp_path / "record.txt").read_text())
    code, stderr = qw.finish()
    # The failure shows at once, and the run ends with it.
    assert (code, pcap_items(bytes(qw.output))) == (255, ["header"] + frames)
    assert stderr.startswith(b"Uploading firmware: f.rpd\n")
    assert stderr.endswith(b"\nErasing flash...\nUpload failed: Pipe error\nerror: firmware upload of f.rpd: Pipe error\n")
    assert tshark_lengths(bytes(qw.output)) in (None, [60, 1514, 9000])


@linux_only
def test_a_failed_pcap_capture_reports_on_standard_error_only(qw, tmp_path):
    result = qw("--ethernet-plim", "--pcap", "--stdout", cwd=tmp_path,
                env=bus(tmp_path, "frame size=60\nchunk 64\nthen repeat\ndisconnect after 640 bytes"))
    # The text depends on where the device went missing: a transfer or a call.
    assert result.code == 255 and result.stderr.startswith(b"error: ") and result.stderr.count(b"\n") == 1
    items = pcap_items(result.stdout)  # pcap only, up to the failure
    assert items == ["header"] + [counting(60)] * 10 and len(result.stdout) == 24 + 10 * 76


def test_split_pcap_files_each_open_on_their_own(background, tmp_path):
    qw = background("--ethernet-plim", "--pcap", "--out", "cap.pcap", "--split-size", "4K", cwd=tmp_path,
                    env=bus(tmp_path, "frame size=1000\nframe size=300\nchunk 1000\nrate 200K\nthen repeat"))
    assert wait_for(lambda: (tmp_path / "cap-03.pcap").exists())
    qw.proc.send_signal(signal.SIGINT)
    assert qw.finish() == (0, b"")
    for f in sorted(tmp_path.glob("cap-*.pcap")):
        data = f.read_bytes()
        items = pcap_items(data)
        assert items[0] == "header" and set(items[1:]) <= {counting(1000), counting(300)}, f
        assert sum(24 if i == "header" else 16 + len(i) for i in items) == len(data), f  # whole records only
        assert tshark_lengths(data) in (None, [len(i) for i in items[1:]]), f


@linux_only
def test_a_tcp_host_stops_and_restarts_a_pcap_capture(background, tmp_path):
    port = free_tcp_port()
    qw = background("--ethernet-plim", "--pcap", "--tcp", str(port), cwd=tmp_path,
                    env=bus(tmp_path, "frame size=60\nchunk 64\nrate 6400\nthen repeat"))
    data = b""
    with connect(socket.AF_INET, ("127.0.0.1", port)) as host:
        host.settimeout(20)
        for command, done in ((None, lambda i: len(i) >= 4), (31, lambda i: ("reply", 0) in i),
                              (30, lambda i: i.count(("reply", 0)) == 2 and len(i) - i.index("header", 1) > 3)):
            if command:
                host.sendall(frame(command))
            while not done(pcap_items(data)):
                chunk = host.recv(65536)
                assert chunk
                data += chunk
    # A new pcap stream begins with the restart, before its reply.
    items = pcap_items(data)
    replies = [n for n, i in enumerate(items) if i == ("reply", 0)]
    assert items[0] == "header" and replies[0] < items.index("header", 1) < replies[1]
    assert {i for i in items if isinstance(i, bytes)} == {counting(60)}
    assert device_commands(tmp_path)[:5] == ["aa", "55", "aa", "aa", "55"]
