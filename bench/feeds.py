"""Benchmark of the `tessarin convert` command on whole feeds.

    python bench/feeds.py            full run (about ten minutes on 2 cores)
    python bench/feeds.py --quick    smoke run (well under a minute)

Input: a folder of the corpus files (../shared/corpus/hl7/*.hl7) linked many
times over. Prints, side by side from one run:

- speed, in messages per second: the command with 1 job, end to end (read,
  split, convert, write JSON Lines), against `orjson.dumps(Hl7Json(text).hl7_json)`
  on the same messages already split, in this process (CPU time on both
  sides); and 2 jobs against 1 job (wall time, runs in turns, median of the
  per-round ratios), with the share of the 2-job run's CPU that the command's
  own process spends (walking the folders, writing the workers' output). The
  input is large (400 MB) so that starting the interpreter counts little;
- peak memory of the command, from a small folder to a large one (1 job:
  the process's own peak, from getrusage; 2 jobs: the sum of the resident
  sets of the command and its workers, sampled).

Results go under the key "feeds" of bench/results.json (or --out); the
file's other keys are kept.
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
import threading
import time

import orjson

import tessarin

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))
from bench import harness  # noqa: E402

CORPUS = REPO.parent / "shared" / "corpus" / "hl7"
COMMAND = [sys.executable, "-m", "tessarin_feeds", "convert", "--no-progress"]


def patched_command(module: str, function: str) -> list[str]:
    """COMMAND run through `module.function`, which patches the command
    (an earlier path, say) and then calls its main."""
    code = f"import sys; sys.path.insert(0, {str(REPO)!r}); from {module} import {function}; sys.exit({function}())"
    return [sys.executable, "-c", code, *COMMAND[3:]]


TARGETS = {"2 jobs / 1 job": 1.7, "1 job / Hl7Json+orjson": 0.7, "memory large / small": 1.2}


def build_folder(root: pathlib.Path, target_bytes: int) -> tuple[pathlib.Path, int]:
    """A folder of copies (hard links where possible) of the corpus; its size."""
    files = sorted(CORPUS.glob("*.hl7"))
    one = sum(p.stat().st_size for p in files)
    copies = max(1, round(target_bytes / one))
    folder = root / f"feed-{target_bytes}"
    for n in range(copies):
        part = folder / f"copy{n:05}"
        part.mkdir(parents=True)
        for path in files:
            try:
                os.link(path, part / path.name)
            except OSError:
                shutil.copyfile(path, part / path.name)
    return folder, copies * one


def split_messages(folder: pathlib.Path) -> list[str]:
    from tessarin_feeds.reader import read_messages

    return [m.text for p in sorted(folder.rglob("*.hl7")) for m in read_messages(p) if m.error is None]


def baseline_seconds(texts: list[str]) -> float:
    """CPU time of converting and serialising the messages, nothing else."""
    dumps, convert = orjson.dumps, tessarin.Hl7Json
    start = time.thread_time()
    for text in texts:
        dumps(convert(text).hl7_json)
    return time.thread_time() - start


PROBE = """
import resource, subprocess, sys, json
done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
use = resource.getrusage(resource.RUSAGE_CHILDREN)
print(json.dumps({"status": done.returncode, "cpu": use.ru_utime + use.ru_stime, "maxrss_kib": use.ru_maxrss,
                  "messages": next((int(l.split()[1]) for l in done.stderr.decode().splitlines() if l.startswith("messages:")), 0)}))
