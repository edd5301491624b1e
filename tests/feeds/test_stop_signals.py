"""Stop signals at any moment of a run: status 130 or 143, no process and
no temporary file left, and never longer than the grace period."""

from __future__ import annotations

import os
import pathlib
import random
import subprocess
import time
import uuid

import pytest
from test_cli import COMMAND, ROOT, message
from test_hostile_feeds import _processes_marked

# The module below imports orjson itself.
pytest.importorskip("orjson", reason="the tessarin command needs orjson, not installed for this interpreter")

from tessarin_feeds.workers import STOP_GRACE_SECONDS  # noqa: E402

from conftest import needs_command

pytestmark = needs_command

STATUS = {"INT": 130, "TERM": 143}


@pytest.fixture(scope="module")
def feed(tmp_path_factory: pytest.TempPathFactory):
    folder = tmp_path_factory.mktemp("feed")
    for n in range(400):  # enough that two jobs start their workers
        (folder / f"m{n:03}.hl7").write_text("\r".join([message(n)] * 20))
    return folder


def _start(feed, out, marker: str, jobs: str, stop_at: str = "") -> subprocess.Popen[bytes]:
    env = {**os.environ, "TESSARIN_TEST_RUN": marker, "TESSARIN_TEST_STOP_AT": stop_at}
    return subprocess.Popen(
        [*COMMAND, "convert", "--no-progress", "-j", jobs, str(feed), "-o", str(out)],
        cwd=ROOT,
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )


def _assert_stopped_cleanly(
    process: subprocess.Popen[bytes], out, marker: str, started: float, allowed: set[int]
) -> None:
    _, stderr = process.communicate(timeout=STOP_GRACE_SECONDS + 30)
    assert time.monotonic() - started < STOP_GRACE_SECONDS + 10
    assert process.returncode in allowed, stderr.decode()[-2000:]
    if process.returncode >= 128:
        assert b"Traceback" not in stderr
        assert not out.exists()
    assert not list(out.parent.glob(".*.part")), "a temporary output was left"
    deadline = time.monotonic() + 10
    while _processes_marked(marker) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert _processes_marked(marker) == []


@pytest.mark.parametrize("sig", ["INT", "TERM"])
@pytest.mark.parametrize("phase", ["imports", "output made", "pool start", "submit", "deliver", "closing"])
@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_a_signal_at_each_phase(tmp_path, feed, phase, sig, fmt):
    """Sent from another thread, as the kernel does when a native thread
    (pyarrow's) is the one without the signal blocked."""
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    out = tmp_path / f"out.{fmt}"
    marker = uuid.uuid4().hex
    started = time.monotonic()
    process = _start(feed, out, marker, "2", f"{phase}:{sig}")
    _assert_stopped_cleanly(process, out, marker, started, {STATUS[sig]})


@pytest.mark.parametrize("sig", ["INT", "TERM"])
def test_a_signal_once_the_output_is_whole_ends_the_run_as_if_none_came(tmp_path, feed, sig):
    out = tmp_path / "out.jsonl"
    marker = uuid.uuid4().hex
    process = _start(feed, out, marker, "2", f"committing:{sig}")
    _assert_stopped_cleanly(process, out, marker, time.monotonic(), {0})
    assert len(out.read_bytes().splitlines()) == 400 * 20


def _wait_for_handlers(pid: int) -> None:
    """Until the command handles SIGTERM: before that, the interpreter is
    still starting and the signal's default action (death) is all there is."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            status = pathlib.Path(f"/proc/{pid}/status").read_text()
        except OSError:
            return  # already ended
        caught = int(next(line for line in status.splitlines() if line.startswith("SigCgt:")).split()[1], 16)
        if caught & (1 << (15 - 1)):
            return
        time.sleep(0.002)


@pytest.mark.slow
@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_many_timed_real_signals(tmp_path, feed, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    chance = random.Random(20)
    for run in range(30):
        sig = chance.choice(["INT", "TERM"])
        out = tmp_path / f"out{run}.{fmt}"
        marker = uuid.uuid4().hex
        started = time.monotonic()
        process = _start(feed, out, marker, chance.choice(["1", "2"]))
        _wait_for_handlers(process.pid)
        time.sleep(chance.uniform(0.0, 0.6))
        process.send_signal(getattr(__import__("signal"), f"SIG{sig}"))
        # A run that ended before the signal came is fine too.
        _assert_stopped_cleanly(process, out, marker, started, {STATUS[sig], 0})
