"""`tessarin listen`: receive HL7 over MLLP, acknowledge what is safe on disk.

One asyncio loop reads every connection. Each message is converted as it
arrives, its row goes to the journal, and its acknowledgement waits until
the journal write that holds it is flushed: one flush (group commit) covers
every message that arrived meanwhile, across all connections. Closed
journal segments are rolled into output files in another thread.
"""

from __future__ import annotations

import argparse
import asyncio
import dataclasses
import functools
import os
import signal
import ssl
import sys
import time
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field

from . import mllp
from .journal import Journal, JournalError, Rolled, Segment, parquet_payload, roll
from .jsonl import encode_line
from .live_options import DEFAULT_MAX_MESSAGE, DEFAULT_ROLL_SIZE
from .model import Message, Notice
from .reader import read_messages
from .tasks import Settings, convert_message

PROG = "tessarin"
# A connection stops being read while this many of its messages wait for
# their acknowledgement, or while the peer does not read them.
MAX_IN_FLIGHT = 64


@dataclass(slots=True)
class Options:
    folder: str
    host: str = "127.0.0.1"
    port: int = 2575
    output_format: str = "jsonl"  # jsonl or parquet
    roll_size: int = DEFAULT_ROLL_SIZE
    roll_interval: float = 300.0
    settings: Settings = field(default_factory=Settings)
    sync: bool = True  # --durability fsync
    tls: ssl.SSLContext | None = None
    max_connections: int = 64
    idle_timeout: float = 600.0
    max_message_size: int = DEFAULT_MAX_MESSAGE


@dataclass(slots=True)
class Counts:
    connections: int = 0  # accepted in all
    open: int = 0
    refused_connections: int = 0
    messages: int = 0  # stored
    failed: int = 0  # stored with an error, answered AE
    rejected: int = 0  # frames answered AR
    junk: int = 0  # bytes outside frames
    notices: int = 0  # text inside a frame but outside its message
    truncated: int = 0  # connections closed inside a frame
    idle_closed: int = 0
    files: int = 0
    rows: int = 0


class _Slot:
    """One acknowledgement, sent in order once its message is durable."""

    __slots__ = ("ack", "ready")

    def __init__(self, ack: bytes, ready: bool) -> None:
        self.ack = ack
        self.ready = ready


class Committer:
    """Group commit: rows gathered while a flush runs are written and flushed
    together by the next one. Runs its callbacks on the loop."""

    def __init__(
        self, loop: asyncio.AbstractEventLoop, journal: Journal, sync: bool, on_failure: Callable[[BaseException], None]
    ) -> None:
        self._loop = loop
        self._journal = journal
        self._sync = sync
        self._on_failure = on_failure
        self._payloads: list[bytes] = []
        self._callbacks: list[Callable[[], None]] = []
        self._busy = False
        self._scheduled = False
        self._writer = ThreadPoolExecutor(1, thread_name_prefix="journal")
        self.failed: BaseException | None = None
        self.idle = asyncio.Event()
        self.idle.set()
        self.after_flush: Callable[[], None] = lambda: None

    def add(self, payload: bytes, on_durable: Callable[[], None]) -> None:
        if self.failed is not None:
            return  # never acknowledged
        self._payloads.append(payload)
        self._callbacks.append(on_durable)
        self.idle.clear()
        if not self._busy and not self._scheduled:
            # After the loop's other callbacks: what the other connections
            # read in this turn joins the same write.
            self._scheduled = True
            self._loop.call_soon(self._start)

    def _start(self) -> None:
        self._scheduled = False
        if self._busy or not self._payloads or self.failed is not None:
            return
        payloads, callbacks = self._payloads, self._callbacks
        self._payloads, self._callbacks = [], []
        if not self._sync:
            # A write to the operating system is quick: no thread hop.
            try:
                self._journal.append(payloads)
            except OSError as error:
                self._fail(error)
                return
            self._done(callbacks)
            return
        self._busy = True
        future = self._loop.run_in_executor(self._writer, self._journal.append, payloads)
        future.add_done_callback(lambda done: self._finished(done, callbacks))

    def _finished(self, future: asyncio.Future[None], callbacks: list[Callable[[], None]]) -> None:
        self._busy = False
        error = future.exception()
        if error is not None:
            self._fail(error)
            return
        self._done(callbacks)
        if self._payloads:
            self._start()

    def _done(self, callbacks: list[Callable[[], None]]) -> None:
        for callback in callbacks:
            callback()
        self.after_flush()
        if not self._payloads and not self._busy:
            self.idle.set()

    def _fail(self, error: BaseException) -> None:
        self.failed = error
        self._payloads, self._callbacks = [], []
        self.idle.set()
        self._on_failure(error)

    def run(self, work: Callable[[], object]) -> asyncio.Future[object]:
        """Run `work` in the journal's thread, after the writes before it."""
        return self._loop.run_in_executor(self._writer, work)

    def shutdown(self) -> None:
        self._writer.shutdown(wait=True)


