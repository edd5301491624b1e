"""Benchmark of tessarin against its peers and against the object-building floor.

    python bench/run.py            full run (under ten minutes on 2 cores)
    python bench/run.py --quick    smoke run (under a minute)

Every figure is a ratio tessarin / other, both timed in this process in turns
(bench/harness.py), median over the rounds. Prints a table and writes
bench/results.json (or --out). Needs tessarin built into the running
interpreter and the bench extra (orjson, hl7, hl7apy).

Inputs: every UTF-8 message of ../shared/corpus/hl7 next to the repository,
fed as its text, and ORU^R01 messages with 10 to 100,000 OBX segments from
bench/generate.py.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import gc
import importlib.metadata
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))

import orjson  # noqa: E402

import tessarin  # noqa: E402
from bench import generate, harness, reference, walks  # noqa: E402

# Speed and memory targets, as ratios tessarin / other (time, or memory).
TARGETS = {
    "python-hl7": 1 / 50,
    "hl7apy": 1 / 200,
    "orjson.loads": 1.0,
    "assemble.escaped": 1 / 20,
    "assemble.unescaped": 1 / 20,
    "orjson.dumps": 1.5,
    "from_file": 1 / 3,
    "smallest.hl7_json": 1.5,
    "smallest.hl7_string": 2.0,
    "flatness": 1.2,
    "memory": 1.5,
}


@dataclass
class Mode:
    rounds: int
    sample: float  # seconds per timed sample
    corpus_sample: float
    budget: float  # seconds per race before rounds are cut (never below 3)
    peer_max_call: float  # skip a peer on a generated size above this estimate
    sizes: tuple[int, ...]
    corpus_step: int  # every n-th corpus message


FULL = Mode(
    rounds=5, sample=0.02, corpus_sample=0.003, budget=25.0, peer_max_call=12.0, sizes=generate.SIZES, corpus_step=1
)
QUICK = Mode(
    rounds=3, sample=0.005, corpus_sample=0.002, budget=4.0, peer_max_call=1.5, sizes=(10, 100, 1_000), corpus_step=5
)


@dataclass
class Message:
    name: str
    text: str
    nbytes: int
    obx: int | None = None
    results: dict = field(default_factory=dict)


def _log(*parts) -> None:
    print(*parts, file=sys.stderr, flush=True)


SPENT: dict[str, float] = {}


@contextlib.contextmanager
def spent(case: str, msg: Message | None):
    """Add the wall time of the block to the run's account, by case and input kind."""
    start = time.perf_counter()
    yield
    where = "" if msg is None else "corpus" if msg.obx is None else f"{msg.obx} OBX"
    key = f"{case} {where}".strip()
    SPENT[key] = SPENT.get(key, 0.0) + time.perf_counter() - start


def load_corpus(folder: Path) -> tuple[list[Message], list[str]]:
    messages, skipped = [], []
    for path in sorted(folder.glob("*.hl7")):
        raw = path.read_bytes()
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            skipped.append(path.name)
            continue
        messages.append(Message(path.name, text, len(raw)))
    return messages, skipped


def same_records(a: list[dict], b: list[dict]) -> bool:
    return a == b and all(list(x) == list(y) for x, y in zip(a, b, strict=True))


# -- case 1: HL7 text to records ------------------------------------------------


