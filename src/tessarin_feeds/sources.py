"""The inputs named on the command line: files, folders searched recursively, or stdin."""

from __future__ import annotations

import fnmatch
import os
from dataclasses import dataclass

__all__ = ["STDIN", "STDIN_NAME", "InputError", "Source", "find_sources"]

STDIN = "-"
STDIN_NAME = "<stdin>"


class InputError(Exception):
    """An input that cannot be read; the command stops with status 2."""


@dataclass(frozen=True, slots=True)
class Source:
    """One input: a file (`path`) or standard input (`path` None)."""

    name: str  # as it appears in the output rows
    path: str | None
    size: int  # bytes on disk; 0 for standard input


def _describe(error: OSError) -> str:
    return error.strerror or str(error)


def _matches(pattern: str | None, name: str, relative: str) -> bool:
    if pattern is None:
        return True
    # A pattern with a slash is matched against the path under the folder.
    return fnmatch.fnmatchcase(relative if "/" in pattern else name, pattern)


def _walk(folder: str, relative: str, pattern: str | None) -> list[Source]:
    """Regular files under folder, depth first in name order, hidden ones skipped.
    Symbolic links to files are followed, links to folders are not (no loops)."""
    found: list[Source] = []
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
                found.extend(_walk(entry.path, inner, pattern))
            elif entry.is_file() and _matches(pattern, entry.name, inner):
                found.append(Source(entry.path, entry.path, entry.stat().st_size))
        except OSError as error:
            raise InputError(f"cannot read {entry.path}: {_describe(error)}") from None
    return found


def find_sources(paths: list[str], pattern: str | None = None) -> list[Source]:
    """The sources in command-line order. A file named directly is always
    taken; `pattern` (fnmatch) selects files inside folders only."""
    sources: list[Source] = []
    for path in paths:
        if path == STDIN:
            if any(source.path is None for source in sources):
                raise InputError("standard input (-) can be named only once")
            sources.append(Source(STDIN_NAME, None, 0))
            continue
        try:
            status = os.stat(path)
        except OSError as error:
            raise InputError(f"cannot read {path}: {_describe(error)}") from None
        if os.path.isdir(path):
            sources.extend(_walk(path, "", pattern))
        else:
            if not os.access(path, os.R_OK):
                raise InputError(f"cannot read {path}: Permission denied")
            sources.append(Source(path, path, status.st_size))
    return sources
