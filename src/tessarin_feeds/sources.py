"""The inputs named on the command line: files, folders searched recursively, or stdin."""

from __future__ import annotations

import fnmatch
import os
from collections.abc import Iterator
from typing import NamedTuple

__all__ = ["STDIN", "STDIN_NAME", "InputError", "Source", "check_paths", "find_sources", "iter_sources"]

STDIN = "-"
STDIN_NAME = "<stdin>"


class InputError(Exception):
    """An input that cannot be read; the command stops with status 2."""


class Source(NamedTuple):
    """One input: a file (`path`) or standard input (`path` None). A tuple:
    tasks carry many to the workers, and tuples pickle several times faster."""

    name: str  # as it appears in the output rows
    path: str | None
    # Bytes on disk; 0 for standard input. None for a file found in a folder:
    # the walk does not stat every file, the worker that reads it finds out.
    size: int | None


def _describe(error: OSError) -> str:
    return error.strerror or str(error)


def _matches(pattern: str | None, name: str, relative: str) -> bool:
    if pattern is None:
        return True
    # A pattern with a slash is matched against the path under the folder.
    return fnmatch.fnmatchcase(relative if "/" in pattern else name, pattern)


def _walk(folder: str, relative: str, pattern: str | None) -> Iterator[Source]:
    """Regular files under folder, depth first in name order, hidden ones skipped.
    Symbolic links to files are followed, links to folders are not (no loops).
    Lazily: a tree of a million files is never held as a list. Sizes are not
    looked up: on some systems a stat costs as much as reading a small file."""
    try:
        with os.scandir(folder) as scan:
            entries = sorted(scan, key=lambda entry: entry.name)
    except OSError as error:
        raise InputError(f"cannot read {folder}: {_describe(error)}") from None
    for entry in entries:
        if entry.name.startswith("."):
            continue
        inner = f"{relative}/{entry.name}" if relative else entry.name
        try:
            if entry.is_dir(follow_symlinks=False):
                yield from _walk(entry.path, inner, pattern)
            elif entry.is_file() and _matches(pattern, entry.name, inner):
                yield Source(entry.path, entry.path, None)
        except OSError as error:
            raise InputError(f"cannot read {entry.path}: {_describe(error)}") from None


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
            raise InputError(f"cannot read {path}: {_describe(error)}") from None
        if not os.path.isdir(path) and not os.access(path, os.R_OK):
            raise InputError(f"cannot read {path}: Permission denied")


def iter_sources(paths: list[str], pattern: str | None = None) -> Iterator[Source]:
    """The sources in command-line order. A file named directly is always
    taken; `pattern` (fnmatch) selects files inside folders only."""
    check_paths(paths)
    for path in paths:
        if path == STDIN:
            yield Source(STDIN_NAME, None, 0)
        elif os.path.isdir(path):
            yield from _walk(path, "", pattern)
        else:
            yield Source(path, path, os.stat(path).st_size)


def find_sources(paths: list[str], pattern: str | None = None) -> list[Source]:
    return list(iter_sources(paths, pattern))
