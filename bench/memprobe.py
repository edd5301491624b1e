"""Peak memory of one conversion, run in a fresh process by bench/run.py.

    python bench/memprobe.py hl7json MESSAGE.hl7
    python bench/memprobe.py orjson RECORDS.json

Prints one JSON object: the resident set before the call, its peak during
the call (both from /proc/self/status, so native allocations count), and the
size of the returned objects (list, dicts, and every distinct key and value
object once, by sys.getsizeof).
"""

from __future__ import annotations

import gc
import json
import sys


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def _reset_peak() -> bool:
    # Writing 5 to clear_refs sets VmHWM back to the current resident set.
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def returned_size(records: list) -> int:
    seen: set[int] = set()
    total = sys.getsizeof(records)
    for rec in records:
        total += sys.getsizeof(rec)
        for key, value in rec.items():
            for obj in (key, value):
                if id(obj) not in seen:
                    seen.add(id(obj))
                    total += sys.getsizeof(obj)
    return total


def main(argv: list[str]) -> int:
    what, path = argv[1], argv[2]
    if what == "hl7json":
        import tessarin

        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
        convert = lambda: tessarin.Hl7Json(text).hl7_json  # noqa: E731
    elif what == "orjson":
        import orjson

        with open(path, "rb") as f:
            data = f.read()
        convert = lambda: orjson.loads(data)  # noqa: E731
    else:
        print(__doc__, file=sys.stderr)
        return 2
    gc.collect()
    reset = _reset_peak()
    before = _status_kib("VmRSS")
    peak_before = _status_kib("VmHWM")
    records = convert()
    peak = _status_kib("VmHWM")
    after = _status_kib("VmRSS")
    json.dump(
        {
            "rss_before_kib": before,
            "hwm_before_kib": peak_before,
            "hwm_after_kib": peak,
            "rss_after_kib": after,
            "peak_reset": reset,
            "returned_bytes": returned_size(records),
            "records": len(records),
        },
        sys.stdout,
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
