"""EZ-USB EEPROM upload end to end: the program on the simulator's ezusb model,
its loader running on the emulated chip, its console lines and its exit codes."""
import pytest

from conftest import WINE, sim_env

IMAGE = bytes((i * 7 + 3) & 0xFF for i in range(10000))
FX2 = "device 16d0:0f3b model=ezusb\nfirmware emulated\n"
RAM, WRITE, VERIFY = b"Preparing RAM...\n", b"Writing EEPROM...\n", b"Verifying EEPROM...\n"


@pytest.fixture
def upload(qw, tmp_path):
    def run(scenario, image=IMAGE):
        if image is not None:
            (tmp_path / "image.iic").write_bytes(image)
        return qw("--ezusb", "image.iic", "--vid", "16d0", "--pid", "0f3b", env=sim_env(tmp_path, scenario), cwd=tmp_path)

    return run


def test_the_image_lands_in_the_eeprom(upload, tmp_path):
    image = bytes((i * 13 + i // 256) & 0xFF for i in range(16384))
    result = upload(FX2 + "eeprom 16K\ndump eeprom eeprom.bin\n", image)
    assert (result.code, result.stderr) == (0, b"")
    assert result.stdout == RAM + WRITE + VERIFY + b"EZ-USB configuration uploaded successfully.\n"
    assert (tmp_path / "eeprom.bin").read_bytes() == image


@pytest.mark.skipif(WINE, reason="the upload itself is what Wine shows; the failures are the program's own")
@pytest.mark.parametrize("scenario, image, stdout, error", [
    ("device 16d0:0f3c model=ezusb\n", IMAGE, b"",
     b"USB device 16d0:0f3b: The system cannot find the file specified."),
    # The image's own faults and the loader's on a part it cannot address have their
    # texts checked in EzUsbTest; here the image is named as the user gave it.
    (FX2, None, b"", b'EZ-USB image "image.iic": '),  # then the system's text
    (FX2 + "fail control 0x40 0xa2 pipe nth=2\n", IMAGE, RAM + WRITE, b"writing the EEPROM: Pipe error"),
    (FX2 + "flip 4096\n", IMAGE, RAM + WRITE + VERIFY, b"EEPROM contents differs from the original"),
], ids=["no device", "no file", "failing chunk", "differs"])
def test_each_failure_names_itself(upload, scenario, image, stdout, error):
    result = upload(scenario, image)
    assert (result.code, result.stdout) == (255, stdout)
    if image is None:
        assert result.stderr.startswith(b"error: " + error) and result.stderr.endswith(b"\n")
    else:
        assert result.stderr == b"error: " + error + b"\n"
