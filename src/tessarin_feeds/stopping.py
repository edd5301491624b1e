"""Stop signals as exceptions in the main thread, never in the middle of a
step that must be whole.

SIGINT raises KeyboardInterrupt and SIGTERM raises Terminated, as soon as
the main thread runs again: whichever thread the kernel chose (a native
thread of pyarrow, say, has none of them blocked), the interpreter runs the
handler in the main thread. Inside `deferred()` (starting the worker pool,
making the temporary output file) the signal is only noted, and raised when
the outermost such section ends. A second signal while the first is being
handled is ignored: clean-up must not be cut short. Once `settle()` is
called the run is complete and its output is being committed: a signal
then has nothing left to stop, and the command ends with the run's status.
"""

from __future__ import annotations

import contextlib
import os
import signal
import threading
from collections.abc import Iterator
from types import FrameType

__all__ = ["Terminated", "checkpoint", "deferred", "install", "restore", "settle", "stop_requested"]


class Terminated(BaseException):
    """SIGTERM, raised in the main thread like KeyboardInterrupt is for SIGINT."""


_EXCEPTIONS: dict[int, type[BaseException]] = {signal.SIGINT: KeyboardInterrupt, signal.SIGTERM: Terminated}

_depth = 0  # of nested deferred() sections
_requested: int | None = None  # the first stop signal, once one came
_raised = False
_settled = False


def _handler(signum: int, frame: FrameType | None) -> None:
    global _requested, _raised
    if _requested is not None or _settled:
        return
    _requested = signum
    if _depth == 0:
        _raised = True
        raise _EXCEPTIONS[signum]()


def install() -> dict[int, object]:
    """Handle SIGINT and SIGTERM as described; the handlers they had (none
    when ours are in place already: the entry point installed them)."""
    global _requested, _raised, _settled
    if signal.getsignal(signal.SIGINT) is _handler:
        return {}
    _requested, _raised, _settled = None, False, False
    previous: dict[int, object] = {}
    for signum in _EXCEPTIONS:
        previous[signum] = signal.getsignal(signum)
        signal.signal(signum, _handler)
    return previous


# Tests name a phase (and a signal) here: the command then signals itself
# there, from another thread, as a native thread of pyarrow would take it.
_STOP_AT = os.environ.get("TESSARIN_TEST_STOP_AT", "")


def checkpoint(phase: str) -> None:
    """A named moment of the run, where tests may send a stop signal."""
    if not _STOP_AT or _STOP_AT.split(":")[0] != phase:
        return
    signum = signal.SIGTERM if _STOP_AT.endswith(":TERM") else signal.SIGINT
    sender = threading.Thread(target=os.kill, args=(os.getpid(), signum))
    sender.start()
    sender.join()


def restore(previous: dict[int, object]) -> None:
    for signum, handler in previous.items():
        if handler is not None:
            signal.signal(signum, handler)  # type: ignore[arg-type]


def settle() -> None:
    """From here the run is done: its output is whole and about to be
    committed. Undoing the commit would lose a complete output (and the file
    it replaced), so a later stop signal is ignored."""
    global _settled
    _settled = True


def stop_requested() -> int | None:
    """The stop signal received, if any."""
    return _requested


@contextlib.contextmanager
def deferred() -> Iterator[None]:
    """A section that a stop signal does not cut: it is raised at its end."""
    global _depth, _raised
    _depth += 1
    try:
        yield
    finally:
        _depth -= 1
    if _depth == 0 and _requested is not None and not _raised:
        _raised = True
        raise _EXCEPTIONS[_requested]()