def case1(msg: Message, mode: Mode, sample: float, peer_rate: dict[str, tuple[float, int]]) -> list[dict]:
    text = msg.text
    ours_fn = lambda: tessarin.Hl7Json(text).hl7_json  # noqa: E731
    ours, t_ours = harness.timed(ours_fn)
    data = orjson.dumps(ours)
    assert same_records(orjson.loads(data), ours), msg.name
    contenders = {"tessarin": ours_fn, "orjson.loads": lambda: orjson.loads(data)}
    first = {"tessarin": t_ours}
    peers: dict[str, dict] = {}
    for peer, walk in walks.PEERS.items():
        # Peers cost the same per byte at every generated size (checked from
        # 10 OBX up), so one that would take too long is scaled from the
        # largest size it ran on instead.
        if msg.obx is not None and peer in peer_rate and peer_rate[peer][0] * msg.nbytes > mode.peer_max_call:
            rate, basis = peer_rate[peer]
            peers[peer] = {"status": "not run", "estimate": rate * msg.nbytes, "scaled_from_obx": basis}
            continue
        try:
            theirs, t = harness.timed(lambda walk=walk: walk(text))
        except Exception as exc:  # a peer that rejects the message
            peers[peer] = {"status": "differs", "reason": f"{type(exc).__name__}: {exc}"[:200]}
            continue
        if theirs == ours:
            peers[peer] = {"status": "agrees"}
            contenders[peer] = lambda walk=walk: walk(text)
            first[peer] = t
        else:
            peers[peer] = {"status": "differs", "reason": _first_difference(theirs, ours)}
    race = harness.race(contenders, mode.rounds, sample, mode.budget, first)
    out = {"tessarin_s": race.median("tessarin"), "peers": peers, "rounds": len(race.times["tessarin"])}
    for other in contenders:
        if other != "tessarin":
            out[other] = {"ratio": race.ratio("tessarin", other), "other_s": race.median(other)}
    for peer, info in peers.items():
        if info["status"] == "agrees" and msg.obx is not None:
            peer_rate[peer] = (out[peer]["other_s"] / msg.nbytes, msg.obx)
        if info["status"] == "not run":
            out[peer] = {
                "ratio": out["tessarin_s"] / info["estimate"],
                "other_s": info["estimate"],
                "extrapolated": True,
            }
    msg.results["case1"] = out
    return ours


def _first_difference(theirs: list[dict], ours: list[dict]) -> str:
    if len(theirs) != len(ours):
        return f"{len(theirs)} records, tessarin {len(ours)}"
    for i, (a, b) in enumerate(zip(theirs, ours, strict=True)):
        if a != b:
            keys = [k for k in sorted(set(a) | set(b)) if a.get(k) != b.get(k)][:2]
            shown = ", ".join(f"{k!r}: {a.get(k)!r} vs {b.get(k)!r}" for k in keys)
            return f"record {i}: {shown}"[:200]
    return "records differ in order"


# -- case 2: records to HL7 text ---------------------------------------------------


def case2(msg: Message, records: list[dict], mode: Mode, sample: float) -> None:
    contenders = {
        "hl7_string": lambda: tessarin.JsonHl7(records).hl7_string,
        "hl7_string_unescaped": lambda: tessarin.JsonHl7(records).hl7_string_unescaped,
        "orjson.dumps": lambda: orjson.dumps(records),
    }
    agrees = {}
    first = {}
    for escaped, ours_name, py_name in (
        (True, "hl7_string", "assemble.escaped"),
        (False, "hl7_string_unescaped", "assemble.unescaped"),
    ):
        expected, first[ours_name] = harness.timed(contenders[ours_name])
        theirs, first[py_name] = harness.timed(lambda escaped=escaped: reference.assemble(records, escaped))
        agrees[py_name] = theirs == expected
        if agrees[py_name]:
            contenders[py_name] = lambda escaped=escaped: reference.assemble(records, escaped)
        del expected, theirs
    race = harness.race(contenders, mode.rounds, sample, mode.budget, first)
    out = {"rounds": len(race.times["hl7_string"]), "python_agrees": agrees}
    for ours_name in ("hl7_string", "hl7_string_unescaped"):
        py_name = "assemble.escaped" if ours_name == "hl7_string" else "assemble.unescaped"
        row = {"tessarin_s": race.median(ours_name), "orjson.dumps": race.ratio(ours_name, "orjson.dumps")}
        if py_name in contenders:
            row[py_name] = race.ratio(ours_name, py_name)
        out[ours_name] = row
    msg.results["case2"] = out


