"""The tessarin command on hostile feeds. Whatever the feed, the run gives one
line of its own about it, the right status, no partial output file, no
worker left behind, and every message it found is converted or failed."""

from __future__ import annotations

import os
import pathlib
import random
import re
import shutil
import signal
import stat
import subprocess
import time
import uuid
from collections.abc import Callable
from dataclasses import dataclass

import pytest
from test_cli import COMMAND, ROOT, message, rows, summary

from conftest import needs_command

pytestmark = needs_command

GOOD_FILES = 130  # enough that two jobs start worker processes


@dataclass(frozen=True)
class Case:
    """A hostile addition to a folder of good files, and what the run must give."""

    build: Callable[[pathlib.Path], list[str]]  # writes into the folder; extra options
    status: int
    line: str  # regex of the one line the case gives, summary aside (or of its failure reason)
    own_line: bool = True  # False: the line is the failure's reason in the summary
    found: int = 0  # messages beyond the good files'
    failed: int = 0
    unreadable: bool = False  # the case needs a file that the command cannot read


def _random_binary(folder: pathlib.Path) -> list[str]:
    (folder / "noise.bin").write_bytes(random.Random(7).randbytes(300_000))
    return []


def _no_line_ends(folder: pathlib.Path) -> list[str]:
    # The shape of a multi-gigabyte file with no line end, under a small limit.
    (folder / "long.hl7").write_bytes(b"MSH|^~\\&|A|" + b"abc|^~" * 1_000_000)
    return ["--max-message-size", "1M"]


def _truncated_frame(folder: pathlib.Path) -> list[str]:
    first, second = message(1).encode(), message(2).encode()
    (folder / "capture.hl7").write_bytes(b"\x0b" + first + b"\r\x1c\r\x0b" + second[:60])
    return []


def _other_separators(folder: pathlib.Path) -> list[str]:
    (folder / "dollar.hl7").write_bytes(b"MSH$%~\\&$LAB$HOSP\rPID$1$$7\r")
    return []


def _link_loop(folder: pathlib.Path) -> list[str]:
    (folder / "sub").mkdir()
    (folder / "sub" / "up").symlink_to("..")
    return []


def _unreadable(folder: pathlib.Path) -> list[str]:
    locked = folder / "locked.hl7"
    locked.write_text(message(1))
    locked.chmod(0)
    return []


CASES = {
    "random-binary": Case(
        _random_binary, 1, r"tessarin: \S+/noise.bin: stray fragment at byte 0: '300000 bytes of binary data"
    ),
    "no-line-ends": Case(
        _no_line_ends, 1, r"message too large: N bytes, more than the limit of 1048576 bytes$", False, 1, 1
    ),
    "truncated-frame": Case(
        _truncated_frame,
        1,
        r"tessarin: \S+/capture.hl7: truncated frame at byte \d+: 'a frame without its end block",
        True,
        2,
        1,
    ),
    "other-separators": Case(_other_separators, 1, r'non-default separators: field separator "\$"', False, 1, 1),
    "link-loop": Case(_link_loop, 0, r"tessarin: \S+/sub/up: a folder already read, reached again through a link"),
    "unreadable": Case(
        _unreadable, 1, r"tessarin: \S+/locked.hl7: read error at byte 0: 'Permission denied'$", unreadable=True
    ),
}
SUMMARY_LINE = re.compile(r"^(?:  +\d+  |[a-z][a-z -]+(?: \(see above\))?: \d|elapsed: )")


def _good_files(folder: pathlib.Path) -> None:
    folder.mkdir()
    for n in range(GOOD_FILES):
        (folder / f"good{n:03}.hl7").write_text(message(n))


def _without_override() -> list[str]:
    """A command prefix under which a mode-0 file cannot be read: nothing for
    a plain user; for root, the capabilities that bypass file modes dropped."""
    if os.geteuid() != 0:
        return []
    if shutil.which("setpriv") is None:
        pytest.skip("root reads every file, and setpriv (util-linux) is missing to drop that")
    dropped = "-dac_override,-dac_read_search"
    return ["setpriv", f"--inh-caps={dropped}", f"--bounding-set={dropped}"]


def _run(
    args: list[str], marker: str, prefix: list[str] | None = None, **options: object
) -> subprocess.CompletedProcess[bytes]:
    env = {**os.environ, "TESSARIN_TEST_RUN": marker}
    options.setdefault("capture_output", "stdout" not in options)
    return subprocess.run([*(prefix or []), *COMMAND, *args], cwd=ROOT, env=env, timeout=300, **options)  # type: ignore[call-overload, no-any-return]


def _processes_marked(marker: str) -> list[int]:
    """Processes still running with the run's marker in their environment: workers left behind."""
    found = []
    needle = f"TESSARIN_TEST_RUN={marker}".encode()
    for entry in pathlib.Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if needle in (entry / "environ").read_bytes().split(b"\0"):
                    found.append(int(entry.name))
            except OSError:
                continue
    return found


