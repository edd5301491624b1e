"""The command to Parquet against the baseline, side by side in one run.

    python bench/parquet_feed.py [--quick] [--no-write]

Input: the corpus's messages of at most 8 KB, repeated to about 60 MB (8 MB
with --quick), laid out as a folder of one-message files and as one big
file. Prints, measured in turns in this run:

- the baseline `orjson.dumps(Hl7Json(text).hl7_json)` over the same texts in
  memory (thread CPU time) against `tessarin convert -o OUT.parquet` (1 job,
  default compression; CPU time, start-up subtracted), as it is and with the
  reader's path put back in place of the native one ("before");
- where the command's time goes, in this process: reading the files alone
  (from the page cache), the native rows (reading, splitting, building the
  Arrow columns), the writer with its compression, and what is left (Python
  per batch, the walk, start-up);
- pyarrow's writer options, one changed at a time from the kept ones: the
  writer's CPU over the kept options' and the file's size (every file reads
  back equal);
- per core: messages per second and MB/s of the native rows, against reading
  the same bytes from the page cache; instructions per message from
  callgrind, where valgrind is installed;
- 2 jobs against 1 job (wall time, start-up subtracted), on both inputs and
  on 200 MB of 256 KB messages: rows built on a second thread alongside the
  writer (the command's way) and in worker processes, and the default;
- memory: the command's peak from 10 MB to a large folder (1 GB; 100 MB with
  --quick), and a native batch's peak over its text.

Results go under the key "parquet feed" of bench/results.json (or --out).
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
import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import tessarin  # noqa: E402
from bench import harness  # noqa: E402
from bench.feeds import COMMAND, CORPUS, PROBE, build_folder, patched_command  # noqa: E402
from bench.jsonl import large_messages_file  # noqa: E402
from tessarin_feeds import _columns, parquet, tasks  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402

MAX_MESSAGE = 8 << 10
TARGETS = {
    "folder": 2.0,
    "big file": 2.5,
    "2 jobs / 1 job": 1.8,
    "memory large / small": 1.2,
    "batch peak / text": 3.0,
}
LIMITS = {"max_message_size": tasks.MAX_MESSAGE_SIZE, "max_fields": tasks.MAX_FIELDS}


def run_reader_path_command() -> int:
    """`tessarin` with the reader splitting every file and Message objects
    going to the column builder, as before the native Parquet rows."""
    from tessarin_feeds.cli import main

    tasks.parquet_natively = lambda settings: False  # type: ignore[assignment]
    return main(sys.argv[1:])


READER_COMMAND = patched_command("bench.parquet_feed", "run_reader_path_command")


def corpus_texts(target_bytes: int) -> list[bytes]:
    texts = [
        m.text.encode()
        for path in sorted(CORPUS.glob("*.hl7"))
        for m in read_messages(path, name=path.name)
        if m.error is None and len(m.text.encode("utf-8", "surrogatepass")) <= MAX_MESSAGE
    ]
    one = sum(len(t) + 1 for t in texts)
    return texts * max(1, round(target_bytes / one))


def lay_out(texts: list[bytes], root: pathlib.Path) -> tuple[pathlib.Path, pathlib.Path]:
    folder, big = root / "one-message files", root / "big.hl7"
    folder.mkdir()
    for number, text in enumerate(texts):
        (folder / f"{number:07}.hl7").write_bytes(text + b"\r")
    big.write_bytes(b"".join(text + b"\r" for text in texts))
    return folder, big


def run_process_pool_command() -> int:
    """`tessarin` with --jobs N in worker processes, as before the rows were built alongside the writer."""
    from tessarin_feeds import pipeline
    from tessarin_feeds.cli import main

    pipeline.parquet_natively = lambda settings: False  # type: ignore[assignment]  # only the choice of pool
    return main(sys.argv[1:])


PROCESS_COMMAND = patched_command("bench.parquet_feed", "run_process_pool_command")


def command(argv: list[str], target: pathlib.Path, out: pathlib.Path, jobs: int | None = 1) -> dict[str, float]:
    """The command's CPU, wall time, messages and peak memory; `jobs` None: the default."""
    chosen = [] if jobs is None else ["--jobs", str(jobs)]
    start = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-c", PROBE, *argv, *chosen, "-o", str(out), str(target)],
        capture_output=True,
        check=True,
    )
    wall = time.perf_counter() - start
    result = json.loads(done.stdout)
    if result["status"] not in (0, 1):  # 1: the corpus holds malformed messages on purpose
        raise SystemExit(f"tessarin convert failed with status {result['status']}")
    return {"cpu": result["cpu"], "wall": wall, "messages": result["messages"], "maxrss_kib": result["maxrss_kib"]}


