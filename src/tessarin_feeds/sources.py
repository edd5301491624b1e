"""The inputs named on the command line: files, folders searched recursively, or stdin."""

from __future__ import annotations

import fnmatch
import itertools
import operator
import os
import re
import stat
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import NamedTuple, overload

from ._columns import list_folder

__all__ = [
    "STDIN",
    "STDIN_NAME",
    "STREAMED",
    "FolderFiles",
    "InputError",
    "Source",
    "Walk",
    "check_paths",
    "find_sources",
    "iter_sources",
    "source_name",
]

STDIN = "-"
STDIN_NAME = "<stdin>"
# The size of a source of unknown size (a pipe, a device): read as a stream.
STREAMED = -1


class InputError(Exception):
    """An input that cannot be read; the command stops with status 2."""


class Source(NamedTuple):
    """One input: a file (`path`) or standard input (`path` None). A tuple:
    tasks carry many to the workers, and tuples pickle several times faster."""

    name: str  # as it appears in the output rows
    path: str | None
    # Bytes on disk; 0 for standard input, STREAMED for a pipe or device.
    # None for a file found in a folder: the walk does not stat every file,
    # the worker that reads it finds out.
    size: int | None


def source_name(path: str) -> str:
    """A path as rows and notices name it: valid UTF-8 whatever the file
    system holds. A byte that is not UTF-8 is written as \\xHH, and a
    backslash as \\\\, so that no two paths get the same name."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        pass  # bytes that are not UTF-8, carried as surrogates by os.fsdecode
    else:
        if "\\" not in path:
            return path
    raw = os.fsencode(path).replace(b"\\", b"\\\\")
    return raw.decode("utf-8", "backslashreplace")


def _describe(error: OSError) -> str:
    return error.strerror or str(error)


def _matches(pattern: str | None, name: str, relative: str) -> bool:
    if pattern is None:
        return True
    # A pattern with a slash is matched against the path under the folder.
    return fnmatch.fnmatchcase(relative if "/" in pattern else name, pattern)


# Told about a path under a folder that is not read, and why.
OnSkip = Callable[[str, str], None]


_name = operator.attrgetter("name")


def _folder_key(status: os.stat_result) -> tuple[int, int]:
    return status.st_dev, status.st_ino


# Files of a folder listed natively go together this many at a time: a
# task's worth (tasks.BATCH_FILES).
LISTED_BATCH = 512


class FolderFiles(Sequence[Source]):
    """Plain files of one folder, in name order, as the native listing gives
    them (_columns.list_folder): their names in one bytes object, each ended
    by a NUL, read natively from there, so that no object is made per file
    until one is asked for (to tell of it, or hand it back)."""

    __slots__ = ("folder", "names", "_length", "_sources")

    def __init__(self, folder: str, count: int, names: bytes) -> None:
        self.folder = folder  # with its final "/": a file's path is folder + name
        self._length = count
        self.names = names
        self._sources: list[Source] | None = None

    def __len__(self) -> int:
        return self._length

    @overload
    def __getitem__(self, index: int) -> Source: ...
    @overload
    def __getitem__(self, index: slice) -> list[Source]: ...
    def __getitem__(self, index: int | slice) -> Source | list[Source]:
        if self._sources is None:
            # The names are UTF-8 that needs no escape, as is the folder: a path is its own name.
            paths = [self.folder + name for name in self.names.decode().split("\0")[:-1]]
            self._sources = [Source(path, path, None) for path in paths]
        return self._sources[index]


# A folder whose name needs escaping in a row (a control character, a quote,
# a backslash, bytes that are not UTF-8) is walked in Python, as its names are.
_ESCAPED = re.compile(r'[\x00-\x1f"\\]')


def _listed(folder: str) -> list[FolderFiles] | None:
    """A folder of plain files only, listed natively; None for any other."""
    prefix = os.path.join(folder, "")
    if _ESCAPED.search(prefix) or source_name(prefix) != prefix or sys.getfilesystemencoding() != "utf-8":
        return None
    batches = list_folder(os.fsencode(prefix), LISTED_BATCH)
    if batches is None:
        return None
    return [FolderFiles(prefix, count, names) for count, names in batches]


def _walk(
    folder: str,
    relative: str,
    pattern: str | None,
    seen: set[tuple[int, int]],
    on_skip: OnSkip | None,
    on_unreadable: OnSkip | None = None,
) -> Iterator[Source | FolderFiles]:
    """Regular files under folder, depth first in name order, hidden ones skipped.
    Symbolic links are followed, but every folder is read once, so a link
    back up the tree (a loop) or to a folder already read is passed over and
    told to `on_skip`, as are devices, pipes and sockets. A broken link is a
    source whose reading fails; a folder inside that cannot be listed is told
    to `on_unreadable`. Lazily: a tree of a million files is never
    held as a list. Sizes are not looked up: on some systems a stat costs as
    much as reading a small file. A folder of plain files only goes as
    FolderFiles, listed natively."""
    if pattern is None and (listed := _listed(folder)) is not None:
        yield from listed
        return
    try:
        with os.scandir(folder) as scan:
            entries = sorted(scan, key=_name)
    except OSError as error:
        if on_unreadable is None or not relative:
            raise InputError(f"cannot read {source_name(folder)}: {_describe(error)}") from None
        on_unreadable(source_name(folder), _describe(error))
        return
    for entry in entries:
        if entry.name.startswith("."):
            continue
        try:
            if pattern is None and entry.is_file(follow_symlinks=False):
                # The common case first: a plain file, as the folder listing says.
                yield Source(source_name(entry.path), entry.path, None)
                continue
            inner = f"{relative}/{entry.name}" if relative else entry.name
            if entry.is_symlink():
                try:
                    status = os.stat(entry.path)
                except FileNotFoundError:
                    # A broken link: told when its reading fails, like any unreadable file.
                    if _matches(pattern, entry.name, inner):
                        yield Source(source_name(entry.path), entry.path, None)
                    continue
            elif entry.is_dir(follow_symlinks=False):
                status = entry.stat(follow_symlinks=False)
            else:
                status = None  # a plain file, as the folder listing says: no stat needed
            if status is not None and stat.S_ISDIR(status.st_mode):
                key = _folder_key(status)
                if key not in seen:
                    seen.add(key)
                    yield from _walk(entry.path, inner, pattern, seen, on_skip, on_unreadable)
                elif on_skip is not None:
                    on_skip(
                        source_name(entry.path),
                        "a folder already read, reached again through a link (a loop?); not read again",
                    )
                continue
            if not _matches(pattern, entry.name, inner):
                continue
            if stat.S_ISREG(status.st_mode) if status is not None else entry.is_file(follow_symlinks=False):
                yield Source(source_name(entry.path), entry.path, None)
            elif on_skip is not None:
                on_skip(source_name(entry.path), "not a regular file (a device, pipe or socket); not read")
        except OSError as error:
            if on_unreadable is None:
                raise InputError(f"cannot read {source_name(entry.path)}: {_describe(error)}") from None
            on_unreadable(source_name(entry.path), _describe(error))


def check_paths(paths: list[str]) -> None:
    """Fail before any output when a PATH is missing or standard input is named twice."""
    if paths.count(STDIN) > 1:
        raise InputError("standard input (-) can be named only once")
    for path in paths:
        if path == STDIN:
            continue
        try:
            os.stat(path)
        except OSError as error:
            raise InputError(f"cannot read {source_name(path)}: {_describe(error)}") from None
        if not os.path.isdir(path) and not os.access(path, os.R_OK):
            raise InputError(f"cannot read {source_name(path)}: Permission denied")


def _parts(
    paths: list[str], pattern: str | None, on_skip: OnSkip | None, on_unreadable: OnSkip | None
) -> Iterator[Source | FolderFiles]:
    check_paths(paths)
    for path in paths:
        if path == STDIN:
            yield Source(STDIN_NAME, None, 0)
        elif os.path.isdir(path):
            yield from _walk(path, "", pattern, {_folder_key(os.stat(path))}, on_skip, on_unreadable)
        else:
            status = os.stat(path)
            yield Source(source_name(path), path, status.st_size if stat.S_ISREG(status.st_mode) else STREAMED)


def flattened(parts: Iterable[Source | FolderFiles]) -> Iterator[Source]:
    """Sources one by one, each FolderFiles as its sources."""
    return itertools.chain.from_iterable(part if isinstance(part, FolderFiles) else (part,) for part in parts)


class Walk(Iterator[Source]):
    """The sources of iter_sources, one by one; or, through parts(), with the
    plain files of a folder together as FolderFiles, for a caller that reads
    them natively."""

    __slots__ = ("_parts", "_sources", "_started")

    def __init__(self, parts: Iterator[Source | FolderFiles]) -> None:
        self._parts = parts
        self._sources = flattened(parts)
        self._started = False

    def __next__(self) -> Source:
        self._started = True
        return next(self._sources)

    def parts(self) -> Iterator[Source | FolderFiles]:
        """The sources to come, with FolderFiles, if none has been taken one by one."""
        return self if self._started else self._parts


def iter_sources(
    paths: list[str],
    pattern: str | None = None,
    on_skip: OnSkip | None = None,
    on_unreadable: OnSkip | None = None,
) -> Walk:
    """The sources in command-line order. A file named directly is always
    taken; `pattern` (fnmatch) selects files inside folders only."""
    return Walk(_parts(paths, pattern, on_skip, on_unreadable))


def find_sources(paths: list[str], pattern: str | None = None) -> list[Source]:
    return list(iter_sources(paths, pattern))
