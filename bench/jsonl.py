"""The native JSON text of records against orjson over Hl7Json's dicts, side by side in one run.

    python bench/jsonl.py [--quick] [--no-write]

Input: the corpus's messages of at most 8 KB, in batches of about 256 KB of
text as the command converts them. Timed in turns in this process
(bench/harness.py, thread CPU time), per message:
- Hl7Json+orjson: `orjson.dumps(Hl7Json(text, escaping_enabled=e).hl7_json)`;
- native records: `_columns.encode_records(batch, escaping_enabled=e)`;
- lines, dict path / lines, native: the command's JSON Lines of a batch,
  by bench/dict_paths.jsonl_by_dicts over Hl7Json's records and by process_messages.
Then `tessarin convert` (1 job) on a folder of corpus copies, once as it is
and once with the dict path put back in its place, in turns: messages per
CPU second, start-up subtracted. Last, the native fast path (whole files
and pieces of large files split and written natively) against the baseline
`orjson.dumps(Hl7Json(text).hl7_json)` over the same texts in memory, and
against the reader's path it replaces, and the command to Parquet, from a
folder of one-message files and from one big file of the same messages, in
turns: the baseline's CPU time over the command's (1 job, start-up
subtracted); per core, messages and MB per CPU second against reading the
same bytes from the page cache. Last, --jobs 2 against --jobs 1 in wall
time, by native threads (the command's way) and by worker processes, and
the default (no --jobs), on the folder, the big file and a file of 256 KB
messages (200 MB), with each run's CPU time over its wall time. Results go
under the key "jsonl" of bench/results.json.
"""

from __future__ import annotations

import datetime
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))

import orjson  # noqa: E402

import tessarin  # noqa: E402
from bench import dict_paths, harness  # noqa: E402
from bench.feeds import COMMAND, CORPUS, PROBE, build_folder, patched_command  # noqa: E402
from tessarin_feeds import _columns, tasks  # noqa: E402
from tessarin_feeds.model import Message  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402
from tessarin_feeds.summary import Tally  # noqa: E402

MAX_MESSAGE = 8 << 10
BATCH_TEXT = 256 << 10  # the command's FLUSH_BYTES


def corpus_batches(copies: int) -> list[list[Message]]:
    messages = [
        m
        for path in sorted(CORPUS.glob("*.hl7"))
        for m in read_messages(path, name=path.name)
        if m.error is None and len(m.text.encode("utf-8", "surrogatepass")) <= MAX_MESSAGE
    ] * copies
    batches: list[list[Message]] = [[]]
    size = 0
    for message in messages:
        if size >= BATCH_TEXT:
            batches.append([])
            size = 0
        batches[-1].append(message)
        size += len(message.text)
    return batches


dict_path = dict_paths.jsonl_by_dicts


def run_dict_path_command() -> int:
    """`tessarin` with the dict path in place of the native JSON Lines step (and the reader splitting)."""
    from tessarin_feeds.cli import main

    tasks.process_messages = dict_path  # type: ignore[assignment]
    tasks.native_lines = lambda settings: False  # type: ignore[assignment]  # files go through process_messages
    return main(sys.argv[1:])


def run_process_pool_command() -> int:
    """`tessarin` with --jobs N in worker processes, as before the native threads."""
    from tessarin_feeds import pipeline
    from tessarin_feeds.cli import main

    pipeline.native_lines = lambda settings: False  # type: ignore[assignment]  # only the choice of pool
    return main(sys.argv[1:])


def run_reader_path_command() -> int:
    """`tessarin` with the reader splitting every file, as before the native fast path."""
    from tessarin_feeds.cli import main

    tasks.native_lines = lambda settings: False  # type: ignore[assignment]
    return main(sys.argv[1:])


def run_python_walk_command() -> int:
    """`tessarin` with every folder walked in Python, a Source per file, as before the native listing."""
    from tessarin_feeds import sources
    from tessarin_feeds.cli import main

    sources.list_folder = lambda path, batch: None  # type: ignore[assignment]
    return main(sys.argv[1:])


READER_COMMAND = patched_command("bench.jsonl", "run_reader_path_command")

