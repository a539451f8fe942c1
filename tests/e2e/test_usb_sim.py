"""The USB layer in a process of its own, on the simulator's shared library in
place of libusb: the program is linked as the real one is and picks the simulator
up from LD_LIBRARY_PATH (Linux) or from beside the .exe (Windows)."""
import os
import subprocess

import pytest

from conftest import BUILD_DIR, PLATFORM, exit_code


def probe_path():
    name = "qw_usb_probe.exe" if PLATFORM == "win32" else "qw_usb_probe"
    return os.path.join(BUILD_DIR, "src", name)


@pytest.fixture
def probe(tmp_path):
    path = probe_path()
    if not BUILD_DIR or not os.path.exists(path):
        pytest.skip("usb probe not built")

    def run(scenario, *args):
        scenario_file = tmp_path / "bus.sim"
        scenario_file.write_text(scenario)
        env = dict(os.environ, QWSIM_SCENARIO=str(scenario_file), WINEDEBUG="-all")
        if PLATFORM == "win32":
            command = ["wine", path, *args]
        else:
            env["LD_LIBRARY_PATH"] = os.path.join(BUILD_DIR, "sim", "lib")
            command = [path, *args]
        proc = subprocess.run(command, capture_output=True, env=env, timeout=60)
        return exit_code(proc.returncode), proc.stdout.decode(), proc.stderr.decode()

    return run


def record_lines(path):
    return path.read_text().splitlines()


def test_lists_the_scenario_devices_in_order(probe):
    code, out, err = probe("device 16d0:0f3b\ndevice 1234:0001\ndevice 16d0:0f3c\n", "list")
    assert (code, err) == (0, "")
    assert out.splitlines() == ["16d0:0f3b", "1234:0001", "16d0:0f3c"]


def test_records_requests_and_exits_libusb_after_the_event_thread(probe, tmp_path):
    record = tmp_path / "record.txt"
    scenario = f'record "{record.as_posix()}"\ntrace events\nspeed 50\ndevice 1234:0001 name=box\n'
    code, out, err = probe(scenario, "open", "1234", "0001")
    assert (code, out, err) == (0, "opened\n", "")
    lines = record_lines(record)
    assert lines[0] == "init"
    assert ("control dev=box type=0x40 req=0x01 value=0x0002 index=0x0000 len=2 timeout=0 result=2 data=6869"
            in lines)
    assert lines[-1] == "exit refs=0 busy=0 handles=0 transfers=0"
    assert not [l for l in lines if l.startswith("misuse")]


def test_missing_device_is_reported(probe):
    code, out, err = probe("device 16d0:0f3b\n", "open", "1234", "0001")
    assert code == 255
    assert out == ""
    assert err.startswith("error: ") and err.endswith("\n")


def test_a_bad_scenario_is_reported_with_file_and_line(probe, tmp_path):
    code, out, err = probe("device 16d0:0f3b\nbogus statement\n", "list")
    lines = err.splitlines()
    assert lines[0] == f"qwsim: {tmp_path / 'bus.sim'}:2: unknown statement 'bogus'"
    # libusb did not start, so the device list fails.
    assert code == 255
    assert lines[1].startswith("error: ")
