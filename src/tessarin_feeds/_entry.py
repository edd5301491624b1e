"""The `tessarin` command's entry point: stop signals are handled before the
command's modules (the converter, pyarrow) are imported, so that Ctrl-C at
any moment ends with status 130 and one line, never a traceback."""

from __future__ import annotations

import sys

from . import stopping


def main() -> int:
    previous = stopping.install()
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
        stopping.restore(previous)