WALK_COMMAND = patched_command("bench.jsonl", "run_python_walk_command")

PROCESS_COMMAND = patched_command("bench.jsonl", "run_process_pool_command")

DICT_COMMAND = patched_command("bench.jsonl", "run_dict_path_command")


def command_cpu(command: list[str], folder: pathlib.Path, jobs: int | None = 1) -> tuple[float, int]:
    """CPU seconds and messages of the command; `jobs` None: the default."""
    chosen = [] if jobs is None else ["--jobs", str(jobs)]
    done = subprocess.run(
        [sys.executable, "-c", PROBE, *command, *chosen, str(folder)], capture_output=True, check=True
    )
    result = json.loads(done.stdout)
    if result["status"] not in (0, 1):  # 1: the corpus holds malformed messages on purpose
        raise SystemExit(f"tessarin convert failed with status {result['status']}")
    return result["cpu"], result["messages"]


def fast_path(messages: list[Message], root: pathlib.Path, rounds: int) -> dict[str, object]:
    """The command on a folder of one-message files and on one big file of
    the same messages, to JSON Lines natively and by the reader and to
    Parquet, against the baseline."""
    folder, big = root / "one-message files", root / "big.hl7"
    folder.mkdir()
    texts = [m.text.encode("utf-8", "surrogatepass") for m in messages]
    for number, text in enumerate(texts):
        (folder / f"{number:07}.hl7").write_bytes(text + b"\r")
    big.write_bytes(b"".join(text + b"\r" for text in texts))
    empty = root / "nothing"
    empty.mkdir()
    dumps, Hl7Json = orjson.dumps, tessarin.Hl7Json
    strings = [m.text for m in messages]
    baseline: list[float] = []
    cpu: dict[str, list[float]] = {}
    # Parquet with the default compression, for the same targets' Parquet half.
    parquet = [*COMMAND, "-o", str(root / "out.parquet")]
    commands = {"native": COMMAND, "reader": READER_COMMAND, "parquet": parquet, "walk": WALK_COMMAND}
    for r in range(rounds):
        start = time.thread_time()
        for text in strings:
            dumps(Hl7Json(text).hl7_json)
        baseline.append(time.thread_time() - start)
        for name in list(commands) if r % 2 == 0 else list(commands)[::-1]:
            start_cpu, _ = command_cpu(commands[name], empty)
            for target, path in (("folder", folder), ("big file", big)):
                if name == "walk" and target == "big file":
                    continue  # the native path with the folder walked in Python: a folder's matter
                seconds, count = command_cpu(commands[name], path)
                assert count == len(messages), (name, target, count)
                cpu.setdefault(f"{target}, {name}", []).append(max(seconds - start_cpu, 1e-9))
    base = statistics.median(baseline)
    result: dict[str, object] = {"messages": len(messages), "baseline_cpu_s": round(base, 4)}
    for key, values in cpu.items():
        # A run cheaper than starting the command (a quick run's input) has no ratio.
        command = statistics.median(values)
        result[f"{key}: baseline / command"] = round(base / command, 3) if command > 1e-3 else None
    # Per core: messages and MB per CPU second, against reading the same
    # bytes from the page cache (whole files, or the big file in pieces).
    text_mb = sum(map(len, texts)) / 1e6
    reading = {"folder": page_cache_seconds(folder), "big file": page_cache_seconds(big)}
    for target in ("folder", "big file"):
        seconds = statistics.median(cpu[f"{target}, native"])
        result[f"{target}, per core"] = {
            "messages_per_s": round(len(messages) / seconds),
            "MB_per_s": round(text_mb / seconds, 1),
            "page cache MB_per_s": round(text_mb / reading[target], 1),
        }
    return result


