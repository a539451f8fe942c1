"""The Debian package and the Windows folder, each unpacked into an empty folder and
run with no build tree on any path: what they hold, where, what they depend on,
and that the programs in them work. The Windows folder runs under Wine, first
without libusb-1.0.dll (every mode that needs no USB works; a USB mode says what
is missing), then with the simulator's DLL copied in as the user's libusb."""
import glob
import os
import re
import signal
import shutil
import subprocess
import sys
import threading
import zipfile

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from conftest import WINE_RUN, frame, parse_messages as messages  # noqa: E402
from ptyport import PtyPort  # noqa: E402

PACKAGES = os.environ.get("QW_PACKAGES", "")
# The simulator's libusb-1.0.dll from the Windows package build (scripts/test names it).
SIM_DLL = os.environ.get("QW_SIM_DLL", "")
VERSION = os.environ.get("QW_VERSION", "")
# Only these may be imported by a packaged .exe: they come with every Windows.
WINDOWS_SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "advapi32.dll", "setupapi.dll", "user32.dll",
                       "ntdll.dll", "shell32.dll", "ole32.dll", "bcrypt.dll"}


def one(pattern):
    found = glob.glob(os.path.join(PACKAGES, pattern))
    if not found:
        pytest.skip("no %s in QW_PACKAGES (scripts/package makes it)" % pattern)
    assert len(found) == 1, found
    return found[0]


