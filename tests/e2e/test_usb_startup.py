"""The program itself on the simulator's libusb: every mode starts the USB layer
before the command line is read (on Windows, where libusb is loaded at run time,
only a mode that needs a device does) and ends it in order, promptly; without
libusb the modes that need no device still run."""
import os
import shutil
import subprocess
import time

import pytest

from conftest import EOL, EXE, WINE, sim_env


@pytest.mark.parametrize("args, code", [
    (["--version"], 0), (["--help"], 0), (["--ser-enum"], 0), (["--bogus"], 255), (["--serial", "no-such-port"], 255),
    (["--serial-plim"], 255),  # an empty bus
])
def test_every_mode_starts_and_ends_the_usb_layer_and_without_it_runs_if_it_needs_no_device(qw, tmp_path, args, code):
    record = tmp_path / "record.txt"
    # Slowed down, an event pass lasts 25 s: the run must not wait one out.
    env = sim_env(tmp_path, 'speed 0.02\nrecord "%s"\ntrace events\n' % record.as_posix())
    begin = time.monotonic()
    plain = qw(*args, env=env)
    took = time.monotonic() - begin
    assert plain.code == code
    if WINE and args != ["--serial-plim"]:
        assert not record.exists()  # libusb-1.0.dll was never loaded
    else:
        lines = record.read_text().splitlines()
        # libusb is initialised first and exits last, with nothing left inside it:
        # whatever passes the event thread made lie between; no misuse anywhere.
        assert lines[0] == "init" and lines[-1] == "exit refs=0 busy=0 handles=0 transfers=0"
        assert all(line.startswith("events ") for line in lines[1:-1])
        # The event thread's stop does not wait out its pass.
        assert took < 15
    if args == ["--serial-plim"]:
        return
    # Without libusb: the same outcome, and no call reached libusb after the
    # failed init (the simulator aborts the program on such a misuse).
    result = qw(*args, env=sim_env(tmp_path, 'record "%s"\nfail init nomem\n' % record.as_posix()))
    assert (result.code, result.stdout, result.stderr) == (plain.code, plain.stdout, plain.stderr)
    assert (not record.exists()) if WINE else record.read_text().splitlines() == ["init failed error=-11"]


@pytest.mark.parametrize("scenario, lines", [
    ("fail init nomem\n", ["error: libusb could not be initialised: Insufficient memory"]),
    # A bad scenario file is named with its line, and libusb does not start.
    ("device 16d0:0e26 model=serialplim\nbogus statement\n",
     ["qwsim: {bus}:2: unknown statement 'bogus'", "error: libusb could not be initialised: Other error"]),
])
def test_without_libusb_a_usb_mode_says_why(qw, tmp_path, scenario, lines):
    result = qw("--serial-plim", env=sim_env(tmp_path, scenario))
    assert (result.code, result.stdout) == (255, b"") and result.stderr.endswith(EOL)
    assert result.stderr.decode().splitlines() == [line.format(bus=tmp_path / "bus.sim") for line in lines]


@pytest.mark.skipif(WINE or os.environ.get("QW_SANITIZED") == "1",
                    reason="the real libusb is the Linux program's; a sanitizer's runtime needs descriptors of its own")
def test_the_real_libusb_failing_under_a_low_descriptor_limit_is_survived(qw):
    if not shutil.which("prlimit"):
        pytest.skip("prlimit not installed")
    proc = subprocess.run(["prlimit", "--nofile=5", EXE, "--version"], capture_output=True, timeout=30)
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert proc.stdout.startswith(b"Quenwick Hardware Controller v")


def test_a_device_without_permission_names_itself_and_the_remedy(qw, tmp_path):
    result = qw("--serial-plim", env=sim_env(tmp_path, "device 16d0:0e26 model=serialplim\nfail open access\n"))
    remedy = b"check that the device uses the WinUSB driver" if WINE else b"install the udev rules 70-quenwick-hwc.rules"
    assert result.code == 255
    assert result.stderr.startswith(b"error: USB device 16d0:0e26 #0 cannot be opened without permission; " + remedy)