class Connection(asyncio.Protocol):
    def __init__(self, server: Listener) -> None:
        self._server = server
        self._transport: asyncio.Transport | None = None
        self._slots: deque[_Slot] = deque()
        self._reader = mllp.FrameReader(server.options.max_message_size)
        self._index = 0
        self._paused_by_us = False
        self._peer_full = False
        self._last = time.monotonic()
        self._timer: asyncio.TimerHandle | None = None
        self.source = "mllp://?"
        self.closed = False
        self._eof = False
        self.junk = 0

    # -- the transport's callbacks

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self._transport = transport
        server = self._server
        if server.counts.open >= server.options.max_connections or server.stopping:
            server.counts.refused_connections += 1
            self.closed = True
            transport.abort()
            return
        server.counts.connections += 1
        server.counts.open += 1
        server.connections.add(self)
        peer = transport.get_extra_info("peername") or ("?", 0)
        host = f"[{peer[0]}]" if ":" in str(peer[0]) else str(peer[0])
        self.source = f"mllp://{host}:{peer[1]}"
        self._schedule_idle_check(server.options.idle_timeout)

    def data_received(self, data: bytes) -> None:
        self._last = time.monotonic()
        frames = self._reader.feed(data)
        for frame in frames:
            self._take(frame)
        if self._reader.junk:
            self.junk += self._reader.junk
            self._server.counts.junk += self._reader.junk
            self._reader.junk = 0
        self._pace()

    def eof_received(self) -> bool | None:
        # A peer that is done sending still gets the answers it waits for.
        self._eof = True
        return bool(self._slots)

    def connection_lost(self, error: Exception | None) -> None:
        if self.closed:
            return
        self.closed = True
        server = self._server
        server.counts.open -= 1
        server.connections.discard(self)
        if self._reader.in_frame:
            server.counts.truncated += 1
            server.report(f"{self.source}: the connection closed inside a frame; its bytes were not stored")
        if self.junk:
            server.report(f"{self.source}: {self.junk} bytes outside frames were discarded")
        if self._timer is not None:
            self._timer.cancel()

    def pause_writing(self) -> None:
        self._peer_full = True
        self._pace()

    def resume_writing(self) -> None:
        self._peer_full = False
        self._pace()

    # -- messages

    def _take(self, frame: mllp.Frame) -> None:
        server = self._server
        if frame.oversized:
            server.counts.rejected += 1
            text = f"frame of {frame.size} bytes is larger than the limit of {self._reader.max_size} bytes"
            self._slots.append(_Slot(mllp.build_ack(frame.data, "AR", text), True))
            self._send_ready()
            return
        messages = list(
            read_messages(frame.data, name=self.source, max_message_size=self._reader.max_size, on_notice=server.notice)
        )
        if not messages:
            server.counts.rejected += 1
            self._slots.append(_Slot(mllp.build_ack(frame.data, "AR", "no HL7 message in the frame"), True))
            self._send_ready()
            return
        for found in messages:
            message = dataclasses.replace(found, index=self._index, offset=frame.offset + found.offset)
            self._index += 1
            payload, error = server.row(message)
            raw = frame.data if len(messages) == 1 else message.text.encode("utf-8")
            slot = _Slot(mllp.build_ack(raw, "AA" if error is None else "AE", error), False)
            self._slots.append(slot)
            server.counts.messages += 1
            if error is not None:
                server.counts.failed += 1
            server.committer.add(payload, functools.partial(self._durable, slot))

    def _durable(self, slot: _Slot) -> None:
        slot.ready = True
        self._send_ready()
        self._pace()

    def _send_ready(self) -> None:
        slots = self._slots
        if not slots or not slots[0].ready:
            return
        acks = []
        while slots and slots[0].ready:
            acks.append(mllp.frame(slots.popleft().ack))
        if not self.closed and self._transport is not None:
            self._transport.write(b"".join(acks))
            if self._eof and not slots:
                self._transport.close()

    def _pace(self) -> None:
        """Stop reading a peer that sends faster than it is answered or reads the answers."""
        if self.closed or self._transport is None:
            return
        stop = len(self._slots) >= MAX_IN_FLIGHT or self._peer_full or self._server.stopping
        if stop and not self._paused_by_us:
            self._paused_by_us = True
            self._transport.pause_reading()
        elif not stop and self._paused_by_us:
            self._paused_by_us = False
            self._transport.resume_reading()

    @property
    def waiting(self) -> int:
        return len(self._slots)

    def close(self) -> None:
        if self._transport is not None and not self.closed:
            self._transport.close()

    def abort(self) -> None:
        if self._transport is not None and not self.closed:
            self._transport.abort()

    def _schedule_idle_check(self, delay: float) -> None:
        self._timer = asyncio.get_running_loop().call_later(delay, self._idle_check)

    def _idle_check(self) -> None:
        if self.closed:
            return
        timeout = self._server.options.idle_timeout
        quiet = time.monotonic() - self._last
        if quiet >= timeout and not self._slots:
            self._server.counts.idle_closed += 1
            # A peer that reads none of its answers would hold a closing connection open.
            if self._peer_full:
                self.abort()
            else:
                self.close()
            return
        self._schedule_idle_check(max(0.05, timeout - quiet))


