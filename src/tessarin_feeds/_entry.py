"""The `tessarin` command's entry point: stop signals are handled before the
command's modules (the converter, pyarrow) are imported, so that Ctrl-C at
any moment ends with status 130 and one line, never a traceback."""

from __future__ import annotations

import os
import signal
import sys

from . import stopping


def choose_arrow_pool() -> None:
    """pyarrow's Parquet writer allocates from Arrow's process-wide pool, which
    can only be chosen before pyarrow loads. With mimalloc, its default, the
    writer's short-lived page and encoder buffers stayed resident once freed:
    some 30 MB more over 1 GB of input than over 10 MB (bench/parquet_feed.py).
    The command's own process (and its workers) take jemalloc unless the user
    chose a pool; a program that imports the package keeps its own choice."""
    if "pyarrow" not in sys.modules and sys.platform == "linux":
        os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "jemalloc")


def _run() -> int:
    choose_arrow_pool()
    stopping.install()
    try:
        with stopping.deferred():
            from .cli import main as run

            stopping.checkpoint("imports")
        return run()
    except KeyboardInterrupt:
        print("tessarin: interrupted", file=sys.stderr)
        return 130
    except stopping.Terminated:
        print("tessarin: terminated", file=sys.stderr)
        return 143
    finally:
        # The run is over, its output in place or removed: a signal from here
        # to the process's end must not kill it by the default action.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)


def main() -> int:
    status = _run()
    if status >= 128:
        # A stopped run has cleaned up after itself; the interpreter's own
        # exit (joining pool threads, a KeyboardInterrupt it noted) could
        # still hang or end it by the signal instead of this status.
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
        os._exit(status)
    return status