def _output_counts(path: pathlib.Path, fmt: str) -> tuple[int, int]:
    """(rows, rows converted: without an error) of an output file."""
    if fmt == "parquet":
        table = pytest.importorskip("pyarrow.parquet").read_table(path)
        return table.num_rows, table.column("error").null_count
    lines = rows(path.read_bytes())
    return len(lines), sum("error" not in line for line in lines)


def _own_lines(stderr: str) -> list[str]:
    return [line for line in stderr.splitlines() if not SUMMARY_LINE.match(line)]


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("name", list(CASES))
def test_hostile_feed_gives_one_line_and_no_partial_output(tmp_path, name, jobs, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    case = CASES[name]
    feed = tmp_path / "feed"
    _good_files(feed)
    options = case.build(feed)
    out = tmp_path / f"out.{fmt}"
    marker = uuid.uuid4().hex
    done = _run(
        ["convert", "--no-progress", "-j", jobs, *options, "-o", str(out), str(feed)],
        marker,
        _without_override() if case.unreadable else None,
    )
    stderr = done.stderr.decode()
    assert done.returncode == case.status, stderr
    own = _own_lines(stderr)
    if case.own_line:
        assert len(own) == 1 and re.match(case.line, own[0]), stderr
    else:
        assert own == [] and len(re.findall(case.line, stderr, re.MULTILINE)) == 1, stderr
    assert not list(tmp_path.glob(".*.part")), "a temporary output was left"
    assert _processes_marked(marker) == []
    if case.status == 2:
        assert not out.exists()
        return
    counts = summary(done.stderr)
    assert counts["messages"] == GOOD_FILES + case.found
    assert counts["failed messages"] == case.failed
    assert counts["messages"] == counts["converted messages"] + counts["failed messages"]
    assert _output_counts(out, fmt) == (counts["messages"], counts["converted messages"])


@pytest.fixture
def full_device(tmp_path: pathlib.Path) -> pathlib.Path:
    """A device whose every write fails with ENOSPC. As root, a node of our
    own: were it renamed over, /dev/full itself would be replaced."""
    if os.geteuid() != 0:
        return pathlib.Path("/dev/full")
    node = tmp_path / "full"
    os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 7))
    return node


@pytest.mark.parametrize("fmt", ["jsonl", "jsonl.gz", "parquet", "stdout"])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_write_error_gives_one_line_and_status_2(tmp_path, full_device, jobs, fmt, monkeypatch):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    # Development mode reports, on every interpreter, a failed writer left for
    # the exit to close, which 3.13 reports anyway. (Its warning about fork in
    # a process with threads is another matter.)
    monkeypatch.setenv("PYTHONDEVMODE", "1")
    monkeypatch.setenv("PYTHONWARNINGS", "ignore::DeprecationWarning")
    feed = tmp_path / "feed"
    _good_files(feed)
    marker = uuid.uuid4().hex
    if fmt == "stdout":
        with open(full_device, "wb") as full:
            done = _run(["convert", "-j", jobs, str(feed)], marker, stdout=full, stderr=subprocess.PIPE)
        name = "standard output"
    else:
        done = _run(["convert", "-j", jobs, "--format", fmt.split(".")[0], "-o", str(full_device), str(feed)], marker)
        name = str(full_device)
    assert done.returncode == 2
    assert done.stderr.decode().splitlines() == [f"tessarin: cannot write {name}: No space left on device"]
    assert stat.S_ISCHR(full_device.stat().st_mode), "the device was replaced"
    assert _processes_marked(marker) == []


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_sigterm_mid_run_gives_one_line_and_no_output(tmp_path, jobs, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    feed = tmp_path / "feed"
    _good_files(feed)
    out = tmp_path / f"out.{fmt}"
    marker = uuid.uuid4().hex
    process = subprocess.Popen(
        [*COMMAND, "convert", "-j", jobs, "-o", str(out), str(feed), "-"],
        cwd=ROOT,
        stdin=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env={**os.environ, "TESSARIN_TEST_RUN": marker},
    )
    assert process.stdin is not None
    data = (message(1) + "\n").encode() * 20_000
    process.stdin.write(data)
    process.stdin.flush()
    # Mid-run: the folder and standard input read, and standard input still open.
    deadline = time.monotonic() + 120
    while _bytes_read(process.pid) < len(data) and time.monotonic() < deadline:
        time.sleep(0.05)
    process.send_signal(signal.SIGTERM)
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 143
    assert stderr.decode().splitlines() == ["tessarin: terminated"]
    assert sorted(path.name for path in tmp_path.iterdir()) == ["feed"]
    deadline = time.monotonic() + 30
    while _processes_marked(marker) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert _processes_marked(marker) == []


def _bytes_read(pid: int) -> int:
    for line in pathlib.Path(f"/proc/{pid}/io").read_text().splitlines():
        if line.startswith("rchar:"):
            return int(line.split()[1])
    raise AssertionError("no rchar line")