class Listener:
    def __init__(self, options: Options) -> None:
        self.options = options
        self.counts = Counts()
        self.connections: set[Connection] = set()
        self.stopping = False
        header = {
            "format": options.output_format,
            "validate": options.settings.validate,
            "strict": options.settings.strict,
            "escaping": options.settings.escaping,
        }
        self.journal = Journal(options.folder, header, options.sync)
        self._roller = ThreadPoolExecutor(1, thread_name_prefix="roll")
        self._rolling: list[Future[Rolled]] = []
        self.failure: BaseException | None = None
        self._rotating = False
        self.status_shown = False  # a status line is on the terminal
        self._stopped: asyncio.Event | None = None
        self.committer: Committer  # made in serve(), on the loop

    def report(self, line: str) -> None:
        """A line about one connection, on standard error."""
        clear = "\r\x1b[K" if self.status_shown else ""
        sys.stderr.write(f"{clear}{PROG}: {line}\n")
        sys.stderr.flush()

    def notice(self, notice: Notice) -> None:
        if notice.kind != "envelope segment":
            self.counts.notices += 1

    def row(self, message: Message) -> tuple[bytes, str | None]:
        """The journal payload of a message, and its error."""
        converted = convert_message(message, self.options.settings)
        if self.options.output_format == "parquet":
            return parquet_payload(message), converted.error
        return encode_line(message, converted.records, converted.error), converted.error

    def recover(self) -> None:
        """Complete what a previous run left in the journal, before listening."""
        for segment in self.journal.leftovers():
            self._count(roll(segment, self.options.folder))

    def _count(self, rolled: Rolled) -> None:
        if rolled.path is not None:
            self.counts.files += 1
            self.counts.rows += rolled.rows

    def _roll_later(self, segment: Segment | None) -> None:
        if segment is not None:
            self._rolling.append(self._roller.submit(roll, segment, self.options.folder))

    def _reap(self) -> None:
        done = [future for future in self._rolling if future.done()]
        for future in done:
            self._rolling.remove(future)
            error = future.exception()
            if error is not None:
                self._fail(error)
            else:
                self._count(future.result())

    def _check_roll(self) -> None:
        journal = self.journal
        if self._rotating or not journal.size:
            return
        if journal.size >= self.options.roll_size or time.monotonic() - journal.opened_at >= self.options.roll_interval:
            if self.options.sync:
                # In the journal's thread, after the writes queued before it.
                self._rotating = True
                self.committer.run(self._rotate).add_done_callback(self._rotated)
            else:
                self._roll_later(journal.rotate())

    def _rotate(self) -> None:
        # Handed to the roller from the journal's thread: the loop may be
        # shutting down and run no more callbacks.
        self._roll_later(self.journal.rotate())

    def _rotated(self, future: asyncio.Future[object]) -> None:
        self._rotating = False
        if future.exception() is not None:
            self._fail(future.exception())  # type: ignore[arg-type]

    def _fail(self, error: BaseException) -> None:
        if self.failure is None:
            self.failure = error
        self.stop()

    def stop(self) -> None:
        self.stopping = True
        if self._stopped is not None:
            self._stopped.set()

    async def serve(self, on_listening: Callable[[str], None], status: Callable[[Counts, float], None] | None) -> None:
        loop = asyncio.get_running_loop()
        self._stopped = asyncio.Event()
        if self.stopping:
            self._stopped.set()
        self.committer = Committer(loop, self.journal, self.options.sync, self._fail)
        self.committer.after_flush = self._check_roll
        loop.set_exception_handler(self._loop_error)
        server = await loop.create_server(
            lambda: Connection(self),
            self.options.host,
            self.options.port,
            ssl=self.options.tls,
            ssl_handshake_timeout=min(self.options.idle_timeout, 60.0) if self.options.tls else None,
            reuse_address=True,
            backlog=max(128, self.options.max_connections),
        )
        address = server.sockets[0].getsockname()
        host = f"[{address[0]}]" if ":" in address[0] else address[0]
        on_listening(f"{host}:{address[1]}")
        started = time.monotonic()
        try:
            while not self._stopped.is_set():
                try:
                    await asyncio.wait_for(self._stopped.wait(), 1.0)
                except TimeoutError:
                    pass
                self._reap()
                self._check_roll()
                if status is not None:
                    status(self.counts, time.monotonic() - started)
        finally:
            server.close()
            await self._drain()
            self.committer.shutdown()
            self._roll_later(self.journal.rotate())
            for future in self._rolling:
                try:
                    self._count(future.result())
                except Exception as error:  # reported as the run's failure
                    self.failure = self.failure or error
            self._roller.shutdown(wait=True)
            self.journal.close()

    async def _drain(self) -> None:
        """Stop reading, answer what is in flight, close the connections."""
        for connection in list(self.connections):
            connection._pace()
        deadline = time.monotonic() + 10.0
        while self.committer.failed is None and time.monotonic() < deadline:
            if self.committer.idle.is_set() and not any(c.waiting for c in self.connections):
                break
            await asyncio.sleep(0.01)
        for connection in list(self.connections):
            connection.close()
        # A peer that reads no more would hold its connection open: give up on it.
        deadline = time.monotonic() + 2.0
        while self.connections and time.monotonic() < deadline:
            await asyncio.sleep(0.01)
        for connection in list(self.connections):
            connection.abort()

    def _loop_error(self, loop: asyncio.AbstractEventLoop, context: dict[str, object]) -> None:
        # A peer's failed TLS handshake or reset is its problem, not ours.
        error = context.get("exception")
        if isinstance(error, (ssl.SSLError, ConnectionError, TimeoutError, OSError)):
            self.counts.refused_connections += 1
            return
        loop.default_exception_handler(context)


