"""The jobs a run gets when --jobs is not given: one job's run, with the
native calls on threads while they do not share a core with other work."""

from __future__ import annotations

import pathlib

import pytest

# The modules below import orjson themselves.
pytest.importorskip("orjson", reason="the tessarin command needs orjson, not installed for this interpreter")

from tessarin_feeds import pipeline, tasks  # noqa: E402
from tessarin_feeds.outputs import OutputBase  # noqa: E402
from tessarin_feeds.sources import find_sources  # noqa: E402

MESSAGE = "MSH|^~\\&|A|B|C|D|20240101||ADT^A01|{n}|P|2.5\rPID|1||{n}\r"


@pytest.mark.parametrize(
    "cores_had, threads_then",
    [(1.0, [1, 1, 4]), (1.2, [1, 1, 4]), (1.3, [4, 4, 4]), (2.0, [4, 4, 4])],
)
def test_threads_shared_with_other_work_give_way_to_one(monkeypatch, cores_had, threads_then):
    """Calls on the threads are watched for WATCH_SECONDS: if the process had
    less than KEEP_CORES cores' time, the next calls run on one thread until
    ALONE_SECONDS have passed; calls on one thread are not judged."""
    clock = {"wall": 100.0, "cpu": 10.0}
    monkeypatch.setattr(tasks.time, "perf_counter", lambda: clock["wall"])
    monkeypatch.setattr(tasks.time, "process_time", lambda: clock["cpu"])

    def call(threads: int, seconds: float) -> None:
        with choice.call(threads):
            clock["wall"] += seconds
            clock["cpu"] += seconds * cores_had

    choice = tasks.ThreadChoice(4)
    for _ in range(3):  # together over WATCH_SECONDS, but one thread's calls do not count
        assert choice.threads() == 4
        call(1, tasks.WATCH_SECONDS / 2)
    call(4, tasks.WATCH_SECONDS * 0.6)
    assert choice.threads() == 4  # not yet watched long enough
    call(4, tasks.WATCH_SECONDS * 0.6)
    seen = [choice.threads()]
    clock["wall"] += tasks.ALONE_SECONDS * 0.9
    seen.append(choice.threads())
    clock["wall"] += tasks.ALONE_SECONDS * 0.2
    seen.append(choice.threads())
    assert seen == threads_then


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
def test_the_default_runs_as_one_job_with_the_native_calls_on_threads(tmp_path, monkeypatch, settings):
    """With jobs None, the native calls of files to JSON Lines go on
    default_jobs() threads; nothing else goes to another Python thread or a
    worker process. The output is that of one job."""
    if settings.output_format == "parquet":
        pytest.importorskip("pyarrow")
    sources = _folder(tmp_path)
    one = Collect()
    pipeline.run(sources, settings, one, jobs=1)

    def no_workers(*args: object, **kwargs: object) -> None:
        raise AssertionError("worker processes or a second Python thread by default")

    threads: list[int] = []
    convert_files = tasks.convert_files

    def recording(*args: object, **kwargs: object) -> object:
        threads.append(kwargs["threads"])  # type: ignore[arg-type]
        return convert_files(*args, **kwargs)  # type: ignore[arg-type]

    monkeypatch.setattr(pipeline, "run_in_workers", no_workers)
    monkeypatch.setattr(pipeline, "_run_alongside", no_workers)
    monkeypatch.setattr(pipeline, "default_jobs", lambda: 2)
    monkeypatch.setattr(tasks, "convert_files", recording)
    monkeypatch.setattr(tasks, "SIZE_GUESS", 1 << 20)  # workers, were they allowed, even for so few files
    chosen = Collect()
    tally = pipeline.run(sources, settings, chosen, jobs=None)
    assert chosen.data == one.data and tally.sources == 40
    # The first call on all the threads; later ones as they are measured.
    assert threads[:1] == ([2] if tasks.native_lines(settings) else [])
