"""Speed of building Parquet row batches, side by side with JSON Lines.

    python bench/parquet_rows.py [--rows N] [--rounds N]

Rows are the corpus messages (every file read with the feed reader and
converted), repeated to N rows. Contenders, timed in turns in this process
(bench/harness.py):
- encode_rows: the record batch the Parquet output writes;
- encode_rows + pickle: what a worker process hands back;
- orjson: orjson.dumps of the JSON Lines object of every row, the JSON side's
  equivalent work;
- from_pylist: pyarrow building the same batch from row dicts, the obvious
  way, for scale.
Prints rows per second for each and the ratios to orjson.
"""

from __future__ import annotations

import argparse
import pickle
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))

import orjson  # noqa: E402
import pyarrow as pa  # noqa: E402

import tessarin  # noqa: E402
from bench import harness  # noqa: E402
from bench.dict_paths import encode_rows  # noqa: E402
from tessarin_feeds.model import Converted  # noqa: E402
from tessarin_feeds.parquet import SCHEMA, header_fields  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402

CORPUS = REPO.parent / "shared" / "corpus" / "hl7"


def corpus_rows() -> list[Converted]:
    rows = []
    for path in sorted(CORPUS.glob("*.hl7")):
        for message in read_messages(path, encoding_errors="replace"):
            if message.error is not None:
                rows.append(Converted(message, None, message.error))
            else:
                rows.append(Converted(message, tessarin.Hl7Json(message.text).hl7_json, None))
    return rows


def json_lines(rows: list[Converted]) -> bytes:
    out = []
    for row in rows:
        m = row.message
        obj: dict[str, object] = {"source": m.source, "message": m.index, "offset": m.offset}
        if row.error is None:
            obj["records"] = row.records
        else:
            obj["error"] = row.error
        out.append(orjson.dumps(obj))
    return b"\n".join(out)


def from_pylist(rows: list[Converted]) -> pa.RecordBatch:
    dicts = []
    for row in rows:
        m = row.message
        message_type, control_id, sent_at = header_fields(m)
        segments = None
        if row.records is not None:
            segments = [
                {"segment_name": r.get("segment_name"), "fields": [(k, v) for k, v in r.items() if k != "segment_name"]}
                for r in row.records
            ]
        dicts.append(
            {
                "source": m.source,
                "message": m.index,
                "offset": m.offset,
                "message_type": message_type,
                "control_id": control_id,
                "sent_at": sent_at,
                "segments": segments,
                "error": row.error,
            }
        )
    return pa.RecordBatch.from_pylist(dicts, schema=SCHEMA)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=2000, help="rows per batch (default 2000)")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--sample", type=float, default=0.3, help="seconds per timed sample")
    args = parser.parse_args()

    corpus = corpus_rows()
    rows = (corpus * (args.rows // len(corpus) + 1))[: args.rows]
    assert from_pylist(rows).equals(encode_rows(rows)), "the two ways give different batches"
    segments = sum(len(r.records or ()) for r in rows)
    contenders = {
        "encode_rows": lambda: encode_rows(rows),
        "encode_rows + pickle": lambda: pickle.dumps(encode_rows(rows), protocol=5),
        "orjson": lambda: json_lines(rows),
        "from_pylist": lambda: from_pylist(rows),
    }
    result = harness.race(contenders, args.rounds, args.sample)
    print(f"{len(rows)} rows per batch ({len(corpus)} corpus messages), {segments} segments")
    for name in contenders:
        rate = len(rows) / result.median(name)
        ratio = "" if name == "orjson" else f"  {result.ratio(name, 'orjson'):.2f}x orjson's time"
        print(f"{name:22} {rate:12,.0f} rows/s{ratio}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