def net(runs: list[float], start_ups: list[float]) -> float:
    """The median run less the median start-up. On small quick inputs a slow start-up
    can exceed a run, so at least a tenth of the run is kept."""
    median = statistics.median(runs)
    return max(median - statistics.median(start_ups), median / 10)


def baseline_cpu(strings: list[str]) -> float:
    dumps, Hl7Json = orjson.dumps, tessarin.Hl7Json
    start = time.thread_time()
    for text in strings:
        dumps(Hl7Json(text).hl7_json)
    return time.thread_time() - start


def file_items(folder: pathlib.Path) -> list[tuple[bytes, bytes, int]]:
    return [(p.name.encode(), os.fsencode(p), p.stat().st_size) for p in sorted(folder.iterdir())]


def native_rows(items: list[tuple[bytes, bytes, int]]) -> list[pa.RecordBatch]:
    """build_files over the files in tasks of the command's size, each made a batch of SCHEMA."""
    batches = []
    start = 0
    while start < len(items):
        built, (done, _, _) = _columns.build_files(
            items[start : start + tasks.BATCH_FILES],
            **LIMITS,
            limit=tasks.WHOLE_TASK_TEXT,
            first_read=tasks.FIRST_READ,
            whole_max=tasks.WHOLE_FILE_MAX,
            gzip_max=tasks.WHOLE_GZIP_MAX,
        )
        batches.append(parquet._assembled(*built[:3]))
        start += done
    return batches


def read_only(items: list[tuple[bytes, bytes, int]]) -> int:
    total = 0
    for _, path, _ in items:
        fd = os.open(path, os.O_RDONLY)
        try:
            total += len(os.read(fd, 1 << 20))
        finally:
            os.close(fd)
    return total


def write_batches(batches: list[pa.RecordBatch], out: pathlib.Path, changed: dict[str, object] | None = None) -> None:
    """The command's writer over `batches`, with `changed` writer options in place of the kept ones."""
    kept = parquet.WRITER_OPTIONS
    parquet.WRITER_OPTIONS = {**kept, **(changed or {})}
    try:
        with out.open("wb") as stream, parquet.ParquetOutput(stream) as output:
            for batch in batches:
                output.write(batch)
    finally:
        parquet.WRITER_OPTIONS = kept


# pyarrow's writer options, one changed at a time from the kept ones
# (parquet.WRITER_OPTIONS), at the default compression.
WRITER_VARIANTS: dict[str, dict[str, object]] = {
    "kept": {},
    "dictionary on every column": {"use_dictionary": True},
    "statistics on every column": {"write_statistics": True},
    "no statistics": {"write_statistics": False},
    "write_batch_size 1024": {"write_batch_size": 1024},
    "write_batch_size 65536": {"write_batch_size": 65536},
    "data_page_size 256 KiB": {"data_page_size": 256 << 10},
    "data_page_size 4 MiB": {"data_page_size": 4 << 20},
    "no compression (its share)": {"compression": "none"},
}


def writer_options(batches: list[pa.RecordBatch], root: pathlib.Path, rounds: int) -> dict[str, object]:
    """Each variant's writer CPU over the kept options', in turns, and its
    file size; every variant's file reads back equal to the kept one's."""
    files = {name: root / f"variant-{number}.parquet" for number, name in enumerate(WRITER_VARIANTS)}
    for name, changed in WRITER_VARIANTS.items():
        write_batches(batches, files[name], changed)
    kept = pq.read_table(files["kept"])
    for name, path in files.items():
        assert pq.read_table(path).equals(kept), name
    race = harness.race(
        {name: lambda n=name: write_batches(batches, files[n], WRITER_VARIANTS[n]) for name in WRITER_VARIANTS},
        rounds,
        0.5,
    )
    return {
        "CPU / kept": {name: round(race.median(name) / race.median("kept"), 3) for name in WRITER_VARIANTS},
        "MB": {name: round(path.stat().st_size / 1e6, 1) for name, path in files.items()},
    }


