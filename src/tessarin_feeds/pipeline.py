"""Converting (or validating) sources to an output, in input order, in this
process or in worker processes (see workers).
"""

from __future__ import annotations

import itertools
import os
import queue
import threading
from collections.abc import Callable, Iterable, Iterator
from dataclasses import replace

from . import stopping, tasks
from .model import Notice
from .outputs import Output
from .sources import STREAMED, FolderFiles, Source, Walk, flattened
from .summary import Tally
from .tasks import (
    Deliver,
    OutputFormat,
    Settings,
    Task,
    TaskResult,
    ThreadChoice,
    convert_message,
    cut_into_tasks,
    folders_by_name,
    native_lines,
    parquet_natively,
    streams,
    validate_message,
)
from .workers import SpooledPart, WorkerCrashed, append_part, run_in_workers

__all__ = [
    "OutputFormat",
    "Settings",
    "Output",
    "TaskResult",
    "convert_message",
    "validate_message",
    "run",
    "WorkerCrashed",
    "default_jobs",
]


def _run_here(
    sources: Iterable[Source | FolderFiles], settings: Settings, deliver: Deliver, sink: Callable[[bytes], None] | None
) -> None:
    for function, arguments in cut_into_tasks(sources, settings, here=True):
        result = function(*arguments, sink=sink)
        deliver(result)
        # Its rows, written or waiting in the output, are not kept alive
        # while the next task builds its own.
        handed_back = result.handed_back
        del result
        if handed_back:
            _run_here(handed_back, settings, deliver, sink)


# Tasks a second thread may be given ahead of the one whose counts are told.
AHEAD = 3


def _run_alongside(
    sources: Iterable[Source | FolderFiles], settings: Settings, deliver: Deliver, sink: Callable[[bytes], None] | None
) -> None:
    """_run_here with the tasks run, and with `sink` their rows written, in
    order by a second thread, whose native calls release the interpreter
    lock: this one meanwhile walks the folders and cuts the next tasks, and
    delivers what each task counted (and, without `sink`, its rows), in
    input order. A stop or a failure here ends the second thread after its
    task in hand; one there is raised here in its turn."""
    todo: queue.SimpleQueue[Task | None] = queue.SimpleQueue()
    done: queue.SimpleQueue[TaskResult | BaseException | None] = queue.SimpleQueue()
    stop = threading.Event()

    def run_task(function: Callable[..., TaskResult], arguments: tuple[object, ...]) -> None:
        result = function(*arguments, sink=sink)
        done.put(result)
        if result.handed_back:  # their rows come next, before the next task's
            for inner in cut_into_tasks(result.handed_back, settings, here=True):
                if stop.is_set():
                    return
                run_task(*inner)

    def work() -> None:
        try:
            while (task := todo.get()) is not None and not stop.is_set():
                run_task(*task)
                done.put(None)  # the end of one task given
        except BaseException as error:  # told in its turn by the main thread
            done.put(error)

    given = 0  # tasks given whose end is not yet told

    def tell(most: int) -> None:
        nonlocal given
        while given > most:
            item = done.get()
            if item is None:
                given -= 1
            elif isinstance(item, BaseException):
                raise item
            else:
                deliver(item)

    worker = threading.Thread(target=work, name="tessarin tasks", daemon=True)
    stopping.checkpoint("pool start")
    worker.start()
    try:
        for task in cut_into_tasks(sources, settings, here=True):
            stopping.checkpoint("submit")
            todo.put(task)
            given += 1
            tell(AHEAD)
        tell(0)
    finally:
        stop.set()
        todo.put(None)
        worker.join()


def run(
    sources: Iterable[Source],
    settings: Settings,
    output: Output,
    *,
    jobs: int | None = 1,
    on_progress: Callable[[Tally, int], None] | None = None,
    on_notice: Callable[[Notice], None] | None = None,
) -> Tally:
    """Convert every source into `output`, in input order; the counts of the run.

    `on_progress(part, sources_done)` follows each written part; `on_notice`
    is called for each notice worth showing, in input order. A source that
    cannot be read, or breaks off, is such a notice; the run goes on.
    `jobs` None: as one job, with the native calls on default_jobs()
    threads while they pay (see there)."""
    total = Tally()

    def deliver(result: TaskResult) -> None:
        stopping.checkpoint("deliver")
        if result.write_error is not None:
            output.write_failed(result.write_error)
        for payload in result.payloads:
            if isinstance(payload, SpooledPart):
                append_part(output, payload)
            else:
                output.write(payload)
        if on_notice is not None:
            for notice in result.tally.notices:
                on_notice(notice)
        total.add(result.tally)
        if on_progress is not None:
            on_progress(result.tally, result.sources_done)

    # Whole-file tasks run here write each file's rows at once.
    sink = output.write if streams(settings) else None
    parts: Iterable[Source | FolderFiles] = sources
    if folders_by_name(settings) and isinstance(sources, Walk):
        parts = sources.parts()  # folders of plain files go to the native reader by name
    if jobs is None and native_lines(settings) and (most := default_jobs()) > 1:
        # As one job, but the native calls on threads while they pay.
        _run_here(parts, replace(settings, threads=most, measured=ThreadChoice(most)), deliver, sink)
        return total
    if jobs is None or jobs <= 1:
        _run_here(parts, settings, deliver, sink)
        return total
    pending: Iterator[Source | FolderFiles] = iter(parts)
    if native_lines(settings) or parquet_natively(settings):
        # Files on threads inside the native calls: each reads its own files
        # and pieces, and nothing is forked or pickled (bench/jsonl.py
        # measures them against the worker processes). A stream, read in
        # batches of messages, goes to worker processes from there on.
        stream: list[Source] = []

        def files() -> Iterator[Source | FolderFiles]:
            for source in pending:
                if isinstance(source, Source) and (source.path is None or source.size == STREAMED):
                    stream.append(source)
                    return
                yield source

        if parquet_natively(settings):
            # Rows built on a second thread while this one writes the row
            # groups, which pyarrow does without the interpreter lock: worker
            # processes cost more in pickled batches than they save
            # (bench/parquet_feed.py).
            _run_alongside(files(), settings, deliver, None)
        elif sink is not None:
            _run_alongside(files(), replace(settings, threads=jobs), deliver, sink)
        else:
            _run_here(files(), replace(settings, threads=jobs), deliver, sink)
        if not stream:
            return total
        pending = itertools.chain(stream, pending)
    # A few small files convert faster than worker processes start.
    first: list[Source] = []
    size = 0
    left = flattened(pending)
    for source in left:
        first.append(source)
        size += max(source.size, 0) if source.size is not None else tasks.SIZE_GUESS
        if size >= tasks.BATCH_TEXT or source.path is None or source.size == STREAMED:
            run_in_workers(itertools.chain(first, left), settings, deliver, jobs, output.direct_fd())
            return total
    _run_here(first, settings, deliver, sink)
    return total


def default_jobs() -> int:
    """The threads of a run of files to JSON Lines without --jobs: one per
    core for the native calls, fewer while the run measures that they share
    a core with other work (tasks.ThreadChoice); the rest of the run goes as
    with one job. A second Python thread (files to Parquet, or the writing
    beside the native calls) and worker processes pay only on an idle core:
    on the loaded two cores of bench/jsonl.py and bench/parquet_feed.py, on
    256 KB messages, they took 1.2 and 4.7 times as long as one job."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1