def clean_env(**extra):
    """An environment that points at no build tree and no libusb of ours."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("QW", "LD_", "WINEPATH")) and k != "PYTHONPATH"}
    env.update(WINEDEBUG="-all", **extra)
    return env


# --- the Debian package -------------------------------------------------------------------

@pytest.fixture(scope="module")
def deb():
    return one("quenwick-hwc_*_amd64.deb")


@pytest.fixture(scope="module")
def unpacked_deb(deb, tmp_path_factory):
    root = tmp_path_factory.mktemp("deb")
    subprocess.run(["dpkg-deb", "-x", deb, str(root)], check=True)
    return root


def field(deb, name):
    return subprocess.run(["dpkg-deb", "--field", deb, name], capture_output=True, text=True, check=True).stdout.strip()


def test_the_deb_is_named_and_versioned_from_the_project_and_depends_on_what_its_binaries_link(deb):
    assert (field(deb, "Package"), field(deb, "Architecture")) == ("quenwick-hwc", "amd64")
    assert not VERSION or (field(deb, "Version"), os.path.basename(deb)) == (VERSION, "quenwick-hwc_%s_amd64.deb" % VERSION)
    # Computed by dpkg-shlibdeps: package names with the versions the binaries need.
    depends = {d.split(" (")[0] for d in field(deb, "Depends").split(", ")}
    assert {"libusb-1.0-0", "libc6", "libstdc++6"} <= depends
    assert any(re.fullmatch(r"libicu\d+", d) for d in depends), depends


def test_the_deb_puts_every_file_in_debians_place(unpacked_deb):
    files = sorted("/" + os.path.relpath(os.path.join(d, f), unpacked_deb)
                   for d, _, fs in os.walk(unpacked_deb) for f in fs)
    extcap = subprocess.run(["tshark", "-G", "folders"], capture_output=True, text=True).stdout if shutil.which(
        "tshark") else ""
    extcap_dir = re.search(r"Extcap path:\s*(\S+)", extcap)
    extcap_dir = extcap_dir.group(1) if extcap_dir else "/usr/lib/x86_64-linux-gnu/wireshark/extcap"
    expected = [
        "/usr/bin/quenwick-hwc", "/usr/bin/qwdump", extcap_dir + "/quenwick-extcap",
        "/usr/lib/udev/rules.d/70-quenwick-hwc.rules",
        "/usr/share/bash-completion/completions/quenwick-hwc",
        "/usr/share/doc/quenwick-hwc/README.md", "/usr/share/doc/quenwick-hwc/changelog.gz",
        "/usr/share/doc/quenwick-hwc/copyright",
        "/usr/share/man/man1/quenwick-hwc.1.gz", "/usr/share/man/man1/qwdump.1.gz",
    ]
    lua = re.search(r"Global Lua Plugins:\s*(\S+)", extcap)
    # The dissector goes where Wireshark loads global Lua plugins.
    expected.append((lua.group(1) if lua else "/usr/lib/x86_64-linux-gnu/wireshark/plugins") + "/quenwick.lua")
    assert files == sorted(expected)


@pytest.mark.skipif(not shutil.which("lintian"), reason="lintian")
def test_lintian_finds_neither_errors_nor_warnings(deb):
    result = subprocess.run(["lintian", "--fail-on", "error,warning", deb], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert not [l for l in result.stdout.splitlines() if l.startswith(("E:", "W:"))]


def test_the_unpacked_programs_run_from_an_empty_folder(unpacked_deb, tmp_path):
    bin_dir = unpacked_deb / "usr" / "bin"
    run = lambda *args, **kw: subprocess.run([str(a) for a in args], capture_output=True, cwd=tmp_path,
                                             env=clean_env(), timeout=60, **kw)
    version = run(bin_dir / "quenwick-hwc", "--version")
    assert version.returncode == 0 and version.stdout.startswith(b"Quenwick Hardware Controller v")
    help_text = run(bin_dir / "quenwick-hwc", "--help")
    assert help_text.returncode == 0 and b"--serial-plim" in help_text.stdout
    capture = tmp_path / "cap.bin"
    capture.write_bytes(frame(0x03, b"hi there") + frame(0x22, bytes([3, 0, 0, 0])))
    dump = run(bin_dir / "qwdump", "--device", "serial", str(capture))
    assert dump.returncode == 0 and b"hi there" in dump.stdout and len(dump.stdout.splitlines()) == 2
    # Wireshark asks the capture interface for its interfaces; none are attached.
    extcap = next(unpacked_deb.glob("usr/lib/**/extcap/quenwick-extcap"))
    listed = run(extcap, "--extcap-interfaces")
    assert listed.returncode == 0 and listed.stdout.startswith(b"extcap {version=")


# --- the Windows folder ------------------------------------------------------------------

@pytest.fixture(scope="module")
def zip_file():
    return one("quenwick-hwc-*-windows-x64.zip")


@pytest.fixture
def folder(zip_file, tmp_path):
    """The ZIP unpacked into an empty folder: the one folder it holds."""
    with zipfile.ZipFile(zip_file) as z:
        z.extractall(tmp_path)
    (inner,) = [p for p in tmp_path.iterdir() if p.is_dir()]
    return inner


def program(folder, *args):
    """The argument vector that runs the unpacked program under Wine."""
    return [*WINE_RUN, str(folder / "quenwick-hwc.exe"), *args]


def wine(folder, *args, env=None, timeout=60):
    return subprocess.run(program(folder, *args), capture_output=True, cwd=folder, env=env or clean_env(),
                          timeout=timeout)


def test_the_zip_is_one_folder_with_the_programs_and_their_texts(zip_file):
    with zipfile.ZipFile(zip_file) as z:
        names = sorted(z.namelist())
    top = os.path.basename(zip_file)[:-4]
    assert names == sorted(top + "/" + n for n in ["README.md", "WINDOWS.txt", "quenwick-extcap.exe",
                                                    "quenwick-hwc.exe", "quenwick.lua", "qwdump.exe"])


def test_every_packaged_exe_imports_only_windows_system_dlls(folder):
    objdump = shutil.which("x86_64-w64-mingw32-objdump")
    if not objdump:
        pytest.skip("mingw objdump")
    for exe in sorted(folder.glob("*.exe")):
        table = subprocess.run([objdump, "-p", str(exe)], capture_output=True, text=True, check=True).stdout
        imported = {m.lower() for m in re.findall(r"DLL Name: (\S+)", table)}
        assert imported and imported <= WINDOWS_SYSTEM_DLLS, (exe.name, imported - WINDOWS_SYSTEM_DLLS)


def test_windows_txt_says_where_libusb_comes_from_and_how_the_device_and_extcap_are_set_up(folder):
    text = (folder / "WINDOWS.txt").read_bytes()
    assert b"\r\n" in text and b"\n" not in text.replace(b"\r\n", b"")  # a Windows text file
    for needed in [b"https://github.com/libusb/libusb/releases", b"libusb-1.0.dll", b"WinUSB", b"extcap"]:
        assert needed in text


@pytest.mark.skipif(not shutil.which("wine"), reason="Wine")
def test_without_libusb_every_other_mode_runs_and_a_usb_mode_says_what_is_missing(folder):
    version = wine(folder, "--version")
    assert version.returncode == 0 and version.stdout.startswith(b"Quenwick Hardware Controller v")
    assert wine(folder, "--help").returncode == 0
    assert wine(folder, "--ser-enum").returncode == 0
    plim = wine(folder, "--serial-plim")
    # The system's own text differs between Windows and Wine: only ours is pinned.
    assert plim.returncode == 255 and plim.stdout == b""
    line = plim.stderr.decode()
    shown = re.fullmatch(r'error: libusb-1\.0\.dll could not be loaded from beside the program \((.+?)\) or the system '
                         r'search path: [^\r\n]+; see "Windows" in the README \(WINDOWS\.txt beside the program\)\r\n',
                         line)
    assert shown and shown.group(1).rstrip("\\").lower().endswith(folder.name.lower()), line


def capture_until_interrupted(folder, args, code, expected, env):
    """Runs a capture on stdout until its messages of `code` carry `expected`,
    then interrupts it: it must end normally."""
    proc = subprocess.Popen(program(folder, *args, "--stdout"), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=folder, env=env)
    try:
        got = b""
        while expected not in b"".join(p for c, p in messages(got) if c == code):
            chunk = proc.stdout.read1(4096)
            assert chunk, proc.stderr.read()
            got += chunk
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=60) == 0, proc.stderr.read()
    finally:
        if proc.poll() is None:
            proc.kill()


@pytest.mark.skipif(not shutil.which("wine"), reason="Wine")
def test_a_com_port_capture_runs_without_libusb(folder):
    line = PtyPort(wine=True)
    try:
        # Line data reaches the host once the program has the port open.
        def far_end_talks():
            assert line.wait_configured()
            line.write(b"from the far end")
        talker = threading.Thread(target=far_end_talks)
        talker.start()
        capture_until_interrupted(folder, ["--serial", line.name], 0x03, b"from the far end", clean_env())
        talker.join()
    finally:
        line.close()


@pytest.mark.skipif(not shutil.which("wine"), reason="Wine")
def test_with_a_libusb_dll_beside_it_a_serial_plim_capture_runs(folder, tmp_path):
    # The simulator's DLL stands in for the official one a user supplies.
    if not SIM_DLL:
        pytest.skip("QW_SIM_DLL not set")
    shutil.copy(SIM_DLL, folder / "libusb-1.0.dll")
    scenario = tmp_path / "bus.sim"
    scenario.write_text("device 16d0:0e26 model=serialplim\nendpoint 0x82\ntext \"hello\"\n")
    capture_until_interrupted(folder, ["--serial-plim"], 0x02, b"hello", clean_env(QWSIM_SCENARIO=str(scenario)))


@pytest.mark.skipif(not shutil.which("wine") or not shutil.which("x86_64-w64-mingw32-gcc"), reason="Wine, mingw gcc")
def test_a_libusb_dll_without_a_needed_function_is_named_with_what_it_lacks(folder, tmp_path):
    # An old libusb: everything but the event handler's interrupt (1.0.21 and on).
    functions = ["libusb_init", "libusb_exit", "libusb_get_device_list", "libusb_free_device_list",
                 "libusb_open_device_with_vid_pid", "libusb_handle_events_timeout", "libusb_handle_events"]
    source = tmp_path / "old.c"
    source.write_text("".join("__declspec(dllexport) int %s(void) { return -1; }\n" % f for f in functions))
    subprocess.run(["x86_64-w64-mingw32-gcc", "-shared", "-o", str(folder / "libusb-1.0.dll"), str(source)],
                   check=True)
    result = wine(folder, "--i2c-plim")
    assert result.returncode == 255
    assert re.fullmatch(r"error: .*\\libusb-1\.0\.dll has no function libusb_[a-z_]+: libusb 1\.0\.21 or later is "
                        r'needed; see "Windows" in the README \(WINDOWS\.txt beside the program\)\r\n',
                        result.stderr.decode(), re.IGNORECASE), result.stderr
