"""The program itself on the simulator's libusb: every mode starts the USB layer
before the command line is read and ends it in order, promptly."""
import os
import time

import pytest

from conftest import BUILD_DIR, PLATFORM


@pytest.fixture
def on_simulator(tmp_path):
    if not BUILD_DIR:
        pytest.skip("QW_BUILD_DIR not set")
    record = tmp_path / "record.txt"
    scenario = tmp_path / "bus.sim"
    scenario.write_text('record "%s"\ntrace events\n' % record.as_posix())
    env = {"QWSIM_SCENARIO": str(scenario)}
    if PLATFORM != "win32":  # the Windows program finds the simulator's DLL beside it
        env["LD_LIBRARY_PATH"] = os.path.join(BUILD_DIR, "sim", "lib")
    return env, record


@pytest.mark.parametrize("args, code", [
    (["--version"], 0),
    (["--help"], 0),
    (["--ser-enum"], 0),
    (["--bogus"], 255),
    (["--serial", "no-such-port"], 255),
])
def test_every_mode_starts_and_ends_the_usb_layer(qw, on_simulator, args, code):
    env, record = on_simulator
    begin = time.monotonic()
    result = qw(*args, env=env)
    took = time.monotonic() - begin
    assert result.code == code
    lines = record.read_text().splitlines()
    # libusb is initialised first and exits last, with nothing left inside it:
    # whatever passes the event thread made lie between.
    assert lines[0] == "init"
    assert lines[-1] == "exit refs=0 busy=0 handles=0 transfers=0"
    assert all(line.startswith("events ") for line in lines[1:-1])
    assert not [line for line in lines if line.startswith("misuse")]
    # The event thread's stop does not wait out its 500 ms pass.
    assert took < (5 if PLATFORM == "win32" else 2)