# -- the command --------------------------------------------------------------------


class _Refused(Exception):
    pass


def _tls_context(args: argparse.Namespace) -> ssl.SSLContext | None:
    if args.tls_cert is None and args.tls_key is None:
        if args.tls_client_ca is not None:
            raise _Refused("--tls-client-ca needs --tls-cert and --tls-key")
        return None
    if args.tls_cert is None or args.tls_key is None:
        raise _Refused("TLS needs both --tls-cert and --tls-key")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    try:
        context.load_cert_chain(args.tls_cert, args.tls_key)
        if args.tls_client_ca is not None:
            context.load_verify_locations(args.tls_client_ca)
            context.verify_mode = ssl.CERT_REQUIRED
    except (OSError, ssl.SSLError) as error:
        raise _Refused(f"cannot use the TLS files: {getattr(error, 'strerror', None) or error}") from None
    return context


def options_from(args: argparse.Namespace) -> Options:
    settings = Settings(
        action="convert",
        output_format=args.format,
        validate=args.validate or args.strict,
        strict=args.strict,
        escaping=not args.no_escaping,
        max_message_size=args.max_message_size,
    )
    return Options(
        folder=args.output,
        host=args.host,
        port=args.port,
        output_format=args.format,
        roll_size=args.roll_size,
        roll_interval=args.roll_interval,
        settings=settings,
        sync=args.durability == "fsync",
        tls=_tls_context(args),
        max_connections=args.max_connections,
        idle_timeout=args.idle_timeout,
        max_message_size=args.max_message_size,
    )


