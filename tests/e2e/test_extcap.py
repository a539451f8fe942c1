"""quenwick-extcap as Wireshark uses it: the interface steps by hand, a capture
into a fifo that ends when the reader closes it or signals, and, where tshark is
installed, tshark listing the interface and capturing from the simulator."""
import os
import shutil
import signal
import struct
import subprocess

import pytest

from conftest import BUILD_DIR, WINE, sim_env

EXTCAP = os.path.join(BUILD_DIR, "src", "quenwick-extcap.exe") if WINE else os.path.join(BUILD_DIR, "tools", "quenwick-extcap")
FRAMES = [bytes.fromhex("ffffffffffff020000000001" "0806") + bytes(range(i, i + 46)) for i in (0, 50, 100)]
BUS = "".join("device 326f:0003 model=fpga\n" + "".join("frame %s\n" % f.hex() for f in FRAMES) for _ in range(2))


def extcap(tmp_path, *args, **kwargs):
    if not BUILD_DIR or not os.path.exists(EXTCAP):
        pytest.skip("quenwick-extcap not built")
    env = {**os.environ, "WINEDEBUG": "-all", **sim_env(tmp_path, BUS)}
    return subprocess.Popen((["wine"] if WINE else []) + [EXTCAP, *args], env=env, stdout=subprocess.PIPE,
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


@pytest.mark.skipif(WINE or not shutil.which("tshark"), reason="tshark on Linux")
def test_tshark_lists_and_captures_through_it(tmp_path):
    folder = subprocess.run(["tshark", "-G", "folders"], capture_output=True, text=True).stdout
    extcap_dir = next((l.split("\t")[-1].strip() for l in folder.splitlines() if l.startswith("Extcap path")), "")
    link = os.path.join(extcap_dir, "quenwick-extcap")
    if not extcap_dir or not os.access(extcap_dir, os.W_OK) or os.path.exists(link):
        pytest.skip("Wireshark's extcap folder is not ours to write")
    os.symlink(EXTCAP, link)
    try:
        env = {**os.environ, **sim_env(tmp_path, BUS)}
        listed = subprocess.run(["tshark", "-D"], capture_output=True, text=True, env=env, timeout=60).stdout
        assert "qwethernet0 (Quenwick Ethernet Plim #0)" in listed
        out = tmp_path / "out.pcap"
        subprocess.run(["tshark", "-i", "qwethernet0", "-c", "3", "-w", str(out)], capture_output=True, env=env,
                       timeout=60, check=True)
        with open(out, "rb") as f:
            data = f.read()
        assert all(frame in data for frame in FRAMES)  # tshark writes pcapng: the frames whole, in it
    finally:
        os.unlink(link)
