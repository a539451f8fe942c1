"""What `cmake --install` lays out (GNU folders, into a staging prefix), and the
bash completion made from the switch table, sourced and asked to complete."""
import gzip
import os
import subprocess

import pytest

from conftest import BUILD_DIR, WINE

pytestmark = pytest.mark.skipif(WINE or not BUILD_DIR, reason="the Linux install")


def test_install_lays_out_programs_capture_interface_dissector_manuals_completion_and_udev_rules(tmp_path):
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(tmp_path)], check=True, capture_output=True)
    files = sorted(os.path.relpath(os.path.join(d, f), tmp_path) for d, _, fs in os.walk(tmp_path) for f in fs)
    assert files == sorted([
        "bin/quenwick-hwc", "bin/qwdump", "lib/udev/rules.d/70-quenwick-hwc.rules", "lib/wireshark/extcap/quenwick-extcap",
        "lib/wireshark/plugins/quenwick.lua",
        "share/bash-completion/completions/quenwick-hwc", "share/man/man1/quenwick-hwc.1.gz", "share/man/man1/qwdump.1.gz",
        "share/doc/quenwick-hwc/README.md", "share/doc/quenwick-hwc/changelog.gz", "share/doc/quenwick-hwc/copyright",
    ])
    # The manual's options come from the switch table: every switch is in it.
    manual = gzip.decompress((tmp_path / "share/man/man1/quenwick-hwc.1.gz").read_bytes()).decode()
    assert "\\-\\-ser\\-parity" in manual and "@OPTIONS@" not in manual


@pytest.mark.parametrize("words, expected", [
    (["--ser-pa"], "--ser-parity"), (["--ser-parity", "e"], "even"), (["--ser-stop", "1"], "1 1.5"),
    (["--spi-data", ""], "4 8 12 16"), (["-"], None),  # a lone dash: every switch
])
def test_bash_completes_switches_and_their_values(words, expected):
    script = os.path.join(BUILD_DIR, "tools", "quenwick-hwc.bash")
    words = ["quenwick-hwc"] + words
    command = 'source "$0"; COMP_WORDS=(%s); COMP_CWORD=%d; _quenwick_hwc; echo "${COMPREPLY[*]}"' % (
        " ".join("'%s'" % w for w in words), len(words) - 1)
    got = subprocess.run(["bash", "-c", command, script], capture_output=True, text=True, check=True).stdout.strip()
    if expected is None:
        assert "--help" in got.split() and "-h" in got.split() and len(got.split()) > 40
    else:
        assert got == expected
