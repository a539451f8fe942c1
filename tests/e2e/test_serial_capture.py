"""Serial captures end to end: the program on one side of a pty pair (a COM port
mapped onto it under Wine), the test playing the far end of the line and the host."""
import socket
import struct

from conftest import EOL, WINE, connect, data_of, frame, free_tcp_port, parse_messages, receive

ERROR, DONE, TRANSMIT, LINE_SETTINGS = 0x20, 0x00, 0x28, 0x27


def replies(messages):
    return [(c, p) for c, p in messages if c in (DONE, ERROR)]


def test_received_bytes_arrive_in_order_and_a_hang_up_ends_the_capture(background, line):
    # Wine's COM ports move bytes through more layers; a smaller block keeps the run short.
    block = bytes((i * 7 + i // 251) & 0xFF for i in range((1 << 20) if not WINE else (1 << 17)))
    qw = background("--serial", line.name)
    assert line.wait_configured()
    line.write(block)
    assert data_of(qw.wait_output(lambda m: len(data_of(m)) >= len(block), timeout=60)) == block
    line.hang_up()
    code, stderr = qw.finish()
    # The capture failed, and the program says so: one error record, last.
    assert [c for c, _ in qw.messages() if c == ERROR] == [ERROR] and qw.messages()[-1][0] == ERROR
    assert code == 255 and stderr.startswith(b"error: ") and stderr.endswith(EOL)


def test_commands_from_a_file_are_carried_out(background, line, tmp_path):
    commands, output = tmp_path / "commands.bin", tmp_path / "capture.bin"
    commands.write_bytes(b"\xff\x00" + frame(LINE_SETTINGS, struct.pack("<IBBBB", 115200, 8, 0, 0, 0)))
    qw = background("--serial", line.name, "--in", str(commands), "--out", str(output))
    assert qw.finish() == (0, b"")
    assert line.speed() == 115200
    assert replies(parse_messages(output.read_bytes())) == []


def test_tcp_clients_each_get_a_fresh_session_with_replies_on_the_connection(background, line):
    port = free_tcp_port()
    qw = background("--serial", line.name, "--tcp", str(port))
    for client in range(2):
        with connect(socket.AF_INET, ("127.0.0.1", port)) as host:
            # A transmit, then an unknown command: the Windows "invalid parameter" record.
            host.sendall(frame(TRANSMIT, b"reply %d" % client) + frame(0x7E))
            (done, error) = replies(receive(host, lambda m: len(replies(m)) >= 2))
            assert done == (DONE, b"") and error[0] == ERROR
            assert struct.unpack("<I16xI", error[1]) == (24, 87)
            assert line.read_until(b"reply %d" % client).endswith(b"reply %d" % client)
            # The session has the port open: what the line receives reaches this client.
            line.write(b"hello %d" % client)
            got = receive(host, lambda m: data_of(m).endswith(b"hello %d" % client))
            assert data_of(got).endswith(b"hello %d" % client)

            # Each failed command has its reply (how fast, over TCP, is measured
            # by bench/measure_latency.py).
            for _ in range(20):
                host.sendall(frame(0x7E))
                assert len(receive(host, lambda m: len(m) == 1)) == 1
        # The disconnect ends the session; the port is closed until the next client.
    assert qw.proc.poll() is None  # the server serves for ever


def test_serial_port_listing_always_succeeds(qw):
    result = qw("--ser-enum")
    assert (result.code, result.stderr) == (0, b"")
    assert b"\r" not in result.stdout
