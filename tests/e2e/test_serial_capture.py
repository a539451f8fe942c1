"""Serial captures end to end: the program on one side of a pty pair (a COM port
mapped onto it under Wine), the test playing the far end of the line and the host."""
import os
import socket
import struct
import tempfile
import time

import pytest

from conftest import PLATFORM, frame, free_tcp_port, parse_messages
from ptyport import PtyPort

DATA, ERROR, DONE, MODEM = 0x03, 0x20, 0x00, 0x22
BREAK, TRANSMIT, LINE_SETTINGS = 0x26, 0x28, 0x27
WINE = PLATFORM == "win32"
EOL = b"\r\n" if WINE else b"\n"


@pytest.fixture
def line():
    port = PtyPort(wine=WINE)
    yield port
    port.close()


def data_of(messages):
    return b"".join(p for c, p in messages if c == DATA)


def error_records(messages):
    return [p for c, p in messages if c == ERROR]


def test_received_bytes_arrive_in_order_and_a_hang_up_ends_the_capture(background, line):
    # Wine's COM ports move bytes through more layers; a smaller block keeps the run short.
    block = bytes((i * 7 + i // 251) & 0xFF for i in range((1 << 20) if not WINE else (1 << 17)))
    qw = background("--serial", line.name)
    assert line.wait_configured()
    started = time.monotonic()
    line.write(block)
    messages = qw.wait_output(lambda m: len(data_of(m)) >= len(block), timeout=60)
    elapsed = time.monotonic() - started
    assert data_of(messages) == block
    print("%d KiB through the line in %.2f s" % (len(block) >> 10, elapsed))

    line.hang_up()
    code, stderr = qw.finish()
    messages = qw.messages()
    assert len(error_records(messages)) == 1
    assert messages[-1][0] == ERROR
    # The capture failed, and the program says so.
    assert code == 255
    assert stderr.startswith(b"error: ") and stderr.endswith(EOL)


def test_transmit_commands_from_stdin_leave_in_order(background, line):
    qw = background("--serial", line.name, "--stdin")
    assert line.wait_configured()
    for piece in (b"first ", b"second ", b"third"):
        qw.send(frame(TRANSMIT, piece))
    assert line.read_until(b"third").endswith(b"first second third")
    qw.close_stdin()  # the end of the command input ends the session
    code, stderr = qw.finish()
    assert (code, stderr) == (0, b"")
    # Replies go back to the command input, which is read-only here: none reaches stdout.
    assert [c for c, _ in qw.messages() if c in (DONE, ERROR)] == []


def test_commands_from_a_file_are_carried_out(background, line, tmp_path):
    commands = tmp_path / "commands.bin"
    output = tmp_path / "capture.bin"
    settings = struct.pack("<IBBBB", 115200, 8, 0, 0, 0)
    commands.write_bytes(b"\xff\x00" + frame(LINE_SETTINGS, settings))
    qw = background("--serial", line.name, "--in", str(commands), "--out", str(output))
    code, stderr = qw.finish()
    assert (code, stderr) == (0, b"")
    assert line.speed() == 115200
    assert error_records(parse_messages(output.read_bytes())) == []


def tcp_connect(port, timeout=20):
    deadline = time.monotonic() + timeout
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=10)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def receive_messages(sock, predicate, timeout=20):
    data = b""
    deadline = time.monotonic() + timeout
    while not predicate(parse_messages(data)) and time.monotonic() < deadline:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            break
        if not chunk:
            break
        data += chunk
    return parse_messages(data)


def test_tcp_clients_each_get_a_fresh_session_with_replies_on_the_connection(background, line):
    port = free_tcp_port()
    qw = background("--serial", line.name, "--tcp", str(port))
    for client in range(2):
        with tcp_connect(port) as host:
            # A command that does nothing: its reply says the session has the port open.
            host.sendall(frame(BREAK))
            assert receive_messages(host, lambda m: (DONE, b"") in m) == [(DONE, b"")]
            line.write(b"hello %d" % client)
            got = receive_messages(host, lambda m: data_of(m).endswith(b"hello %d" % client))
            assert data_of(got).endswith(b"hello %d" % client)

            host.sendall(frame(TRANSMIT, b"reply %d" % client) + frame(0x7E))
            got = receive_messages(host, lambda m: len([c for c, _ in m if c in (DONE, ERROR)]) >= 2)
            replies = [(c, p) for c, p in got if c in (DONE, ERROR)]
            assert replies[0] == (DONE, b"")
            # An unknown command: the Windows "invalid parameter" record.
            assert replies[1][0] == ERROR
            size, code = struct.unpack_from("<I", replies[1][1])[0], struct.unpack_from("<I", replies[1][1], 20)[0]
            assert (size, code, len(replies[1][1])) == (24, 87, 24)
            assert line.read_until(b"reply %d" % client).endswith(b"reply %d" % client)

            # Replies are two writes (header, record); neither may wait for the
            # host's delayed ACK, which costs about 40 ms a reply.
            begin = time.monotonic()
            for _ in range(20):
                host.sendall(frame(0x7E))
                assert len(receive_messages(host, lambda m: len(m) == 1)) == 1
            assert time.monotonic() - begin < 0.5
        # The disconnect ends the session; the port is closed until the next client.
    assert qw.proc.poll() is None  # the server serves for ever


@pytest.mark.skipif(WINE, reason="Wine's named pipes are reachable only from Windows programs")
def test_pipe_server_serves_a_local_socket(background, line):
    with tempfile.TemporaryDirectory() as runtime:
        qw = background("--serial", line.name, "--np", "QwCapture", env={"XDG_RUNTIME_DIR": runtime})
        path = os.path.join(runtime, "qwcapture")  # the name is lower-cased
        deadline = time.monotonic() + 20
        while not os.path.exists(path) and time.monotonic() < deadline:
            time.sleep(0.05)
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as host:
            host.connect(path)
            assert line.wait_configured()
            host.sendall(frame(TRANSMIT, b"over the pipe"))
            got = receive_messages(host, lambda m: any(c == DONE for c, _ in m))
            assert (DONE, b"") in got
            assert line.read_until(b"over the pipe").endswith(b"over the pipe")
            line.write(b"back")
            got = receive_messages(host, lambda m: data_of(m) == b"back")
            assert data_of(got) == b"back"
        assert qw.proc.poll() is None


def test_serial_port_listing_always_succeeds(qw):
    result = qw("--ser-enum")
    assert (result.code, result.stderr) == (0, b"")
    for entry in result.stdout.split(b"\n")[:-1]:
        assert b"\r" not in entry