def callgrind_per_message(root: pathlib.Path, texts: list[bytes]) -> float | None:
    """Instructions per message of build_feeds over 2,000 messages, less an empty call's."""
    if shutil.which("valgrind") is None:
        return None
    sample = root / "sample.hl7"
    sample.write_bytes(b"".join(t + b"\r" for t in texts[:2000]))
    script = (
        "import sys; from tessarin_feeds import _columns; data = open(sys.argv[1], 'rb').read()[: int(sys.argv[2])]; "
        f"_columns.build_feeds([(b'x', data)], max_message_size={tasks.MAX_MESSAGE_SIZE}, max_fields={tasks.MAX_FIELDS})"
    )
    counts = []
    for size in (0, sample.stat().st_size):
        out = root / f"callgrind.{size}"
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                sys.executable,
                "-c",
                script,
                str(sample),
                str(size),
            ],
            capture_output=True,
            check=True,
        )
        summary = next(line for line in out.read_text().splitlines() if line.startswith(("summary:", "totals:")))
        counts.append(int(summary.split()[1]))
    return round((counts[1] - counts[0]) / min(len(texts), 2000))


BATCH_PROBE = """
import sys, json
sys.path.insert(0, sys.argv[1])
from bench.memprobe import _reset_peak, _status_kib
import pyarrow as pa
from tessarin_feeds import _columns, parquet
data = open(sys.argv[2], "rb").read()
before = _status_kib("VmRSS")
assert _reset_peak()
batch = parquet._assembled(*_columns.build_feeds([(b"big.hl7", data)], max_message_size=1 << 26, max_fields=1 << 20)[:3])
peak = _status_kib("VmHWM")
print(json.dumps({"text_bytes": len(data), "peak_kib": peak - before, "batch_bytes": batch.nbytes}))
"""


def batch_memory(root: pathlib.Path, texts: list[bytes]) -> dict[str, float]:
    """A task's worth of text (WHOLE_TASK_TEXT) to one batch, in a fresh process."""
    feed = root / "task.hl7"
    data = b""
    for text in texts:
        if len(data) >= tasks.WHOLE_TASK_TEXT:
            break
        data += text + b"\r"
    feed.write_bytes(data)
    out = subprocess.run(
        [sys.executable, "-c", BATCH_PROBE, str(REPO), str(feed)], capture_output=True, text=True, check=True
    ).stdout
    probe = json.loads(out)
    probe["batch peak / text"] = round(probe["peak_kib"] * 1024 / probe["text_bytes"], 2)
    return probe


