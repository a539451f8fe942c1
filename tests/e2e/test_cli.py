"""The command line as a user meets it: help and version bytes, which mode wins,
and every rejected command line with its message and exit code."""
import pytest

from conftest import EOL

VERSION = b"Quenwick Hardware Controller v5.10.3 (amd64)\n"

HELP_TEXT = """\
General options
  -h, --help                       Display this help
  -v, --version                    Display Quenwick Hardware Controller version
  -s, --suspend                    Don't start capturing immediately
  -n, --index=<n>                  Open the attached plim #n (zero-based index)

Transport options
  --stdin                          Accept commands trom stdin
  --stdout                         Write output to stdout
  -i, --in, -f=<file>              Read from this file (write unless overriden by -o)
  -o, --out=<file>                 Write output to this file
  --qwlog                          Write output in the *.qwlog format
  -t, --tcp, --tcp-port=<port>     Start a TCP server on this port
  --np, --named-pipe=<pipe>        Start a named pipe server with this name
  --read-parallelism=<n>           Start <n> reads simultaneously; default: 8
  --read-block-size=<size>         Specify the buffer for each read; default: 8K
  --split-size=<size>              Split the output file after <size> (e.g., 10M)
  --split-time=<time>              Split the output file after <time> (e.g., 30m)

Serial options
  --serial=<COMn>                  Open the specified serial port
  --serial-plim                    Open the attached Serial Plim device
  --serial-plim-pro                Open the attached Serial Plim Pro device
  --ser-enum                       Enumerate available serial ports
  --ser-baud=<baud>                Specify serial baud rate
  --ser-data=<bits>                Specify serial data bit count (7|8)
  --ser-stop=<bits>                Specify serial stop bit count (1|15|2)
  --ser-parity=<parity>            Specify serial parity (none|even|odd|mark|space)
  --ser-flow=<flow>                Use RTS/CTS flow control (0|1)
  --ser-dtr=<dtr>                  Set serial DTR line (0|1)
  --ser-rts=<rts>                  Set serial RTS line (0|1)

I2C/SPI Plim options
  --i2c-plim                       Open the attached I2C/SPI Plim device in I2C mode
  --spi-plim                       Open the attached I2C/SPI Plim device in SPI mode
  --spi-mode=<mode>                Specify SPI mode (0|1|2|3); default: 0
  --spi-data=<bits>                Specify SPI data bits (4|8|12|16); default: 8
  --spi-little-endian              Use little-endian SPI (0|1); default: 0

Ethernet Plim options
  --ethernet-plim                  Open the attached Ethernet Plim device
  --pcap                           Output in the *.pcap format

EZ-USB options
  --vid=<vid>                      Specify VID of the device
  --pid=<pid>                      Specify PID of the device
  --ezusb=<file.iic>               Upload an EZ-USB config file

FPGA options
  --rpd, --firmware=<file.rpd>     Upload FPGA config file for upload
  --rpd-base, --fpga-base=<index>  Override FPGA config uploader base index
"""
HELP = VERSION + b"Usage: quenwick-hwc [<options>...]\n" + HELP_TEXT.replace("\n", "\r\n").encode()


# A bytes expectation is the whole stdout of a run that succeeds; a text one is the
# message of a rejected command line (exit code 255, nothing on stdout).
@pytest.mark.parametrize("args, expected", [
    ((), HELP), (("--help",), HELP), (("-h", "--version"), HELP),
    (("--version",), VERSION), (("-v", "--ser-enum"), VERSION),
    # Capture settings that validate but name no hardware: nothing to run.
    (("--stdin", "--ser-baud=9600"), HELP),
    (("--bogus",), "unknown switch --bogus"), (("-\u00e9",), "unknown switch -\u00e9"),
    (("-n",), "missing value for switch 'n'"),
    (("--ser-stop=15",), "invalid serial stop bits value"), (("--ser-parity=Even",), "invalid serial parity value"),
    (("--spi-mode=4",), "invalid SPI mode value"), (("--spi-data=10",), "invalid SPI data bit count value"),
    (("--vid=xyz",), "invalid VID"), (("--pid=10000",), "invalid PID"),
    (("--fpga-base=0",), "invalid FPGA base index"), (("-t70000",), "invalid TCP port"),
    # Values the lenient readers would quietly take as something else.
    (("--split-time", "abc"), 'invalid --split-time value "abc"'),
    (("--read-block-size", "0"), 'invalid --read-block-size value "0"'),
    # Validation runs before any mode, help included.
    (("--help", "--qwlog"), "output *.qwlog file is not specified"),
    (("--qwlog", "--tcp", "5000"), "this transport cannot be used to output *.qwlog"),
    (("--ethernet-plim", "--qwlog", "--pcap", "--out", "c.qwlog"), "--pcap and --qwlog cannot be used together"),
    (("-s", "--out", "x"), "can't start suspended without input stream"),
    (("--tcp=0",), "TCP server port name not specified"), (("--np", ""), "pipe server name not specified"),
    (("--serial", ""), "serial port name not specified"),
    (("--ezusb", "x.iic", "--vid", "16d0"), "USB VID & PID are required for uploading an EZ-USB config"),
], ids=lambda v: (" ".join(v) or "no-args") if isinstance(v, tuple) else "-")
def test_command_line(qw, args, expected):
    r = qw(*args)
    if isinstance(expected, str):
        expected = (255, b"", b"error parsing command line: " + expected.encode() + EOL)
    else:
        expected = (0, expected, b"")
    assert (r.code, r.stdout, r.stderr) == expected