"""


def _tree_rss_kib(pgid: int) -> int:
    total = 0
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if os.getpgid(int(entry.name)) != pgid:
                continue
            for line in (entry / "status").read_text().splitlines():
                if line.startswith("VmRSS:"):
                    total += int(line.split()[1])
        except (OSError, ProcessLookupError):
            continue
    return total


def _own_cpu_seconds(probe: int) -> float | None:
    """CPU time so far of the command itself (the probe's child), not of its workers."""
    try:
        children = pathlib.Path(f"/proc/{probe}/task/{probe}/children").read_text().split()
        if not children:
            return None
        fields = pathlib.Path(f"/proc/{children[0]}/stat").read_text().rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime, stime
    except (OSError, ValueError, IndexError):
        return None


def run_command(
    folder: pathlib.Path, jobs: int, sample_tree: bool = False, sample_parent: bool = False
) -> dict[str, float]:
    """One run of the command, in a fresh process group: wall and CPU time, peaks;
    with `sample_parent`, the CPU time of the command's own process (its last
    sample before it exits, every 50 ms: a little low)."""
    argv = [sys.executable, "-c", PROBE, *COMMAND, "--jobs", str(jobs), str(folder)]
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, start_new_session=True)
    peak = 0
    parent_cpu = 0.0
    sampling = sample_tree or sample_parent
    if sampling:
        stop = threading.Event()

        def sample() -> None:
            nonlocal peak, parent_cpu
            while not stop.wait(0.02 if sample_tree else 0.05):
                if sample_tree:
                    peak = max(peak, _tree_rss_kib(process.pid))
                if sample_parent:
                    parent_cpu = _own_cpu_seconds(process.pid) or parent_cpu

        sampler = threading.Thread(target=sample)
        sampler.start()
    out, _ = process.communicate()
    wall = time.perf_counter() - start
    if sampling:
        stop.set()
        sampler.join()
    result = json.loads(out)
    if result["status"] not in (0, 1):  # 1: the corpus holds malformed messages on purpose
        raise SystemExit(f"tessarin convert failed with status {result['status']}")
    return {
        "wall": wall,
        "cpu": result["cpu"],
        "maxrss_kib": result["maxrss_kib"],
        "tree_kib": peak,
        "messages": result["messages"],
        "parent_cpu": parent_cpu,
    }


