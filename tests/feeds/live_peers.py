"""Helpers for the live-feed tests: a `tessarin listen` process and a plain
MLLP client. Everything stays on loopback, and every wait has a deadline."""

from __future__ import annotations

import os
import pathlib
import queue
import signal
import socket
import subprocess
import sys
import threading
import time

from tessarin_feeds import mllp

ROOT = pathlib.Path(__file__).resolve().parents[2]
COMMAND = [sys.executable, "-m", "tessarin_feeds"]
HEADER = "MSH|^~\\&|LAB|HOSP|EHR|WARD|20240301120000||{kind}|{id}|P|2.5.1"


def message(control_id: str, kind: str = "ORU^R01^ORU_R01", value: str = "1") -> str:
    return "\r".join(
        [
            HEADER.format(kind=kind, id=control_id),
            f"PID|1||{control_id}^^^HOSP^MR||DOE^JANE",
            f"OBX|1|NM|GLU||{value}|mg/dL",
        ]
    )


class Listener:
    """`tessarin listen` in a child process, its standard error read in a thread."""

    def __init__(self, folder: pathlib.Path, *options: str, host: str = "127.0.0.1") -> None:
        self.folder = folder
        self.process = subprocess.Popen(
            [*COMMAND, "listen", "-o", str(folder), "--host", host, "--port", "0", *options],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            cwd=ROOT,
        )
        self.lines: queue.Queue[str] = queue.Queue()
        self.stderr: list[str] = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        deadline = time.monotonic() + 30
        while True:
            line = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            if line.startswith("listening on "):
                address = line.removeprefix("listening on ").strip()
                host_part, _, port = address.rpartition(":")
                self.host, self.port = host_part.strip("[]"), int(port)
                return

    def _read(self) -> None:
        assert self.process.stderr is not None
        for raw in self.process.stderr:
            line = raw.decode("utf-8", "replace")
            self.stderr.append(line)
            self.lines.put(line)

    def connect(self, timeout: float = 10.0) -> socket.socket:
        return socket.create_connection((self.host, self.port), timeout=timeout)

    def stop(self, sig: int = signal.SIGTERM) -> int:
        self.process.send_signal(sig)
        status = self.process.wait(timeout=60)
        self._reader.join(timeout=10)  # the pipe ends with the process
        self._close_pipe()
        return status

    def _close_pipe(self) -> None:
        if self.process.stderr is not None and not self._reader.is_alive():
            self.process.stderr.close()

    def kill(self) -> None:
        os.kill(self.process.pid, signal.SIGKILL)
        self.process.wait(timeout=30)
        self._reader.join(timeout=10)
        self._close_pipe()

    def summary(self) -> dict[str, int]:
        found = {}
        for line in self.stderr:
            name, _, value = line.partition(": ")
            number = value.split(" ")[0].strip()
            if number.isdigit():
                found[name] = int(number)
        return found


def exchange(sock: socket.socket, data: bytes, framed: bool = True) -> bytes:
    """Send a message (framed unless told) and return its acknowledgement's content."""
    sock.sendall(mllp.frame(data) if framed else data)
    return read_answer(sock)


def read_answer(sock: socket.socket) -> bytes:
    reader = mllp.FrameReader(1 << 20)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        data = sock.recv(65536)
        if not data:
            raise ConnectionError("closed before the acknowledgement")
        frames = reader.feed(data)
        if frames:
            return frames[0].data
    raise TimeoutError("no acknowledgement")


def closed_by_peer(sock: socket.socket, within: float = 10.0) -> bool:
    """Whether the peer closes the connection within `within` seconds."""
    sock.settimeout(within)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except TimeoutError:
        return False
