"""Benchmark of `tessarin to-hl7`'s writing of one message from its records.

    python bench/to_hl7.py            full run (about a minute)
    python bench/to_hl7.py --quick    smoke run (a few seconds)

Input: the records of every message of the corpus (../shared/corpus/hl7)
that converts, converted once. Prints, side by side from one run (CPU time,
rounds in turns, median of the per-round ratios), the time to write them all:

- by the command's default (each value escaped only where HL7 requires, in
  Python, then the module's unescaped assembly) against the module's own
  escaping (`--escape-all`) and against no escaping (`--unescaped`);
- in the charset MSH-18 declares against forced UTF-8 (`--encoding UTF-8`);
- the default against python-hl7 writing the same messages back from its
  parse tree (`str(hl7.parse(text))`), when python-hl7 is installed.

Results go under the key "to_hl7" of bench/results.json (or --out); the
file's other keys are kept.
"""

from __future__ import annotations

import datetime
import pathlib
import sys

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))
from bench import harness  # noqa: E402
from tessarin_feeds.hl7_output import encode_message  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402
from tessarin_feeds.tasks import Settings, convert_message  # noqa: E402

CORPUS = REPO.parent / "shared" / "corpus" / "hl7"


def corpus_records() -> list[list[dict[str, str]]]:
    settings = Settings()
    found = []
    for path in sorted(CORPUS.glob("*.hl7")):
        for message in read_messages(path):
            row = convert_message(message, settings)
            if row.records is not None:
                found.append(row.records)
    return found


def main() -> None:
    args = harness.feed_arguments(__doc__ or "", REPO / "bench" / "results.json")
    messages = corpus_records()
    if not messages:
        sys.exit(f"no messages: the corpus is not at {CORPUS}")

    def writer(**options: object):
        return lambda: [encode_message(records, **options) for records in messages]  # type: ignore[arg-type]

    contenders = {
        "default": writer(),
        "escape-all": writer(escaping="all"),
        "unescaped": writer(escaping="none"),
        "forced UTF-8": writer(encoding="UTF-8"),
    }
    try:
        import hl7
    except ImportError:
        hl7 = None
    if hl7 is not None:
        texts = [encode_message(records).decode("latin-1").rstrip("\r") for records in messages]
        contenders["python-hl7"] = lambda: [str(hl7.parse(text)) for text in texts]
    rounds, sample = (3, 0.05) if args.quick else (15, 0.5)
    race = harness.race(contenders, rounds, sample)
    per_message = {name: race.median(name) / len(messages) * 1e6 for name in contenders}
    ratios = {
        "default / escape-all": race.ratio("default", "escape-all"),
        "default / unescaped": race.ratio("default", "unescaped"),
        "declared charset / forced UTF-8": race.ratio("default", "forced UTF-8"),
    }
    if "python-hl7" in contenders:
        ratios["default / python-hl7"] = race.ratio("default", "python-hl7")
    print(f"{len(messages)} messages, {len(race.times['default'])} rounds")
    for name, micros in per_message.items():
        print(f"  {name:14} {micros:8.1f} us per message")
    for name, ratio in ratios.items():
        print(f"  {name:32} {ratio:6.2f}")
    if not args.no_write:
        harness.keep_results(
            args.out,
            {
                "to_hl7": {
                    "when": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
                    "quick": args.quick,
                    "messages": len(messages),
                    "us_per_message": per_message,
                    "ratios": ratios,
                }
            },
        )


if __name__ == "__main__":
    main()