# -- case 3: JSON file to JsonHl7 ------------------------------------------------------


def case3(msg: Message, records: list[dict], folder: Path, mode: Mode, sample: float) -> None:
    path = folder / "records.json"
    path.write_bytes(orjson.dumps(records))

    def with_json():
        with open(path, "rb") as f:
            return tessarin.JsonHl7(json.load(f))

    def with_orjson():
        with open(path, "rb") as f:
            return tessarin.JsonHl7(orjson.loads(f.read()))

    from_file = lambda: tessarin.JsonHl7.from_file(str(path))  # noqa: E731
    loaded, first = harness.timed(from_file)
    agrees = loaded.json_data == records
    del loaded
    race = harness.race(
        {"from_file": from_file, "json.load": with_json, "orjson.loads": with_orjson},
        mode.rounds,
        sample,
        mode.budget,
        {"from_file": first},
    )
    msg.results["case3"] = {
        "agrees": agrees,
        "rounds": len(race.times["from_file"]),
        "from_file_s": race.median("from_file"),
        "json.load": race.ratio("from_file", "json.load"),
        "orjson.loads": race.ratio("from_file", "orjson.loads"),
    }
    path.unlink()


# -- case 4: validation throughput -------------------------------------------------------


def case4(msg: Message, mode: Mode, sample: float) -> None:
    obj = tessarin.Hl7Json(msg.text)
    try:
        obj.validate(True, True)
    except Exception as exc:  # only valid messages count
        msg.results["case4"] = {"valid": False, "reason": str(exc)[:120]}
        return
    race = harness.race(
        {"validate": lambda: obj.validate(True, True), "hl7_json": lambda: tessarin.Hl7Json(msg.text).hl7_json},
        mode.rounds,
        sample,
        mode.budget,
    )
    seconds = race.median("validate")
    msg.results["case4"] = {
        "valid": True,
        "validate_s": seconds,
        "mb_per_s": msg.nbytes / seconds / 1e6,
        "hl7_json": race.ratio("validate", "hl7_json"),
    }


# -- case 5: scaling ---------------------------------------------------------------------


def case5_time(texts: dict[int, str], mode: Mode) -> dict:
    """Time per input byte of every size, all sizes in one race; orjson.loads
    of the same records alongside shows how much of any growth comes with
    the objects themselves (allocation and cache misses) whoever builds them."""
    sizes = list(texts)
    nbytes = {n: len(texts[n].encode()) for n in sizes}
    contenders = {}
    for n in sizes:
        data = orjson.dumps(tessarin.Hl7Json(texts[n]).hl7_json)
        contenders[("tessarin", n)] = lambda t=texts[n]: tessarin.Hl7Json(t).hl7_json
        contenders[("orjson.loads", n)] = lambda d=data: orjson.loads(d)
    race = harness.race(contenders, mode.rounds, mode.sample, mode.budget * 2)
    base = 1_000 if 1_000 in sizes else sizes[-1]
    out: dict = {}
    for who in ("tessarin", "orjson.loads"):
        per_byte = {n: [t / nbytes[n] for t in race.times[(who, n)]] for n in sizes}
        rows = {
            n: {
                "ns_per_byte": statistics.median(per_byte[n]) * 1e9,
                "vs_1000": statistics.median(a / b for a, b in zip(per_byte[n], per_byte[base], strict=True)),
            }
            for n in sizes
        }
        values = [rows[n]["ns_per_byte"] for n in sizes if n >= 1_000]
        out[who] = {"sizes": rows, "flatness_1000_up": max(values) / min(values) if values else None}
    out["rounds"] = len(race.times[("tessarin", sizes[0])])
    return out