def _status_line(counts: Counts, elapsed: float, last: list[float]) -> None:
    rate = (counts.messages - last[0]) / max(elapsed - last[1], 1e-9)
    last[:] = [counts.messages, elapsed]
    line = (
        f"connections: {counts.open}  messages: {counts.messages}  failed: {counts.failed}"
        f"  rejected: {counts.rejected}  {rate:,.0f} messages/s"
    )
    sys.stderr.write(f"\r{line}\x1b[K")
    sys.stderr.flush()


def summary(counts: Counts, elapsed: float) -> str:
    return "\n".join(
        [
            f"connections: {counts.connections}",
            f"connections refused: {counts.refused_connections}",
            f"messages stored: {counts.messages}",
            f"failed messages (answered AE): {counts.failed}",
            f"frames rejected (answered AR): {counts.rejected}",
            f"bytes outside frames: {counts.junk}",
            f"fragments inside frames outside messages: {counts.notices}",
            f"connections closed inside a frame: {counts.truncated}",
            f"idle connections closed: {counts.idle_closed}",
            f"files written: {counts.files} ({counts.rows} rows)",
            f"elapsed: {elapsed:.2f} s",
        ]
    )


def command_listen(args: argparse.Namespace) -> int:
    start = time.monotonic()
    try:
        if args.format == "parquet":
            try:
                from . import parquet  # noqa: F401
            except ImportError as error:
                raise _Refused(str(error)) from None
        options = options_from(args)
        os.makedirs(options.folder, exist_ok=True)
        listener = Listener(options)
        listener.recover()
    except (_Refused, JournalError) as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"{PROG}: cannot write {args.output}: {error.strerror or error}", file=sys.stderr)
        return 2

    def on_listening(address: str) -> None:
        print(f"listening on {address}", file=sys.stderr, flush=True)

    last = [0.0, 0.0]
    status = (lambda counts, elapsed: _status_line(counts, elapsed, last)) if sys.stderr.isatty() else None
    listener.status_shown = status is not None
    previous = {sig: signal.getsignal(sig) for sig in (signal.SIGINT, signal.SIGTERM)}

    async def run() -> None:
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, listener.stop)
        await listener.serve(on_listening, status)

    try:
        asyncio.run(run())
    except OSError as error:
        listener.journal.close()
        print(f"{PROG}: cannot listen on {args.host}:{args.port}: {error.strerror or error}", file=sys.stderr)
        return 2
    finally:
        for sig, handler in previous.items():
            if handler is not None:
                signal.signal(sig, handler)
    if status is not None:
        sys.stderr.write("\r\x1b[K")
    print(summary(listener.counts, time.monotonic() - start), file=sys.stderr)
    failure = listener.failure
    if failure is not None:
        reason = failure.strerror if isinstance(failure, OSError) and failure.strerror else str(failure)
        print(f"{PROG}: cannot write {args.output}: {reason}", file=sys.stderr)
        return 2
    return 0