def folder_breakdown(folder: pathlib.Path, rounds: int) -> dict[str, dict[str, float]]:
    """Where a file of the folder path goes, in microseconds of user and
    kernel CPU per file, in this process, in turns: converting its bytes
    held in memory (convert_buffers); reading and converting it by name
    (convert_files, as list_folder names it); the command's run (one job,
    to /dev/null) with the folder listed natively and walked in Python."""
    import resource

    from tessarin_feeds import jsonl, pipeline, sources

    prefix = os.fsencode(os.path.join(folder, ""))
    listed = _columns.list_folder(prefix, tasks.BATCH_FILES)
    assert listed is not None
    count = sum(number for number, _ in listed)
    head, options = tasks._head(os.fsdecode(prefix))[:-1], tasks.feed_options(tasks.Settings())
    limits = {"first_read": tasks.FIRST_READ, "whole_max": tasks.WHOLE_FILE_MAX, "gzip_max": tasks.WHOLE_GZIP_MAX}
    buffers = [
        (head + name + b'"', (pathlib.Path(os.fsdecode(prefix + name))).read_bytes())
        for _, names in listed
        for name in names.split(b"\0")[:-1]
    ]

    def in_memory() -> None:
        for at in range(0, len(buffers), 256):
            _columns.convert_buffers(buffers[at : at + 256], **options)

    def by_name() -> None:
        for number, names in listed:
            start = 0
            while start < number:
                _, (done, _, _) = _columns.convert_files(
                    (prefix, head, names, start), **options, budget=tasks.FLUSH_BYTES, limit=1 << 40, **limits
                )
                start += done

    def command(walked: bool) -> None:
        real = sources.list_folder
        if walked:
            sources.list_folder = lambda path, batch: None  # type: ignore[assignment]
        try:
            with open(os.devnull, "wb") as out:
                pipeline.run(sources.iter_sources([str(folder)]), tasks.Settings(), jsonl.JsonlOutput(out), jobs=1)
        finally:
            sources.list_folder = real  # type: ignore[assignment]

    ways = {
        "convert in memory": in_memory,
        "read and convert by name": by_name,
        "run, native listing": lambda: command(False),
        "run, Python walk": lambda: command(True),
    }
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in ways}
    for r in range(rounds):
        for name in list(ways) if r % 2 == 0 else list(ways)[::-1]:
            before = resource.getrusage(resource.RUSAGE_SELF)
            ways[name]()
            after = resource.getrusage(resource.RUSAGE_SELF)
            times[name].append((after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime))
    return {
        name: {
            "user_us": round(statistics.median(user for user, _ in spent) / count * 1e6, 2),
            "kernel_us": round(statistics.median(kernel for _, kernel in spent) / count * 1e6, 2),
        }
        for name, spent in times.items()
    }


def page_cache_seconds(path: pathlib.Path) -> float:
    """CPU time to read the bytes under `path` (files in name order, or one
    file in pieces of a megabyte), once read before: the least of three."""
    paths = sorted(path.iterdir()) if path.is_dir() else [path]
    best = float("inf")
    for _ in range(3):
        start = time.process_time()
        for name in paths:
            fd = os.open(name, os.O_RDONLY)
            try:
                while os.read(fd, 1 << 20):
                    pass
            finally:
                os.close(fd)
        best = min(best, time.process_time() - start)
    return best