def case5_memory(texts: dict[int, str], folder: Path) -> dict:
    probe = Path(__file__).with_name("memprobe.py")
    out = {}
    for n, text in texts.items():
        hl7_path = folder / f"oru_{n}.hl7"
        json_path = folder / f"oru_{n}.json"
        hl7_path.write_text(text, encoding="utf-8", newline="")
        json_path.write_bytes(orjson.dumps(tessarin.Hl7Json(text).hl7_json))
        row = {}
        for what, path in (("hl7json", hl7_path), ("orjson", json_path)):
            done = subprocess.run(
                [sys.executable, str(probe), what, str(path)], capture_output=True, text=True, check=True
            )
            m = json.loads(done.stdout)
            peak = (m["hwm_after_kib"] - m["rss_before_kib"]) * 1024
            row[what] = dict(m, peak_above_baseline=peak, ratio=peak / m["returned_bytes"])
        out[n] = row
        hl7_path.unlink()
        json_path.unlink()
    return out


# -- smallest calls: the fixed cost of one call -------------------------------------


def smallest_calls(mode: Mode) -> dict:
    """The shortest input of each direction against orjson on the same
    records, where the cost of the call itself (arguments, object, result)
    is all there is."""
    text = "MSH|^~\\&"
    data = orjson.dumps(tessarin.Hl7Json(text).hl7_json)
    records = [{"segment_name": "PID"}]
    assert tessarin.JsonHl7(records).hl7_string == "PID"
    race = harness.race(
        {
            "hl7_json": lambda: tessarin.Hl7Json(text).hl7_json,
            "orjson.loads": lambda: orjson.loads(data),
            "hl7_string": lambda: tessarin.JsonHl7(records).hl7_string,
            "orjson.dumps": lambda: orjson.dumps(records),
        },
        mode.rounds,
        mode.sample,
        mode.budget,
    )
    return {"hl7_json": race.ratio("hl7_json", "orjson.loads"), "hl7_string": race.ratio("hl7_string", "orjson.dumps")}


# -- summary -------------------------------------------------------------------------------


def _summary(values: list[tuple[float, float, float]]) -> dict | None:
    """(ratio, tessarin seconds, other seconds) per message."""
    if not values:
        return None
    ratios = [v[0] for v in values]
    return {
        "n": len(values),
        "median": statistics.median(ratios),
        "worst": max(ratios),
        "best": min(ratios),
        "total": sum(v[1] for v in values) / sum(v[2] for v in values),
    }


def summarize(corpus: list[Message]) -> dict:
    s: dict = {"case1": {}, "case2": {}, "case3": {}, "case4": {}}
    for other in ("python-hl7", "hl7apy", "orjson.loads"):
        rows = []
        for m in corpus:
            r = m.results["case1"].get(other)
            if r:
                rows.append((r["ratio"], m.results["case1"]["tessarin_s"], r["other_s"]))
        s["case1"][other] = _summary(rows)
    for ours in ("hl7_string", "hl7_string_unescaped"):
        s["case2"][ours] = {}
        for other in ("assemble.escaped" if ours == "hl7_string" else "assemble.unescaped", "orjson.dumps"):
            rows = []
            for m in corpus:
                row = m.results["case2"][ours]
                if other in row:
                    rows.append((row[other], row["tessarin_s"], row["tessarin_s"] / row[other]))
            s["case2"][ours][other] = _summary(rows)
    for other in ("json.load", "orjson.loads"):
        rows = [
            (
                m.results["case3"][other],
                m.results["case3"]["from_file_s"],
                m.results["case3"]["from_file_s"] / m.results["case3"][other],
            )
            for m in corpus
        ]
        s["case3"][other] = _summary(rows)
    valid = [m for m in corpus if m.results["case4"]["valid"]]
    if valid:
        s["case4"] = {
            "n": len(valid),
            "mb_per_s_total": sum(m.nbytes for m in valid) / sum(m.results["case4"]["validate_s"] for m in valid) / 1e6,
            "mb_per_s_median": statistics.median(m.results["case4"]["mb_per_s"] for m in valid),
            "valid": [m.name for m in valid],
        }
    return s