def main() -> int:
    args = harness.feed_arguments(__doc__, REPO / "bench" / "results.json")
    if not CORPUS.is_dir():
        print(f"no corpus at {CORPUS}", file=sys.stderr)
        return 2
    speed_bytes, small_bytes, large_bytes, rounds = (
        (4 << 20, 2 << 20, 40 << 20, 2) if args.quick else (400 << 20, 10 << 20, 1 << 30, 5)
    )
    results: dict[str, object] = {
        "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
        "mode": "quick" if args.quick else "full",
        "cores": os.cpu_count(),
    }
    with tempfile.TemporaryDirectory(prefix="tessarin-bench-feeds-") as scratch:
        root = pathlib.Path(scratch)
        folder, size = build_folder(root, speed_bytes)
        texts = split_messages(folder)
        print(f"speed input: {size / 1e6:.0f} MB, {len(texts)} convertible messages", file=sys.stderr)

        empty = root / "empty"
        empty.mkdir()
        # The fixed cost of a run (interpreter, imports, starting the workers)
        # is measured too, and reported apart from the cost per message.
        start_1, start_2 = run_command(empty, 1), run_command(empty, 2)
        one_vs_base, two_vs_one, rates = [], [], {"baseline": [], "1 job": [], "2 jobs": []}
        adjusted_one, adjusted_two = [], []
        parent_share: list[float] = []  # of the 2-job run's CPU, spent by the command's own process
        for r in range(rounds):
            order = [1, 2] if r % 2 == 0 else [2, 1]
            runs = {jobs: run_command(folder, jobs, sample_parent=jobs == 2) for jobs in order}
            parent_share.append(runs[2]["parent_cpu"] / runs[2]["cpu"])
            base = baseline_seconds(texts)
            messages = runs[1]["messages"]
            rates["baseline"].append(len(texts) / base)
            rates["1 job"].append(messages / runs[1]["cpu"])
            rates["2 jobs"].append(messages / runs[2]["wall"])
            # Per message, so that the messages the baseline cannot convert do not count against it.
            one_vs_base.append((len(texts) / base) and (messages / runs[1]["cpu"]) / (len(texts) / base))
            two_vs_one.append(runs[1]["wall"] / runs[2]["wall"])
            adjusted_one.append(
                (len(texts) / base) and (messages / (runs[1]["cpu"] - start_1["cpu"])) / (len(texts) / base)
            )
            adjusted_two.append((runs[1]["wall"] - start_1["wall"]) / (runs[2]["wall"] - start_2["wall"]))
            print(
                f"round {r + 1}: 1 job / baseline {one_vs_base[-1]:.2f}, 2 jobs / 1 job {two_vs_one[-1]:.2f}",
                file=sys.stderr,
            )
        results["speed"] = {
            "input_bytes": size,
            "messages": messages,
            "messages_per_s": {name: round(statistics.median(v)) for name, v in rates.items()},
            "1 job / Hl7Json+orjson": round(statistics.median(one_vs_base), 3),
            "2 jobs / 1 job": round(statistics.median(two_vs_one), 3),
            "2 jobs: parent's share of the CPU": round(statistics.median(parent_share), 3),
            "startup": {
                "1 job cpu_s": round(start_1["cpu"], 3),
                "1 job wall_s": round(start_1["wall"], 3),
                "2 jobs wall_s": round(start_2["wall"], 3),
            },
            "without startup": {
                "1 job / Hl7Json+orjson": round(statistics.median(adjusted_one), 3),
                "2 jobs / 1 job": round(statistics.median(adjusted_two), 3),
            },
        }
        shutil.rmtree(folder)

        memory: dict[str, dict[str, int]] = {}
        for label, target in (("small", small_bytes), ("large", large_bytes)):
            folder, size = build_folder(root, target)
            one = run_command(folder, 1, sample_tree=True)
            two = run_command(folder, 2, sample_tree=True)
            memory[label] = {
                "input_bytes": size,
                "1 job maxrss_kib": int(one["maxrss_kib"]),
                "2 jobs tree_kib": int(two["tree_kib"]),
            }
            print(
                f"memory {label}: {size / 1e6:.0f} MB in, 1 job {one['maxrss_kib'] / 1024:.0f} MiB, "
                f"2 jobs {two['tree_kib'] / 1024:.0f} MiB (all processes)",
                file=sys.stderr,
            )
            shutil.rmtree(folder)
        memory["ratio"] = {
            "1 job": round(memory["large"]["1 job maxrss_kib"] / memory["small"]["1 job maxrss_kib"], 3),  # type: ignore[dict-item]
            "2 jobs": round(memory["large"]["2 jobs tree_kib"] / memory["small"]["2 jobs tree_kib"], 3),  # type: ignore[dict-item]
        }
        results["memory"] = memory
    results["targets"] = TARGETS

    speed = results["speed"]
    print()
    print(f"{'measure':28} {'ours':>8} {'target':>8}")
    print(f"{'1 job / Hl7Json+orjson':28} {speed['1 job / Hl7Json+orjson']:>8.2f} {'>= 0.7':>8}")  # type: ignore[index]
    print(f"{'2 jobs / 1 job':28} {speed['2 jobs / 1 job']:>8.2f} {'>= 1.7':>8}")  # type: ignore[index]
    adjusted = speed["without startup"]  # type: ignore[index]
    print(f"{'  the same, startup excluded':28} {adjusted['1 job / Hl7Json+orjson']:>8.2f}")
    print(f"{'  2 jobs, startup excluded':28} {adjusted['2 jobs / 1 job']:>8.2f}")
    for jobs in ("1 job", "2 jobs"):
        print(f"{'memory large/small, ' + jobs:28} {memory['ratio'][jobs]:>8.2f} {'<= 1.2':>8}")
    share = speed["2 jobs: parent's share of the CPU"]  # type: ignore[index]
    print(f"{'2 jobs: parent share of CPU':28} {share:>8.2f}")
    print(f"messages/s: {speed['messages_per_s']}")  # type: ignore[index]
    if not args.no_write:
        harness.keep_results(args.out, {"feeds": results})
        print(f'written under "feeds" in {args.out}', file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
