"""A wheel's build of the modules against the running build, side by side in one run.

    python bench/builds.py WHEEL [--quick] [--no-write]

WHEEL is a wheel of scripts/build-wheels for the running interpreter; its two
modules are loaded beside the ones imported here (each from its own file, so
both stay in the process) and every workload is timed in turns with both
(bench/harness.py, thread CPU time). Each figure is the ratio wheel / running
build: above 1 the wheel is slower. Workloads: `Hl7Json(text).hl7_json` and
`JsonHl7(records).hl7_string` over the corpus and generated ORU^R01 messages of
10 to 10,000 OBX, escaping on and off, and the column builder's batch of the
corpus. Results go under the key "builds" of bench/results.json.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.machinery
import importlib.util
import pathlib
import statistics
import sys
import tempfile
import zipfile

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))

import tessarin  # noqa: E402
from bench import generate, harness  # noqa: E402
from tessarin_feeds import _columns  # noqa: E402

CORPUS = REPO.parent / "shared" / "corpus" / "hl7"


def load_copy(path: pathlib.Path, name: str):
    """The extension at `path` as a module object of its own, not in sys.modules."""
    loader = importlib.machinery.ExtensionFileLoader(name, str(path))
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def wheel_modules(wheel: pathlib.Path, folder: pathlib.Path):
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(folder)
    (main,) = folder.glob("tessarin.*.so")
    (columns,) = folder.glob("tessarin_feeds/_columns.*.so")
    return load_copy(main, "tessarin"), load_copy(columns, "tessarin_feeds._columns")


def workloads(quick: bool) -> dict[str, list[str]]:
    texts = []
    for path in sorted(CORPUS.glob("*.hl7")) if CORPUS.is_dir() else []:
        try:
            texts.append(path.read_bytes().decode("utf-8"))
        except UnicodeDecodeError:
            pass  # as bench/run.py: UTF-8 messages only
    sizes = (10, 1000) if quick else (10, 1000, 10_000)
    inputs = {f"ORU {n} OBX": [generate.oru_r01(n)] for n in sizes}
    if texts:
        inputs = {"corpus": texts, **inputs}
    return inputs


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("wheel", type=pathlib.Path)
    parser.add_argument("--quick", action="store_true", help="few rounds")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path(__file__).with_name("results.json"))
    parser.add_argument("--no-write", action="store_true", help="print only")
    args = parser.parse_args()
    rounds, sample = (5, 0.05) if args.quick else (15, 0.2)

    with tempfile.TemporaryDirectory() as scratch:
        other, other_columns = wheel_modules(args.wheel, pathlib.Path(scratch))
        assert other.__file__ != tessarin.__file__
        results: dict[str, float] = {}
        for label, texts in workloads(args.quick).items():
            for escaping in (True, False):
                records = [tessarin.Hl7Json(t, escaping_enabled=escaping).hl7_json for t in texts]
                # Both builds must give the same answer before their speed counts.
                assert records == [other.Hl7Json(t, escaping_enabled=escaping).hl7_json for t in texts]
                suffix = "" if escaping else ", unescaped"
                race = harness.race(
                    {
                        "wheel": lambda m=other, e=escaping, ts=texts: [
                            m.Hl7Json(t, escaping_enabled=e).hl7_json for t in ts
                        ],
                        "build": lambda e=escaping, ts=texts: [
                            tessarin.Hl7Json(t, escaping_enabled=e).hl7_json for t in ts
                        ],
                    },
                    rounds,
                    sample,
                )
                results[f"Hl7Json {label}{suffix}"] = race.ratio("wheel", "build")
            race = harness.race(
                {
                    "wheel": lambda m=other, r=records: [m.JsonHl7(x).hl7_string for x in r],
                    "build": lambda r=records: [tessarin.JsonHl7(x).hl7_string for x in r],
                },
                rounds,
                sample,
            )
            results[f"JsonHl7 {label}"] = race.ratio("wheel", "build")
        if CORPUS.is_dir():
            texts = workloads(True)["corpus"] * 4
            race = harness.race(
                {"wheel": lambda: other_columns.build(texts), "build": lambda: _columns.build(texts)}, rounds, sample
            )
            results["column batch, corpus"] = race.ratio("wheel", "build")

    width = max(map(len, results))
    print(f"{'workload':<{width}}  wheel / build")
    for name, ratio in results.items():
        print(f"{name:<{width}}  {ratio:6.3f}")
    geomean = statistics.geometric_mean(results.values())
    print(f"{'geometric mean':<{width}}  {geomean:6.3f}")
    if not args.no_write:
        harness.keep_results(
            args.out,
            {
                "builds": {
                    "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
                    "wheel": args.wheel.name,
                    "python": sys.version.split()[0],
                    "quick": args.quick,
                    "ratios": results,
                    "geometric mean": geomean,
                }
            },
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
