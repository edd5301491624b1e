"""`tessarin send`: against a python-hl7 server, a misbehaving peer, and `tessarin listen`."""

from __future__ import annotations

import asyncio
import pathlib
import socket
import subprocess
import threading

import pytest

from tessarin_feeds import mllp

from conftest import needs_command, needs_peer
from live_peers import COMMAND, ROOT, message, read_answer

# python-hl7's create_ack calls datetime.utcnow(), deprecated from 3.12 on.
pytestmark = [needs_command, pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning")]


def tessarin_send(*args: str, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    return subprocess.run([*COMMAND, "send", *args], capture_output=True, text=True, cwd=ROOT, timeout=timeout)


class PythonHl7Server:
    """A python-hl7 asyncio server in a thread: answers AE to control ids in
    `errors`, AA to the rest, and keeps what it received."""

    def __init__(self, errors: set[str], wrong_id: bool = False) -> None:
        self.hl7 = needs_peer("hl7", "python-hl7")
        self.mllp = needs_peer("hl7.mllp", "python-hl7")
        self.errors = errors
        self.wrong_id = wrong_id
        self.received: list[str] = []
        self.loop = asyncio.new_event_loop()
        ready = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(ready,), daemon=True)
        self.thread.start()
        assert ready.wait(30)

    def _run(self, ready: threading.Event) -> None:
        asyncio.set_event_loop(self.loop)

        async def answer(reader, writer) -> None:
            try:
                while not writer.is_closing():
                    received = await reader.readmessage()
                    self.received.append(str(received))
                    control_id = str(received.segment("MSH")[10])
                    code = "AE" if control_id in self.errors else "AA"
                    ack = received.create_ack(code)
                    if self.wrong_id:
                        ack.segment("MSA")[2] = "NOT-" + control_id
                    if code == "AE":
                        ack = self.hl7.parse(f"{ack}\rERR|||207|E||||bad {control_id}")
                    writer.writemessage(ack)
                    await writer.drain()
            except asyncio.IncompleteReadError:
                pass
            finally:
                writer.close()

        async def start() -> None:
            self.server = await self.mllp.start_hl7_server(answer, "127.0.0.1", 0, encoding="utf-8")
            self.port = self.server.sockets[0].getsockname()[1]
            ready.set()

        self.loop.run_until_complete(start())
        self.loop.run_forever()

    def close(self) -> None:
        self.loop.call_soon_threadsafe(self.server.close)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(timeout=30)
        if not self.thread.is_alive():
            self.loop.close()


@pytest.fixture
def feed(tmp_path: pathlib.Path) -> pathlib.Path:
    folder = tmp_path / "feed"
    folder.mkdir()
    (folder / "a.hl7").write_text("\r\n".join(message(f"A{n}") for n in range(3)))
    (folder / "b.hl7").write_bytes(b"\x0b" + message("B0", value="caf\u00e9").encode() + b"\x1c\r")
    return folder


@pytest.mark.parametrize("errors, status", [(set(), 0), ({"A1", "B0"}, 1)])
def test_send_to_python_hl7_server(feed, errors, status):
    server = PythonHl7Server(errors)
    try:
        result = tessarin_send(f"127.0.0.1:{server.port}", str(feed / "a.hl7"), str(feed / "b.hl7"))
    finally:
        server.close()
    assert result.returncode == status, result.stderr
    sent = [message(f"A{n}") for n in range(3)] + [message("B0", value="caf\u00e9")]
    assert [text.rstrip("\r") for text in server.received] == sent
    reported = sorted(
        line.split(": message")[0] + line.split(": message")[1][:2]
        for line in result.stderr.splitlines()
        if ": AE: " in line
    )
    assert reported == sorted(
        {"A1": f"tessarin: {feed / 'a.hl7'} 1", "B0": f"tessarin: {feed / 'b.hl7'} 0"}[control_id]
        for control_id in errors
    )
    assert all(f"AE: bad {control_id}" in result.stderr for control_id in errors)
    assert f"accepted (AA): {4 - len(errors)}" in result.stderr


def test_unreachable_peer_exits_2(feed):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    result = tessarin_send(f"127.0.0.1:{port}", str(feed), "--retries", "1", "--timeout", "2")
    assert result.returncode == 2
    assert f"cannot reach 127.0.0.1:{port} after 2 tries" in result.stderr
    assert "messages sent: 0" in result.stderr


@pytest.mark.parametrize("fault", ["drop", "silence"])
def test_send_again_after_a_drop_or_a_time_out(feed, fault):
    """A peer that fails the first message once: the message is sent again and delivered."""
    server = socket.create_server(("127.0.0.1", 0))
    server.settimeout(30)
    port = server.getsockname()[1]
    received: list[bytes] = []

    done = threading.Event()

    def handle(sock: socket.socket, first: bool) -> None:
        with sock:
            sock.settimeout(30)
            try:
                while True:
                    data = read_answer(sock)
                    received.append(data)
                    if first:
                        if fault == "silence":
                            done.wait(30)  # the sender gives up on this one first
                        return
                    sock.sendall(mllp.frame(mllp.build_ack(data, "AA")))
            except (ConnectionError, OSError):
                return

    def serve() -> None:
        for number in range(2):
            sock, _ = server.accept()
            threading.Thread(target=handle, args=(sock, number == 0), daemon=True).start()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    result = tessarin_send(f"127.0.0.1:{port}", str(feed / "a.hl7"), "--timeout", "1", "--retries", "2")
    done.set()
    thread.join(timeout=30)
    server.close()
    assert result.returncode == 0, result.stderr
    assert [mllp.header_line(data)[9] for data in received] == ["A0", "A0", "A1", "A2"]
    assert "reconnections: 1" in result.stderr
