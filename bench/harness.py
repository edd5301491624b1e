"""Side-by-side timing: contenders run in turns within one process.

Each round runs every contender once (in a rotated order), each run being a
sample of enough calls to last about `sample` seconds. A ratio is taken per
round between two contenders measured moments apart, and the median of those
ratios is reported: load from other processes on the machine hits both sides
of a round alike and cancels out. Times are the thread's CPU time: on a
machine shared with other work, wall time mostly measures the scheduler.
The cyclic collector stays on, as in a user's process, but every sample
starts from a collected heap. Each call's result is dropped inside the timed
loop, so freeing it counts, as it does for a user.
"""

from __future__ import annotations

import argparse
import gc
import json
import pathlib
import statistics
import time
from collections.abc import Callable

Clock = time.thread_time


def _calls(fn: Callable[[], object], loops: int) -> float:
    gc.collect()
    start = Clock()
    for _ in range(loops):
        fn()
    return Clock() - start


def calibrate(fn: Callable[[], object], sample: float, first: float | None = None) -> int:
    """Calls per sample. `first` is the time of a call already made."""
    if first is None:
        first = _calls(fn, 1)
    if first >= sample:
        return 1
    loops = 1
    elapsed = first
    while elapsed < sample / 4 and loops < 10**7:
        loops *= 10
        elapsed = _calls(fn, loops)
    return max(1, round(loops * sample / max(elapsed, 1e-9)))


class Race:
    """Per-call times of each contender, one entry per round."""

    def __init__(self, times: dict[str, list[float]]):
        self.times = times

    def median(self, name: str) -> float:
        return statistics.median(self.times[name])

    def ratio(self, ours: str, other: str) -> float:
        return statistics.median(a / b for a, b in zip(self.times[ours], self.times[other], strict=True))


def race(
    contenders: dict[str, Callable[[], object]],
    rounds: int,
    sample: float,
    budget: float | None = None,
    first: dict[str, float] | None = None,
) -> Race:
    """Time the contenders in turns. `budget` (seconds) lowers the number of
    rounds, never below three, when one round takes long; `first` gives the
    time of a call already made per contender (a warm-up that also checked
    the result)."""
    first = first or {}
    loops = {name: calibrate(fn, sample, first.get(name)) for name, fn in contenders.items()}
    names = list(contenders)
    times: dict[str, list[float]] = {name: [] for name in names}
    spent = 0.0
    for r in range(rounds):
        if budget is not None and r >= 3 and spent / r * (r + 1) > budget:
            break
        start = Clock()
        k = r % len(names)
        for name in names[k:] + names[:k]:
            times[name].append(_calls(contenders[name], loops[name]) / loops[name])
        spent += Clock() - start
    return Race(times)


def timed(fn: Callable[[], object]) -> tuple[object, float]:
    """Result and duration of one call."""
    gc.collect()
    start = Clock()
    result = fn()
    return result, Clock() - start


def feed_arguments(doc: str, default_out: pathlib.Path) -> argparse.Namespace:
    """The options the feed and column benchmarks share."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small inputs, few rounds")
    parser.add_argument("--out", type=pathlib.Path, default=default_out)
    parser.add_argument("--no-write", action="store_true", help="print only")
    return parser.parse_args()


def keep_results(path: pathlib.Path, results: dict) -> None:
    """Writes `results`' keys into the JSON file at `path`; the other benchmarks' keys stay."""
    kept = json.loads(path.read_text()) if path.exists() else {}
    kept.update(results)
    path.write_text(json.dumps(kept, indent=1, default=str) + "\n")
