"""The program itself on the simulator's libusb: every mode starts the USB layer
before the command line is read and ends it in order, promptly."""
import os
import time

import pytest

from conftest import BUILD_DIR, PLATFORM


@pytest.mark.parametrize("args, code", [
    (["--version"], 0),
    (["--help"], 0),
    (["--ser-enum"], 0),
    (["--bogus"], 255),
    (["--serial", "no-such-port"], 255),
])
def test_every_mode_starts_and_ends_the_usb_layer(qw, tmp_path, args, code):
    if not BUILD_DIR:
        pytest.skip("QW_BUILD_DIR not set")
    record, scenario = tmp_path / "record.txt", tmp_path / "bus.sim"
    scenario.write_text('record "%s"\ntrace events\n' % record.as_posix())
    env = {"QWSIM_SCENARIO": str(scenario)}
    if PLATFORM != "win32":  # the Windows program finds the simulator's DLL beside it
        env["LD_LIBRARY_PATH"] = os.path.join(BUILD_DIR, "sim", "lib")
    begin = time.monotonic()
    assert qw(*args, env=env).code == code
    took = time.monotonic() - begin
    lines = record.read_text().splitlines()
    # libusb is initialised first and exits last, with nothing left inside it:
    # whatever passes the event thread made lie between; no misuse anywhere.
    assert lines[0] == "init" and lines[-1] == "exit refs=0 busy=0 handles=0 transfers=0"
    assert all(line.startswith("events ") for line in lines[1:-1])
    # The event thread's stop does not wait out its 500 ms pass.
    assert took < (5 if PLATFORM == "win32" else 2)