def large_messages_file(path: pathlib.Path, total: int, texts: list[bytes]) -> pathlib.Path:
    """A file of `total` bytes of messages of about 256 KB: a corpus message
    with a long OBX value."""
    heads = texts[:50]
    value = b"QUJD" * (64 << 10)
    with path.open("wb") as out:
        written = 0
        for number in range(total // len(value) + 1):
            message = heads[number % len(heads)] + b"\rOBX|1|ED|||" + value + b"\r"
            out.write(message)
            written += len(message)
            if written >= total:
                break
    return path


def jobs_race(inputs: dict[str, pathlib.Path], rounds: int) -> dict[str, object]:
    """--jobs 2 against --jobs 1, by native threads (the command's way) and
    by worker processes, and the default (no --jobs: default_jobs' threads
    for the load then): wall time, start-up subtracted, in turns."""
    empty = next(iter(inputs.values())).parent / "nothing"
    runs: dict[str, tuple[list[str], int | None]] = {
        "1 job": (COMMAND, 1),
        "2 jobs, threads": (COMMAND, 2),
        "2 jobs, processes": (PROCESS_COMMAND, 2),
        "default": (COMMAND, None),
    }
    cpu: dict[str, list[float]] = {}
    wall: dict[str, list[float]] = {}
    for r in range(rounds):
        for name in list(runs) if r % 2 == 0 else list(runs)[::-1]:
            command, jobs = runs[name]
            start = time.perf_counter()
            start_cpu, _ = command_cpu(command, empty, jobs)
            start_up = time.perf_counter() - start
            for target, path in inputs.items():
                start = time.perf_counter()
                seconds, _ = command_cpu(command, path, jobs)
                wall.setdefault(f"{target}, {name}", []).append(max(time.perf_counter() - start - start_up, 1e-9))
                cpu.setdefault(f"{target}, {name}", []).append(max(seconds - start_cpu, 1e-9))
    result: dict[str, object] = {}
    for target in inputs:
        one = statistics.median(wall[f"{target}, 1 job"])
        for way in ("2 jobs (threads)", "2 jobs (processes)", "default"):
            key = f"{target}, {way.replace(' (', ', ').rstrip(')')}"
            result[f"{target}: {way} speed / 1 job"] = round(one / statistics.median(wall[key]), 3)
        # CPU against wall: how much of a second core the runs had.
        result[f"{target}: CPU / wall"] = {
            name: round(statistics.median(cpu[f"{target}, {name}"]) / statistics.median(wall[f"{target}, {name}"]), 2)
            for name in runs
        }
    return result


def main() -> int:
    args = harness.feed_arguments(__doc__, REPO / "bench" / "results.json")
    if not CORPUS.is_dir():
        print(f"no corpus at {CORPUS}", file=sys.stderr)
        return 2
    copies, rounds, sample, folder_bytes, command_rounds = (
        (2, 3, 0.3, 8 << 20, 2) if args.quick else (8, 7, 1.0, 60 << 20, 5)
    )
    batches = corpus_batches(copies)
    messages = [m for batch in batches for m in batch]
    text_bytes = sum(len(m.text.encode("utf-8", "surrogatepass")) for m in messages)
    print(f"input: {len(messages)} messages of at most 8 KB, {text_bytes / 1e6:.1f} MB", file=sys.stderr)
    texts = [[m.text for m in batch] for batch in batches]
    dumps, Hl7Json, encode = orjson.dumps, tessarin.Hl7Json, _columns.encode_records

    results: dict[str, object] = {
        "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
        "mode": "quick" if args.quick else "full",
        "messages": len(messages),
        "text_bytes": text_bytes,
    }
    for escaping in (True, False):
        # Equal output, checked before anything is timed.
        for batch in texts:
            got, _ = encode(batch, escaping_enabled=escaping)
            assert got == [dumps(Hl7Json(t, escaping_enabled=escaping).hl7_json) for t in batch]
        race = harness.race(
            {
                "Hl7Json+orjson": lambda e=escaping: [
                    dumps(Hl7Json(t, escaping_enabled=e).hl7_json) for batch in texts for t in batch
                ],
                "native records": lambda e=escaping: [encode(batch, escaping_enabled=e) for batch in texts],
            },
            rounds,
            sample,
        )
        key = f"escaping {'on' if escaping else 'off'}"
        results[key] = {
            "messages_per_s": {name: round(len(messages) / race.median(name)) for name in race.times},
            "native / Hl7Json+orjson": round(race.ratio("Hl7Json+orjson", "native records"), 3),
        }
        print(f"{key}: {results[key]}", file=sys.stderr)

    settings = tasks.Settings()
    for batch in batches:
        assert tasks.process_messages(batch, settings, Tally()) == dict_path(batch, settings, Tally())
    race = harness.race(
        {
            "lines, dict path": lambda: [dict_path(batch, settings, Tally()) for batch in batches],
            "lines, native": lambda: [tasks.process_messages(batch, settings, Tally()) for batch in batches],
        },
        rounds,
        sample,
    )
    results["JSON Lines step"] = {
        "messages_per_s": {name: round(len(messages) / race.median(name)) for name in race.times},
        "native / dict path": round(race.ratio("lines, dict path", "lines, native"), 3),
    }
    print(f"JSON Lines step: {results['JSON Lines step']}", file=sys.stderr)

    with tempfile.TemporaryDirectory(prefix="tessarin-bench-jsonl-") as scratch:
        root = pathlib.Path(scratch)
        folder, size = build_folder(root, folder_bytes)
        empty = root / "empty"
        empty.mkdir()
        rates: dict[str, list[float]] = {"before (dict path)": [], "after (native)": []}
        commands = {"before (dict path)": DICT_COMMAND, "after (native)": COMMAND}
        for r in range(command_rounds):
            for name in list(commands) if r % 2 == 0 else list(commands)[::-1]:
                start_cpu, _ = command_cpu(commands[name], empty)
                cpu, count = command_cpu(commands[name], folder)
                rates[name].append(count / max(cpu - start_cpu, 1e-9))
        ratio = statistics.median(
            a / b for a, b in zip(rates["after (native)"], rates["before (dict path)"], strict=True)
        )
        results["command, 1 job"] = {
            "input_bytes": size,
            "messages_per_s, start-up subtracted": {name: round(statistics.median(v)) for name, v in rates.items()},
            "after / before": round(ratio, 3),
        }
        shutil.rmtree(folder)
        fast_copies = 10 if args.quick else 460
        results["fast path, 1 job"] = fast_path(
            [m for m in messages[: len(messages) // copies]] * fast_copies, root, command_rounds
        )
        print(f"fast path: {results['fast path, 1 job']}", file=sys.stderr)
        results["folder, us per file"] = folder_breakdown(root / "one-message files", 3 if args.quick else 7)
        inputs = {"folder": root / "one-message files", "big file": root / "big.hl7"}
        inputs["large messages"] = large_messages_file(
            root / "large.hl7",
            (20 << 20) if args.quick else (200 << 20),
            [m.text.encode("utf-8", "surrogatepass") for m in messages[:50]],
        )
        results["jobs"] = jobs_race(inputs, command_rounds)
        print(f"jobs: {results['jobs']}", file=sys.stderr)

    print()
    print(f"{'measure':36} {'ratio':>7}")
    for key in ("escaping on", "escaping off"):
        print(f"{'native records / orjson, ' + key:36} {results[key]['native / Hl7Json+orjson']:>7.2f}")  # type: ignore[index]
    print(f"{'JSON Lines step, native / dicts':36} {results['JSON Lines step']['native / dict path']:>7.2f}")  # type: ignore[index]
    command = results["command, 1 job"]
    print(f"{'command, 1 job, after / before':36} {command['after / before']:>7.2f}")  # type: ignore[index]
    print(f"command messages/s: {command['messages_per_s, start-up subtracted']}")  # type: ignore[index]
    fast = results["fast path, 1 job"]
    print(f"\nfast path, 1 job ({fast['messages']} messages), baseline CPU / command CPU:")  # type: ignore[index]
    print(f"{'input':12} {'native':>8} {'reader':>8} {'parquet':>8}")
    for target in ("folder", "big file"):
        cells = [fast[f"{target}, {path}: baseline / command"] for path in ("native", "reader", "parquet")]  # type: ignore[index]
        print(f"{target:12} " + " ".join(f"{cell:>8.2f}" if cell else f"{'-':>8}" for cell in cells))
    print(f"{'folder walked in Python':12} {fast['folder, walk: baseline / command'] or '-':>8}")  # type: ignore[index]
    print("folder, per file (us, user + kernel):")
    for name, spent in results["folder, us per file"].items():  # type: ignore[attr-defined]
        print(f"  {name:28} {spent['user_us']:6.2f} + {spent['kernel_us']:5.2f}")
    for target in ("folder", "big file"):
        core = fast[f"{target}, per core"]  # type: ignore[index]
        print(
            f"{target}, per core: {core['messages_per_s']} messages/s, {core['MB_per_s']} MB/s;"
            f" page cache read {core['page cache MB_per_s']} MB/s"
        )
    print("\n2 jobs and the default against 1 (wall, start-up subtracted; target >= 1.8, never below 1):")
    for key, ratio in results["jobs"].items():  # type: ignore[attr-defined]
        print(f"  {key:48} {ratio:>6.2f}" if isinstance(ratio, float) else f"  {key:48} {ratio}")
    if not args.no_write:
        harness.keep_results(args.out, {"jsonl": results})
        print(f'written under "jsonl" in {args.out}', file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
