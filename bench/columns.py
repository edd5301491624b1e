"""The column path against the dict path, side by side in one run.

    python bench/columns.py [--quick] [--no-write]

Inputs: the corpus copied many times, cut into its files, and generated
ORU^R01 messages of 10 to 10,000 OBX. Timed in turns in this process
(bench/harness.py, thread CPU time):
- Hl7Json: `Hl7Json(text).hl7_json` for every message;
- arrow batch: the column builder's batch of every file, in pyarrow;
- dict -> parquet: per file, the records of every message made into a
  pyarrow table by encode_rows and written as one row group;
- columns -> parquet: per file, convert_to_batch written as one row group.
Both Parquet contenders write with the settings the command uses. Then the
writer's settings are raced against each other on the corpus, a batch's peak
memory is measured in a fresh process, and `tessarin convert` writes a small
and a large feed to Parquet for its peak memory. Results go under the key
"columns" of bench/results.json.
"""

from __future__ import annotations

import datetime
import io
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))

import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import tessarin  # noqa: E402
from bench import harness  # noqa: E402
from bench.dict_paths import encode_rows  # noqa: E402
from bench.feeds import CORPUS, PROBE, build_folder  # noqa: E402
from bench.generate import oru_r01  # noqa: E402
from tessarin_feeds import _columns  # noqa: E402
from tessarin_feeds.model import Message  # noqa: E402
from tessarin_feeds.parquet import FLAT_COLUMNS, WRITER_OPTIONS, convert_to_batch  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402
from tessarin_feeds.tasks import Settings, convert_message  # noqa: E402

TARGETS = {
    "Hl7Json / arrow batch": 2.0,
    "dict / columns, to parquet": 3.0,
    "batch peak / text": 3.0,
    "feed peak large / small": 1.2,
}
SETTINGS = Settings(action="convert", output_format="parquet")


def corpus_files(copies: int) -> list[list[Message]]:
    """The corpus messages `copies` times over, in feed files of about 1 MB."""
    messages = [m for path in sorted(CORPUS.glob("*.hl7")) for m in read_messages(path, name=path.name)] * copies
    files: list[list[Message]] = [[]]
    size = 0
    for message in messages:
        if size >= 1 << 20:
            files.append([])
            size = 0
        files[-1].append(message)
        size += len(message.text)
    return files


