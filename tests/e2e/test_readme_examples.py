"""Every example of the README's "Switches by example", run as written: the
serial examples on a pty pair (in place of ttyUSB0 and COM3), the device
examples on the simulator, a fixed TCP port replaced by a free one. A capture
that would run until stopped is stopped with Ctrl-C (SIGINT) once it has
written what the device sent."""
import os
import signal
import shlex
import time

import pytest

from conftest import WINE, frame, free_tcp_port, parse_messages, sim_env
from ptyport import PtyPort

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")

# The models each device example needs, by its hardware switch.
FPGA = "device 16d0:0e27 model=fpga\nbytes 00 2a 40 21 42 23 44 70\n"
MODELS = {"--serial-plim": "device 16d0:0e26 model=serialplim\nendpoint 0x82\ntext \"hello\"\n",
          "--i2c-plim": FPGA, "--spi-plim": FPGA, "--ezusb": "device 16d0:0f3b model=ezusb\n",
          "--serial-plim-pro": "device 326f:0005 model=fpga\nrx 0 text=hello\n",
          "--ethernet-plim": "device 326f:0003 model=fpga\nframe size=60\n"}


def examples():
    text = open(README, encoding="utf-8").read()
    block = text.split("## Switches by example", 1)[1].split("\n## ", 1)[0]
    found = []
    for line in block.splitlines():
        line = line.strip()
        if line.startswith("quenwick-hwc "):
            found.append(shlex.split(line.split("#", 1)[0])[1:])
    return found


def hardware(args):
    return next((switch for switch in [*MODELS, "--serial"] if switch in args), None)


def wait_for_output(run, args, folder, timeout=20):
    """Until the capture has written something: to its files, to standard
    output, or (a server, with no client) until it listens."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and run.proc.poll() is None:
        if "--tcp" in args or "--np" in args:
            time.sleep(0.5)
            return True
        out = args[args.index("--out") + 1] if "--out" in args else None
        if out is None and (run.messages() or ("--pcap" in args and len(run.output) > 24)):
            return True
        stem = os.path.splitext(out or "")[0]
        if out and any(f.stat().st_size > 4 for f in folder.glob(stem + "*")):
            return True
        time.sleep(0.05)
    return False


def test_the_examples_are_all_covered():
    kinds = {hardware(a) for a in examples()}
    assert kinds == {None, "--serial"} | set(MODELS)


@pytest.mark.parametrize("args", examples(), ids=lambda a: " ".join(a))
def test_readme_example_runs_as_written(qw, background, tmp_path, args):
    kind = hardware(args)
    args = [a for a in args if a != ">"]
    if "capture.pcap" in args:
        args.remove("capture.pcap")
    if "--tcp" in args:
        args[args.index("--tcp") + 1] = str(free_tcp_port())
    env = {"XDG_RUNTIME_DIR": str(tmp_path)}
    line = None
    if kind == "--serial":
        line = PtyPort(wine=WINE)
        args[args.index("--serial") + 1] = line.name
    elif kind:  # with "-n", the second device of its model
        env.update(sim_env(tmp_path, MODELS[kind] * (2 if "-n" in args else 1)))
    if kind == "--ezusb":
        (tmp_path / args[args.index("--ezusb") + 1]).write_bytes(bytes(range(256)))
    try:
        if kind in (None, "--ezusb") or "--in" in args or "--stdin" in args or "--firmware" in args:
            # Ends by itself: a mode without capture, an upload, or the end of the commands.
            if "--firmware" in args:  # a 32-byte header, then the image
                rpd = bytes(4) + bytes([1, 4, 0, 2]) + bytes(24) + bytes(range(256)) * 4
                (tmp_path / args[args.index("--firmware") + 1]).write_bytes(rpd)
            if "--in" in args:
                (tmp_path / args[args.index("--in") + 1]).write_bytes(frame(0x7E))
            result = qw(*args, cwd=tmp_path, env=env)
            assert result.code == 0, result.stderr
            if "--in" in args:
                replies = parse_messages((tmp_path / args[args.index("--in") + 1]).read_bytes()[4:])
                assert [c for c, _ in replies if c == 0x20] == [0x20]
            return
        run = background(*args, cwd=tmp_path, env=env)
        if line:
            assert line.wait_configured()
            line.write(b"hello")
        assert wait_for_output(run, args, tmp_path)
        if WINE:
            run.kill()
            return
        run.proc.send_signal(signal.SIGINT)
        code, stderr = run.finish(timeout=10)
        assert (code, stderr) == (0, b"")
    finally:
        if line:
            line.close()