def main() -> int:
    args = harness.feed_arguments(__doc__, REPO / "bench" / "results.json")
    if not CORPUS.is_dir():
        print(f"no corpus at {CORPUS}", file=sys.stderr)
        return 2
    target, rounds, large = (8 << 20, 3, 100 << 20) if args.quick else (60 << 20, 5, 1 << 30)
    texts = corpus_texts(target)
    strings = [t.decode() for t in texts]
    size = sum(len(t) for t in texts)
    print(f"input: {len(texts)} messages of at most 8 KB, {size / 1e6:.1f} MB", file=sys.stderr)
    results: dict[str, object] = {
        "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
        "mode": "quick" if args.quick else "full",
        "messages": len(texts),
        "text_bytes": size,
        "writer": parquet.WRITER_OPTIONS,
    }
    with tempfile.TemporaryDirectory(prefix="tessarin-bench-parquet-") as scratch:
        root = pathlib.Path(scratch)
        folder, big = lay_out(texts, root)
        empty = root / "nothing"
        empty.mkdir()
        out = root / "out.parquet"
        inputs = {"folder": folder, "big file": big}
        large_messages = large_messages_file(root / "large.hl7", (20 << 20) if args.quick else (200 << 20), texts)
        races = {**inputs, "large messages": large_messages}
        ways: dict[str, tuple[list[str], int | None]] = {
            "1 job": (COMMAND, 1),
            "2 jobs, threads": (COMMAND, 2),
            "2 jobs, processes": (PROCESS_COMMAND, 2),
            "default": (COMMAND, None),
        }
        commands = {"now": COMMAND, "before": READER_COMMAND}
        baseline: list[float] = []
        cpu: dict[str, list[float]] = {}
        wall: dict[str, list[float]] = {}
        start_ups: dict[str, list[float]] = {}
        for r in range(rounds):
            baseline.append(baseline_cpu(strings))
            for name in list(commands) if r % 2 == 0 else list(commands)[::-1]:
                start_ups.setdefault(f"cpu, {name}", []).append(command(commands[name], empty, out)["cpu"])
                for label, path in inputs.items():
                    run = command(commands[name], path, out)
                    assert run["messages"] == len(texts), (name, label, run["messages"])
                    cpu.setdefault(f"{label}, {name}", []).append(run["cpu"])
            for way in list(ways) if r % 2 == 0 else list(ways)[::-1]:
                argv, count = ways[way]
                start_ups.setdefault(f"wall, {way}", []).append(command(argv, empty, out, count)["wall"])
                for label, path in races.items():
                    wall.setdefault(f"{label}, {way}", []).append(command(argv, path, out, count)["wall"])
        base = statistics.median(baseline)
        ratios = {
            key: round(base / net(values, start_ups[f"cpu, {key.split(', ')[1]}"]), 3) for key, values in cpu.items()
        }
        by_way = {
            label: {
                way: round(
                    net(wall[f"{label}, 1 job"], start_ups["wall, 1 job"])
                    / net(wall[f"{label}, {way}"], start_ups[f"wall, {way}"]),
                    3,
                )
                for way in list(ways)[1:]
            }
            for label in races
        }
        jobs = {label: by_way[label]["2 jobs, threads"] for label in races}
        results["baseline / command (CPU, start-up subtracted)"] = ratios
        results["2 jobs / 1 job (wall)"] = jobs
        results["speed / 1 job (wall, start-up subtracted)"] = by_way
        print(f"baseline / command: {ratios}", file=sys.stderr)

        # Where the time goes, in this process.
        items = file_items(folder)
        read_only(items)  # into the page cache
        batches = native_rows(items)
        parts = harness.race(
            {
                "read files": lambda: read_only(items),
                "native rows, folder": lambda: native_rows(items),
                "native rows, big file": lambda: [
                    parquet._assembled(*_columns.build_feeds([(b"big.hl7", big.read_bytes())], **LIMITS)[:3])
                ],
                "writer": lambda: write_batches(batches, out),
            },
            rounds,
            0.5,
        )
        results["writer options"] = writer_options(batches, root, rounds)
        print(f"writer options: {results['writer options']}", file=sys.stderr)
        command_cpu = net(cpu["folder, now"], start_ups["cpu, now"])
        shares = {name: round(parts.median(name) / command_cpu, 3) for name in parts.times}
        shares["rest (Python per batch, walk)"] = round(1 - shares["native rows, folder"] - shares["writer"], 3)
        results["share of the command's CPU, folder"] = shares
        per_core = {
            "messages/s, native rows, folder": round(len(texts) / parts.median("native rows, folder")),
            "MB/s, native rows, folder": round(size / 1e6 / parts.median("native rows, folder"), 1),
            "MB/s, native rows, big file": round(size / 1e6 / parts.median("native rows, big file"), 1),
            "MB/s, reading the files alone": round(size / 1e6 / parts.median("read files"), 1),
            "messages/s, command, folder": round(len(texts) / command_cpu),
            "messages/s, command, big file": round(len(texts) / net(cpu["big file, now"], start_ups["cpu, now"])),
            "instructions per message (callgrind)": callgrind_per_message(root, texts),
        }
        results["per core"] = per_core
        results["batch memory"] = batch_memory(root, texts)
        shutil.rmtree(folder)
        memory = {}
        for label, bytes_ in (("small", 10 << 20), ("large", large)):
            feed, input_bytes = build_folder(root, bytes_)
            memory[label] = {"input_bytes": input_bytes, **command(COMMAND, feed, out)}
            shutil.rmtree(feed)
        memory["large / small"] = round(memory["large"]["maxrss_kib"] / memory["small"]["maxrss_kib"], 3)  # type: ignore[assignment]
        results["memory"] = memory
    results["targets"] = TARGETS

    print()
    print(f"Parquet, 1 job, baseline CPU / command CPU ({len(texts)} messages, {size / 1e6:.0f} MB):")
    print(f"{'input':10} {'now':>7} {'before':>7} {'target':>7}")
    for label in inputs:
        print(f"{label:10} {ratios[f'{label}, now']:>7.2f} {ratios[f'{label}, before']:>7.2f} {TARGETS[label]:>7.1f}")
    print(f"2 jobs / 1 job (wall): {jobs} (target >= {TARGETS['2 jobs / 1 job']}, never below 1)")
    for label, speeds in by_way.items():
        print(f"  {label}, speed / 1 job: {speeds}")
    print(f"share of the command's CPU, folder: {shares}")
    print(f"per core: {per_core}")
    print(
        f"memory, {large >> 20} MiB / 10 MiB of input: {memory['large / small']:.2f} "
        f"(target <= {TARGETS['memory large / small']}); batch peak / text: "
        f"{results['batch memory']['batch peak / text']:.2f} (target <= {TARGETS['batch peak / text']})"  # type: ignore[index]
    )
    if not args.no_write:
        harness.keep_results(args.out, {"parquet feed": results})
        print(f'written under "parquet feed" in {args.out}', file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