def generated_files(n_obx: int, text_bytes: int) -> list[list[Message]]:
    """Messages of n_obx OBX, about text_bytes in all, in files of about 1 MB."""
    text = oru_r01(n_obx)
    per_file = max(1, (1 << 20) // len(text))
    files = max(1, text_bytes // (per_file * len(text)))
    return [[Message(f"gen{f}", i, i * len(text), text) for i in range(per_file)] for f in range(files)]


def write_parquet(batch: pa.RecordBatch, **options: object) -> int:
    sink = io.BytesIO()
    pq.write_table(pa.Table.from_batches([batch]), sink, row_group_size=max(1, batch.num_rows), **options)
    return sink.tell()


def dict_to_parquet(files: list[list[Message]]) -> None:
    for messages in files:
        write_parquet(encode_rows([convert_message(m, SETTINGS) for m in messages]), **WRITER_OPTIONS)


def columns_to_parquet(files: list[list[Message]], options: dict[str, object]) -> int:
    return sum(write_parquet(convert_to_batch(messages), **options) for messages in files)


def race_paths(files: list[list[Message]], rounds: int, sample: float) -> dict[str, float]:
    texts = [m.text for messages in files for m in messages if m.error is None]
    file_texts = [[m.text for m in messages if m.error is None] for messages in files]
    size = sum(len(t.encode()) for t in texts)
    first = convert_to_batch(files[0])
    assert first.equals(encode_rows([convert_message(m, SETTINGS) for m in files[0]])), "the paths differ"
    contenders = {
        "Hl7Json": lambda: [tessarin.Hl7Json(t).hl7_json for t in texts],
        "arrow batch": lambda: [pa.record_batch(_columns.build(t)) for t in file_texts],
        "dict -> parquet": lambda: dict_to_parquet(files),
        "columns -> parquet": lambda: columns_to_parquet(files, WRITER_OPTIONS),
    }
    race = harness.race(contenders, rounds, sample)
    result = {f"{name} MB/s": round(size / race.median(name) / 1e6, 1) for name in contenders}
    result["Hl7Json / arrow batch"] = round(race.ratio("Hl7Json", "arrow batch"), 2)
    result["dict / columns, to parquet"] = round(race.ratio("dict -> parquet", "columns -> parquet"), 2)
    result["text_bytes"] = size
    return result


WRITER_CHOICES = {
    f"{compression}, dictionary {'on' if dictionary else 'off'}, statistics {'all' if every else 'flat'}": {
        "compression": compression,
        "use_dictionary": dictionary,
        "write_statistics": True if every else list(FLAT_COLUMNS),
    }
    for compression in ("none", "snappy", "zstd")
    for dictionary in (True, False)
    for every in (True, False)
}


def race_writer(files: list[list[Message]], rounds: int, sample: float) -> dict[str, dict[str, float]]:
    batches = [convert_to_batch(messages) for messages in files]
    contenders = {
        name: (lambda options=options: [write_parquet(b, **options) for b in batches])
        for name, options in WRITER_CHOICES.items()
    }
    race = harness.race(contenders, rounds, sample)
    fastest = min(contenders, key=race.median)
    return {
        name: {
            "time / fastest": round(race.ratio(name, fastest), 2),
            "bytes": sum(write_parquet(b, **options) for b in batches),
        }
        for name, options in WRITER_CHOICES.items()
    }


BATCH_PROBE = """
import sys, json
sys.path.insert(0, sys.argv[1])
from bench.memprobe import _reset_peak, _status_kib
from bench.generate import oru_r01
import pyarrow as pa
from tessarin_feeds import _columns
n_obx, count = int(sys.argv[2]), int(sys.argv[3])
texts = [oru_r01(n_obx)] * count
size = sum(len(t) for t in texts)
for t in texts: t.encode()  # the UTF-8 that the builder reads is the input's, not the batch's
before = _status_kib("VmRSS")
assert _reset_peak()
batch = pa.record_batch(_columns.build(texts))
peak = _status_kib("VmHWM")
print(json.dumps({"text_bytes": size, "peak_kib": peak - before, "batch_bytes": batch.nbytes}))
"""


def batch_memory(n_obx: int, count: int) -> dict[str, float]:
    out = subprocess.run(
        [sys.executable, "-c", BATCH_PROBE, str(REPO), str(n_obx), str(count)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    probe = json.loads(out)
    probe["batch peak / text"] = round(probe["peak_kib"] * 1024 / probe["text_bytes"], 2)
    return probe


def feed_peak(folder: pathlib.Path, out: pathlib.Path) -> dict[str, float]:
    command = [
        sys.executable,
        "-m",
        "tessarin_feeds",
        "convert",
        "--no-progress",
        "--jobs",
        "1",
        "-o",
        str(out),
        str(folder),
    ]
    result = json.loads(
        subprocess.run([sys.executable, "-c", PROBE, *command], capture_output=True, text=True, check=True).stdout
    )
    if result["status"] not in (0, 1):  # 1: the corpus holds malformed messages on purpose
        raise SystemExit(f"tessarin convert failed with status {result['status']}")
    return {"maxrss_kib": result["maxrss_kib"], "cpu_s": round(result["cpu"], 2)}


def main() -> int:
    args = harness.feed_arguments(__doc__, REPO / "bench" / "results.json")
    if not CORPUS.is_dir():
        print(f"no corpus at {CORPUS}", file=sys.stderr)
        return 2
    copies, generated_bytes, rounds, sample = (1, 2 << 20, 3, 0.2) if args.quick else (8, 16 << 20, 5, 0.5)
    small, large = (10 << 20, 100 << 20) if args.quick else (10 << 20, 1 << 30)
    results: dict[str, object] = {
        "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
        "mode": "quick" if args.quick else "full",
        "writer": WRITER_OPTIONS,
    }
    speed: dict[str, dict[str, float]] = {}
    inputs = {f"corpus x{copies}": lambda: corpus_files(copies)}
    inputs.update({f"ORU {n} OBX": (lambda n=n: generated_files(n, generated_bytes)) for n in (10, 100, 1000, 10000)})
    for name, make in inputs.items():
        speed[name] = race_paths(make(), rounds, sample)
        print(f"{name:16} {json.dumps(speed[name])}", file=sys.stderr)
    results["speed"] = speed
    results["writer settings (corpus)"] = race_writer(corpus_files(copies), rounds, sample)
    for name, row in results["writer settings (corpus)"].items():  # type: ignore[attr-defined]
        print(f"writer {name:24} {row}", file=sys.stderr)
    memory = {f"ORU {n} OBX x{count}": batch_memory(n, count) for n, count in ((10, 20000), (10000, 16), (400000, 1))}
    for name, row in memory.items():
        print(f"batch memory {name:20} {row}", file=sys.stderr)
    with tempfile.TemporaryDirectory(prefix="tessarin-bench-columns-") as scratch:
        root = pathlib.Path(scratch)
        feeds = {}
        for label, target in (("small", small), ("large", large)):
            folder, size = build_folder(root, target)
            feeds[label] = {"input_bytes": size, **feed_peak(folder, root / f"{label}.parquet")}
            print(f"feed {label}: {feeds[label]}", file=sys.stderr)
            shutil.rmtree(folder)
        feeds["large / small"] = round(feeds["large"]["maxrss_kib"] / feeds["small"]["maxrss_kib"], 3)  # type: ignore[assignment]
    results["batch memory"] = memory
    results["feed to parquet"] = feeds
    results["targets"] = TARGETS

    print()
    print(f"{'input':16} {'Hl7Json / arrow batch':>22} {'dict / columns, parquet':>24}")
    for name, row in speed.items():
        print(f"{name:16} {row['Hl7Json / arrow batch']:>22.2f} {row['dict / columns, to parquet']:>24.2f}")
    print(f"targets: >= {TARGETS['Hl7Json / arrow batch']} and >= {TARGETS['dict / columns, to parquet']}")
    worst = max(row["batch peak / text"] for row in memory.values())
    print(f"batch peak / text, worst: {worst:.2f} (target <= {TARGETS['batch peak / text']})")
    print(f"feed peak, {large >> 20} MiB / {small >> 20} MiB: {feeds['large / small']:.2f} (target <= 1.2)")
    if not args.no_write:
        harness.keep_results(args.out, {"columns": results})
        print(f'written under "columns" in {args.out}', file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
