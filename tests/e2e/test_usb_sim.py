"""The USB layer in a process of its own, on the simulator's shared library in
place of libusb: the probe is linked as the program is and picks the simulator up
from LD_LIBRARY_PATH (Linux) or from beside the .exe (Windows)."""
import os
import subprocess

import pytest

from conftest import BUILD_DIR, PLATFORM, exit_code


def probe(tmp_path, scenario, vid, pid):
    path = os.path.join(BUILD_DIR, "src", "qw_usb_probe.exe" if PLATFORM == "win32" else "qw_usb_probe")
    if not BUILD_DIR or not os.path.exists(path):
        pytest.skip("usb probe not built")
    (tmp_path / "bus.sim").write_text(scenario)
    env = dict(os.environ, QWSIM_SCENARIO=str(tmp_path / "bus.sim"), WINEDEBUG="-all", QWSIM_STRICT="1")
    if PLATFORM == "win32":
        command = ["wine", path, vid, pid]
    else:
        env["LD_LIBRARY_PATH"] = os.path.join(BUILD_DIR, "sim", "lib")
        command = [path, vid, pid]
    proc = subprocess.run(command, capture_output=True, env=env, timeout=60)
    return exit_code(proc.returncode), proc.stdout.decode(), proc.stderr.decode()


def test_opens_the_device_and_the_simulator_records_its_request(tmp_path):
    record = tmp_path / "record.txt"
    scenario = f'record "{record.as_posix()}"\ndevice 16d0:0f3b\ndevice 1234:0001 name=box\n'
    assert probe(tmp_path, scenario, "1234", "0001") == (0, "opened\n", "")
    assert record.read_text().splitlines() == [
        "init",
        "control dev=box type=0x40 req=0x01 value=0x0002 index=0x0000 len=2 timeout=0 result=2 data=6869",
        "exit refs=0 busy=0 handles=0 transfers=0",
    ]


def test_a_bad_scenario_is_reported_with_file_and_line(tmp_path):
    code, out, err = probe(tmp_path, "device 16d0:0f3b\nbogus statement\n", "16d0", "0f3b")
    lines = err.splitlines()
    assert lines[0] == f"qwsim: {tmp_path / 'bus.sim'}:2: unknown statement 'bogus'"
    # libusb did not start: the device search names that, and nothing calls
    # into libusb without a context (a misuse would abort the probe).
    assert (code, out, len(lines)) == (255, "", 2)
    assert lines[1] == "error: libusb could not be initialised: Other error"
