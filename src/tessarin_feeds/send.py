"""`tessarin send`: replay feeds to an MLLP receiver, one message at a time,
each one waiting for its acknowledgement.

Exit status: 0 when every message was answered AA, 1 when any was not, 2 when
the peer could not be reached (or stopped answering) after the retries, or
for a usage error.
"""

from __future__ import annotations

import argparse
import socket
import ssl
import sys
import time
from collections import Counter

from . import charsets, mllp
from .model import Message, Notice
from .reader import read_messages
from .sources import STDIN, InputError, check_paths, iter_sources
from .summary import format_notice

PROG = "tessarin"
# An answer larger than this is not an acknowledgement.
MAX_ANSWER = 1 << 20


class Unreachable(Exception):
    """The peer cannot be reached, or does not answer, after the retries."""


class Client:
    """One connection, opened again after a time-out or a drop."""

    def __init__(self, host: str, port: int, context: ssl.SSLContext | None, timeout: float, retries: int) -> None:
        self.host, self.port = host, port
        self._context = context
        self._timeout = timeout
        self._retries = retries
        self._socket: socket.socket | None = None
        self.reconnects = 0

    def _connect(self) -> socket.socket:
        raw = socket.create_connection((self.host, self.port), timeout=self._timeout)
        try:
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self._context is not None:
                return self._context.wrap_socket(raw, server_hostname=self.host)
        except BaseException:
            raw.close()
            raise
        return raw

    def exchange(self, data: bytes) -> bytes:
        """Send one framed message and return the content of the answer's frame."""
        last: Exception | None = None
        for attempt in range(self._retries + 1):
            if attempt:
                self.reconnects += 1
                time.sleep(min(0.1 * 2 ** (attempt - 1), 2.0))
            try:
                if self._socket is None:
                    self._socket = self._connect()
                self._socket.sendall(data)
                return self._answer(self._socket)
            except ssl.SSLCertVerificationError:
                self.close()
                raise
            except (OSError, EOFError) as error:  # time-outs and drops included
                last = error
                self.close()
        reason = getattr(last, "strerror", None) or str(last) or type(last).__name__
        raise Unreachable(f"cannot reach {self.host}:{self.port} after {self._retries + 1} tries: {reason}")

    def _answer(self, sock: socket.socket) -> bytes:
        reader = mllp.FrameReader(MAX_ANSWER)
        deadline = time.monotonic() + self._timeout
        while True:
            sock.settimeout(max(0.001, deadline - time.monotonic()))
            data = sock.recv(65536)
            if not data:
                raise EOFError("the connection was closed before the acknowledgement")
            frames = reader.feed(data)
            if frames:
                return frames[0].data

    def close(self) -> None:
        if self._socket is not None:
            try:
                self._socket.close()
            finally:
                self._socket = None


def encoded(message: Message) -> bytes:
    """The message's bytes in the charset it declares (UTF-8 when it declares none)."""
    data = message.text.encode("utf-8")
    if data.isascii():
        return data
    declared = charsets.declared_charset(data)
    codecs = charsets.codecs_for(declared) if declared else None
    if codecs:
        try:
            return message.text.encode(codecs[0])
        except UnicodeEncodeError:
            pass
    return data


def control_id(message: Message) -> str:
    fields = mllp.header_line(message.text.encode("utf-8"))
    return fields[9] if len(fields) > 9 else ""


def command_send(args: argparse.Namespace) -> int:
    start = time.monotonic()
    host, port = args.address
    try:
        if STDIN in args.paths and sys.stdin.isatty():
            raise InputError("standard input (-) is a terminal; pipe the messages in")
        check_paths(args.paths)
        context = None
        if args.tls_ca is not None:
            context = ssl.create_default_context(cafile=args.tls_ca)
    except (InputError, OSError, ssl.SSLError) as error:
        print(f"{PROG}: {getattr(error, 'strerror', None) or error}", file=sys.stderr)
        return 2
    client = Client(host, port, context, args.timeout, args.retries)
    codes: Counter[str] = Counter()
    notices = 0

    def notice(found: Notice) -> None:
        nonlocal notices
        if found.kind != "envelope segment":
            notices += 1
            print(format_notice(found), file=sys.stderr)

    def skip(path: str, why: str) -> None:
        print(f"{PROG}: {path}: {why}", file=sys.stderr)

    def problem(message: Message, text: str) -> None:
        print(f"{PROG}: {message.source}: message {message.index}: {text}", file=sys.stderr)

    status = 0
    try:
        for source in iter_sources(args.paths, None, skip):
            data_source = sys.stdin.buffer if source.path is None else source.path
            try:
                for message in read_messages(data_source, name=source.name, on_notice=notice):
                    if message.error is not None:
                        codes["not sent"] += 1
                        problem(message, f"not sent: {message.error}")
                        continue
                    ack = mllp.parse_ack(client.exchange(mllp.frame(encoded(message))))
                    expected = control_id(message)
                    if ack.code == "AA" and ack.control_id == expected:
                        codes["AA"] += 1
                        continue
                    if ack.code in ("AA", "AE", "AR") and ack.control_id != expected:
                        codes["wrong control id"] += 1
                        problem(message, f"{ack.code} for control id {ack.control_id!r}, not {expected!r}")
                        continue
                    codes[ack.code or "no MSA"] += 1
                    problem(message, f"{ack.code or 'answer without MSA'}: {ack.text}")
            except ssl.SSLError:
                raise  # the peer's, not the file's
            except OSError as error:
                raise InputError(f"cannot read {source.name}: {error.strerror or error}") from None
    except Unreachable as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        status = 2
    except ssl.SSLError as error:
        print(f"{PROG}: TLS with {host}:{port} failed: {error}", file=sys.stderr)
        status = 2
    except InputError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        status = 2
    finally:
        client.close()
    sent = sum(codes.values()) - codes["not sent"]
    elapsed = time.monotonic() - start
    lines = [
        f"messages sent: {sent}",
        f"accepted (AA): {codes['AA']}",
        f"application errors (AE): {codes['AE']}",
        f"rejected (AR): {codes['AR']}",
        f"other answers: {sent - codes['AA'] - codes['AE'] - codes['AR']}",
        f"not sent (unreadable): {codes['not sent']}",
        f"fragments outside messages: {notices}",
        f"reconnections: {client.reconnects}",
        f"elapsed: {elapsed:.2f} s ({sent / elapsed if elapsed > 0 else 0:,.0f} messages/s)",
    ]
    print("\n".join(lines), file=sys.stderr)
    if status:
        return status
    return 0 if codes["AA"] == sum(codes.values()) and not notices else 1
