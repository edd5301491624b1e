"""The number of jobs a run gets when --jobs is not given: threads for the
cores other work leaves free, and no worker processes."""

from __future__ import annotations

import os
import pathlib

import pytest

from tessarin_feeds import pipeline, tasks
from tessarin_feeds.outputs import OutputBase
from tessarin_feeds.sources import find_sources

MESSAGE = "MSH|^~\\&|A|B|C|D|20240101||ADT^A01|{n}|P|2.5\rPID|1||{n}\r"


@pytest.mark.parametrize(
    "cores, machine, load, jobs",
    [
        (2, 2, 0.0, 2),
        (2, 2, 0.4, 2),
        (2, 2, 1.0, 1),  # the other core is taken
        (2, 2, 7.5, 1),
        (8, 8, 2.0, 6),
        (2, 64, 30.0, 1),  # two cores of a busy large machine
        (4, 64, 0.0, 4),
    ],
)
def test_default_jobs_are_the_cores_other_work_leaves(monkeypatch, cores, machine, load, jobs):
    monkeypatch.setattr(pipeline, "cores", lambda: cores)
    monkeypatch.setattr(os, "cpu_count", lambda: machine)
    monkeypatch.setattr(os, "getloadavg", lambda: (load, load, load))
    assert pipeline.default_jobs() == jobs


def test_default_jobs_without_a_load_average_are_the_cores(monkeypatch):
    def no_load() -> tuple[float, float, float]:
        raise OSError("no load average")

    monkeypatch.setattr(pipeline, "cores", lambda: 3)
    monkeypatch.setattr(os, "getloadavg", no_load)
    assert pipeline.default_jobs() == 3


class Collect(OutputBase):
    def __init__(self) -> None:
        self.data = b""

    def write(self, batch: object) -> None:
        # Parquet's record batches by their rows.
        self.data += bytes(batch) if isinstance(batch, bytes | memoryview) else repr(batch.to_pylist()).encode()  # type: ignore[attr-defined]


def _folder(tmp_path: pathlib.Path) -> list:
    folder = tmp_path / "feed"
    folder.mkdir()
    for f in range(40):
        (folder / f"{f:03}.hl7").write_text("\r".join(MESSAGE.format(n=f * 10 + m) for m in range(10)))
    return find_sources([str(folder)])


@pytest.mark.parametrize(
    "settings",
    [
        pipeline.Settings(),
        pipeline.Settings(action="validate", output_format="report", require_pid=True),
        pipeline.Settings(charset="latin-1"),
        pipeline.Settings(output_format="parquet"),
    ],
    ids=["jsonl", "report", "encoding", "parquet"],
)
def test_the_default_uses_threads_and_never_worker_processes(tmp_path, monkeypatch, settings):
    """With jobs None, files to JSON Lines go on default_jobs() threads (to
    Parquet, rows are built on a second thread); work that would go to worker
    processes stays in this process. The output is that of one job."""
    if settings.output_format == "parquet":
        pytest.importorskip("pyarrow")
    sources = _folder(tmp_path)
    one = Collect()
    pipeline.run(sources, settings, one, jobs=1)

    def no_workers(*args: object, **kwargs: object) -> None:
        raise AssertionError("worker processes started by default")

    threads: list[int] = []
    convert_files = tasks.convert_files

    def recording(*args: object, **kwargs: object) -> object:
        threads.append(kwargs["threads"])  # type: ignore[arg-type]
        return convert_files(*args, **kwargs)  # type: ignore[arg-type]

    monkeypatch.setattr(pipeline, "run_in_workers", no_workers)
    monkeypatch.setattr(pipeline, "default_jobs", lambda: 2)
    monkeypatch.setattr(tasks, "convert_files", recording)
    monkeypatch.setattr(tasks, "SIZE_GUESS", 1 << 20)  # workers, were they allowed, even for so few files
    chosen = Collect()
    tally = pipeline.run(sources, settings, chosen, jobs=None)
    assert chosen.data == one.data and tally.sources == 40
    assert set(threads) == ({2} if tasks.native_lines(settings) else set())
