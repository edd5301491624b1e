"""Where a run's rows go: what every output does, the command's output file
(written under a temporary name, renamed when complete) and the guard that
turns its write errors into one line of the command's."""

from __future__ import annotations

import os
import stat
import sys
import tempfile
from typing import Any, BinaryIO, NoReturn, Protocol

__all__ = ["Output", "OutputBase", "OutputError", "OutputFile", "GuardedOutput"]


class Output(Protocol):
    """What a run writes to: encoded batches (bytes of JSON Lines or of a
    report, or Arrow record batches), in input order."""

    def write(self, batch: Any, /) -> None: ...

    def write_from(self, fd: int, size: int) -> None:
        """Append `size` bytes that a worker spooled to file descriptor `fd` (read from its start)."""
        ...

    def direct_fd(self) -> int | None:
        """A file descriptor workers may write to themselves, all written so far flushed to it; or None."""
        ...

    def write_failed(self, error: OSError) -> NoReturn:
        """Raise a write error met here or in a worker as this output's own."""
        ...

    def abort(self) -> None:
        """Give up after a failure: write nothing more, not even a footer."""
        ...

    def close(self) -> None: ...


class OutputBase:
    """The defaults of an output that only writes batches."""

    def write(self, batch: Any, /) -> None:
        raise NotImplementedError

    def write_from(self, fd: int, size: int) -> None:
        self.write(os.pread(fd, size, 0))

    def direct_fd(self) -> int | None:
        return None

    def write_failed(self, error: OSError) -> NoReturn:
        raise error

    def abort(self) -> None:
        pass

    def close(self) -> None:
        pass


class OutputError(Exception):
    """An output that cannot be written: status 2."""


class OutputFile:
    """Standard output, or a file written under a temporary name in the same
    folder and renamed to its own only by commit(). A device or a pipe (such
    as /dev/null) is written as it is: renaming over it would replace it."""

    def __init__(self, path: str | None) -> None:
        self.path = path
        self._temp: str | None = None
        if path is None:
            self.stream: BinaryIO = sys.stdout.buffer
            return
        if os.path.isdir(path):
            raise OutputError(f"cannot write {path}: it is a folder")
        try:
            mode = os.stat(path).st_mode
        except OSError:
            mode = None  # a new file
        if mode is not None and not stat.S_ISREG(mode):
            try:
                self.stream = open(path, "wb", buffering=1 << 20)
            except OSError as error:
                raise OutputError(f"cannot write {path}: {error.strerror or error}") from None
            return
        # Through a symbolic link, the file it names is replaced, not the link.
        folder, name = os.path.split(os.path.realpath(path))
        self._target = os.path.join(folder, name)
        try:
            fd, self._temp = tempfile.mkstemp(dir=folder or ".", prefix=f".{_shortened(name)}.", suffix=".part")
        except OSError as error:
            raise OutputError(f"cannot write {path}: {error.strerror or error}") from None
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)  # mkstemp's 0600 is for the temporary name only
        self.stream = os.fdopen(fd, "wb", buffering=1 << 20)

    def commit(self) -> None:
        try:
            self.stream.flush()
            if self._temp is None or self.path is None:
                return
            self.stream.close()
            os.replace(self._temp, self._target)
            self._temp = None
        except OSError as error:
            raise OutputError(f"cannot write {self.path or 'standard output'}: {error.strerror or error}") from None

    def discard(self) -> None:
        """Give up the output after a failure. A stream whose writes failed
        is closed here, dropping what it still buffers: left to the
        interpreter's exit, that would be written again and its error shown
        as an ignored exception after the command's own line."""
        if self.path is None:
            try:
                self.stream.flush()
            except (OSError, ValueError):
                # Closing standard output's buffer leaves descriptor 1 open.
                self._close_quietly()
            return
        self._close_quietly()  # a device written in place, or the temporary file
        if self._temp is None:
            return
        try:
            os.unlink(self._temp)
        except FileNotFoundError:
            pass
        self._temp = None

    def _close_quietly(self) -> None:
        try:
            self.stream.close()  # closes the descriptor even when the flush fails
        except (OSError, ValueError):
            pass  # the failure has been reported already, or is about to be


# The bytes that a temporary name adds to the output's: a dot, the dot and
# eight characters of mkstemp's, and ".part".
_TEMPORARY_EXTRA = 1 + 1 + 8 + len(".part")


def _shortened(name: str) -> str:
    """`name`, cut so that its temporary name fits wherever the name itself fits."""
    limit = 255 - _TEMPORARY_EXTRA  # NAME_MAX of Linux file systems
    raw = os.fsencode(name)
    return name if len(raw) <= limit else os.fsdecode(raw[:limit].decode("utf-8", "ignore").encode())


class GuardedOutput:
    """An output whose write errors become OutputError (status 2)."""

    def __init__(self, output: Output, name: str) -> None:
        self._output = output
        self._name = name

    def write(self, batch: object) -> None:
        try:
            self._output.write(batch)
        except OSError as error:
            self.write_failed(error)

    def write_from(self, fd: int, size: int) -> None:
        try:
            self._output.write_from(fd, size)
        except OSError as error:
            self.write_failed(error)

    def direct_fd(self) -> int | None:
        try:
            return self._output.direct_fd()
        except OSError as error:
            self.write_failed(error)

    def write_failed(self, error: OSError) -> NoReturn:
        """A write error, here or in a worker process."""
        if isinstance(error, BrokenPipeError):
            raise error
        raise OutputError(f"cannot write {self._name}: {error.strerror or error}") from None

    def close(self) -> None:
        try:
            self._output.close()
        except OSError as error:
            raise OutputError(f"cannot write {self._name}: {error.strerror or error}") from None

    def abort(self) -> None:
        """Give up the output after a failure: write nothing more, not even a footer."""
        self._output.abort()