def _fmt(value: float | None, target: float | None = None, approx: bool = False) -> str:
    if value is None:
        return "-"
    text = f"{value:.3g}" if value < 10 else f"{value:.0f}"
    if approx:
        text = "~" + text
    if target is not None:
        text += " ok" if value <= target else " NO"
    return text


CORPUS_ROWS = (("corpus median", "median"), ("corpus worst", "worst"), ("corpus total", "total"))


def print_table(report: dict, corpus: list[Message], generated: list[Message]) -> None:
    s = report["corpus_summary"] or {"case1": {}, "case2": {}, "case3": {}, "case4": {}}
    w = 22
    line = lambda cells: print("".join(f"{c:<{w}}" if i == 0 else f"{c:>{w}}" for i, c in enumerate(cells)))  # noqa: E731

    print("\nRatios tessarin / other (time; median over interleaved rounds). 'ok'/'NO' = target met or not.")
    print(
        "Corpus rows: median (and worst) of the per-message ratios over the messages where the peer agrees; 'total' = summed times."
    )

    print(
        "\nCase 1  HL7 text -> records   Hl7Json(text).hl7_json   (~ = peer too slow to run at that size: its time per byte"
        " at the largest size it ran on, times the bytes)"
    )
    cols = ("python-hl7", "hl7apy", "orjson.loads")
    line(["input"] + [f"vs {c}" for c in cols])
    line(["target"] + [f"<= {TARGETS[c]:.3g}" for c in cols])
    for label, key in CORPUS_ROWS if corpus else ():
        cells = []
        for c in cols:
            sm = s["case1"][c]
            cells.append(
                "-"
                if sm is None
                else _fmt(sm[key], TARGETS[c] if key == "median" else None) + f" n={sm['n']}" * (key == "median")
            )
        line([label] + cells)
    for m in generated:
        cells = []
        for c in cols:
            r = m.results["case1"].get(c)
            cells.append(_fmt(r["ratio"], TARGETS[c], approx=r.get("extrapolated", False)) if r else "differs")
        line([f"ORU {m.obx:,} OBX"] + cells)

    print("\nCase 2  records -> HL7 text   JsonHl7(records).hl7_string / .hl7_string_unescaped")
    line(["input", "esc vs python", "esc vs orjson.dumps", "unesc vs python", "unesc vs orjson.dumps"])
    line(["target", "<= 0.05", "<= 1.5", "<= 0.05", "<= 1.5"])
    for label, key in CORPUS_ROWS if corpus else ():
        c2 = s["case2"]
        cells = [
            c2["hl7_string"]["assemble.escaped"],
            c2["hl7_string"]["orjson.dumps"],
            c2["hl7_string_unescaped"]["assemble.unescaped"],
            c2["hl7_string_unescaped"]["orjson.dumps"],
        ]
        targets = [1 / 20, 1.5, 1 / 20, 1.5] if key == "median" else [None] * 4
        line([label] + [_fmt(c[key], t) if c else "-" for c, t in zip(cells, targets, strict=False)])
    for m in generated:
        r = m.results["case2"]
        line(
            [f"ORU {m.obx:,} OBX"]
            + [
                _fmt(r["hl7_string"].get("assemble.escaped"), 1 / 20),
                _fmt(r["hl7_string"]["orjson.dumps"], 1.5),
                _fmt(r["hl7_string_unescaped"].get("assemble.unescaped"), 1 / 20),
                _fmt(r["hl7_string_unescaped"]["orjson.dumps"], 1.5),
            ]
        )

    print("\nCase 3  JSON file -> JsonHl7   JsonHl7.from_file(path)")
    line(["input", "vs json.load", "vs orjson.loads"])
    line(["target", "", f"<= {TARGETS['from_file']:.2g}"])
    for label, key in CORPUS_ROWS if corpus else ():
        c3 = s["case3"]
        target = TARGETS["from_file"] if key == "median" else None
        line([label, _fmt(c3["json.load"][key]), _fmt(c3["orjson.loads"][key], target)])
    for m in generated:
        r = m.results["case3"]
        line([f"ORU {m.obx:,} OBX", _fmt(r["json.load"]), _fmt(r["orjson.loads"], TARGETS["from_file"])])

    small = report["smallest"]
    print("\nSmallest calls   fixed costs of one call, against orjson on the same records")
    line(["call", "ratio", "target"])
    for name, label in (("hl7_json", 'Hl7Json("MSH|^~\\&")'), ("hl7_string", "JsonHl7([PID]).hl7_string")):
        target = TARGETS[f"smallest.{name}"]
        line([label, _fmt(small[name], target), f"<= {target:.2g}"])

    print("\nCase 4  validate(True, True) on valid messages: throughput")
    line(["input", "MB/s", "time vs hl7_json"])
    c4 = s.get("case4")
    if c4:
        line([f"corpus ({c4['n']} valid)", f"{c4['mb_per_s_total']:.0f}", ""])
    for m in generated:
        r = m.results["case4"]
        line([f"ORU {m.obx:,} OBX", f"{r['mb_per_s']:.0f}" if r["valid"] else "invalid", _fmt(r.get("hl7_json"))])

    c5 = report["case5"]
    print("\nCase 5  scaling of Hl7Json(text).hl7_json over the generated messages")
    line(
        [
            "input",
            "ns per byte",
            "per byte vs 1,000",
            "orjson.loads: same",
            "peak / returned",
            "orjson.loads: same",
            "returned MB",
        ]
    )
    for m in generated:
        t = c5["time"]["tessarin"]["sizes"][m.obx]
        floor = c5["time"]["orjson.loads"]["sizes"][m.obx]
        mem = c5["memory"].get(m.obx)
        line(
            [
                f"ORU {m.obx:,} OBX",
                f"{t['ns_per_byte']:.2f}",
                _fmt(t["vs_1000"]),
                _fmt(floor["vs_1000"]),
                # Below 1,000 OBX the allocator's granularity dominates.
                _fmt(mem["hl7json"]["ratio"], TARGETS["memory"] if m.obx >= 1_000 else None) if mem else "-",
                _fmt(mem["orjson"]["ratio"]) if mem else "-",
                f"{mem['hl7json']['returned_bytes'] / 1e6:.1f}" if mem else "-",
            ]
        )
    flat = c5["time"]["tessarin"]["flatness_1000_up"]
    floor = c5["time"]["orjson.loads"]["flatness_1000_up"]
    print(
        f"time per byte, max/min from 1,000 OBX up: {_fmt(flat, TARGETS['flatness'])} (target <= 1.2; orjson.loads: {_fmt(floor)})"
    )
    print(
        "peak / returned: resident-set peak above the baseline over the size of the returned objects (fresh process;"
        " below 1,000 OBX the allocator's granularity dominates)"
    )

    print("\nAgreement with tessarin's records (corpus, UTF-8 messages):")
    for peer, info in report["agreement"].items():
        agree, differ = sorted(info["agrees"]), sorted(info["differs"])
        shown, what = (differ, "differs on") if len(differ) <= len(agree) else (agree, "agrees on")
        print(f"  {peer}: {len(agree)}/{len(corpus)} agree; {what}: " + ", ".join(shown))
    print("  (reasons in results.json under 'agreement')")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run")
    parser.add_argument("--out", type=Path, default=Path(__file__).with_name("results.json"))
    parser.add_argument("--corpus", type=Path, default=REPO.parent / "shared" / "corpus" / "hl7")
    args = parser.parse_args(argv)
    mode = QUICK if args.quick else FULL
    started = time.time()

    corpus, skipped = load_corpus(args.corpus) if args.corpus.is_dir() else ([], [])
    corpus = corpus[:: mode.corpus_step]
    if not corpus:
        _log(f"no corpus at {args.corpus}: generated messages only")
    generated = []
    for n in mode.sizes:
        text = generate.oru_r01(n)
        generated.append(Message(f"oru_r01_{n}_obx", text, len(text.encode()), obx=n))

    # Load the peers' modules and tables now, then keep these long-lived
    # objects out of the collections that start every sample.
    for walk in walks.PEERS.values():
        walk(generate.oru_r01(1))
    gc.collect()
    gc.freeze()

    peer_rate: dict[str, tuple[float, int]] = {}
    with tempfile.TemporaryDirectory(prefix="tessarin-bench-") as tmp:
        folder = Path(tmp)
        for i, msg in enumerate(corpus + generated):
            sample = mode.corpus_sample if msg.obx is None else mode.sample
            _log(
                f"[{time.time() - started:6.0f}s] {i + 1}/{len(corpus) + len(generated)} {msg.name} ({msg.nbytes:,} bytes)"
            )
            with spent("case1", msg):
                records = case1(msg, mode, sample, peer_rate)
            with spent("case2", msg):
                case2(msg, records, mode, sample)
            with spent("case3", msg):
                case3(msg, records, folder, mode, sample)
            del records
            with spent("case4", msg):
                case4(msg, mode, sample)
        _log(f"[{time.time() - started:6.0f}s] case 5")
        texts = {m.obx: m.text for m in generated}
        with spent("case5", None):
            case5 = {"time": case5_time(texts, mode), "memory": case5_memory(texts, folder)}
        with spent("smallest", None):
            smallest = smallest_calls(mode)

    agreement = {}
    for peer in walks.PEERS:
        agreement[peer] = {
            "agrees": [m.name for m in corpus if m.results["case1"]["peers"][peer]["status"] == "agrees"],
            "differs": {
                m.name: m.results["case1"]["peers"][peer].get("reason")
                for m in corpus
                if m.results["case1"]["peers"][peer]["status"] != "agrees"
            },
        }
    report = {
        "meta": {
            "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
            "mode": "quick" if args.quick else "full",
            "mode_settings": mode.__dict__,
            "python": sys.version.split()[0],
            "machine": platform.machine(),
            "cpus": os.cpu_count(),
            "load_average_end": os.getloadavg(),
            "tessarin": importlib.metadata.version("tessarin"),
            "tessarin_module": tessarin.__file__,
            "git": _git_head(),
            "peers": {p: importlib.metadata.version(p) for p in ("hl7", "hl7apy", "orjson")},
            "seconds": round(time.time() - started, 1),
            "seconds_by_case": {k: round(v, 1) for k, v in SPENT.items()},
            "targets": TARGETS,
        },
        "skipped_not_utf8": skipped,
        "agreement": agreement,
        "corpus_summary": summarize(corpus) if corpus else None,
        "case5": case5,
        "smallest": smallest,
        "corpus": {m.name: dict(bytes=m.nbytes, **m.results) for m in corpus},
        "generated": {m.obx: dict(bytes=m.nbytes, **m.results) for m in generated},
    }
    # Other benchmarks keep their results under their own keys of the same file.
    harness.keep_results(args.out, report)
    print_table(report, corpus, generated)
    print(
        f"\n{len(corpus)} corpus messages ({len(skipped)} not UTF-8, skipped), {len(generated)} generated; "
        f"{report['meta']['seconds']:.0f} s; results in {args.out}"
    )
    return 0


def _git_head() -> str | None:
    try:
        head = subprocess.run(
            ["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"], capture_output=True, text=True, check=True
        ).stdout.strip()
        dirty = subprocess.run(
            ["git", "-C", str(REPO), "status", "--porcelain", "--", "src"], capture_output=True, text=True
        ).stdout.strip()
        return head + (" (src/ modified)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return None


if __name__ == "__main__":
    raise SystemExit(main())
