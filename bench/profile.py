"""Run one tessarin operation in a loop, for a profiler to watch.

    python bench/profile.py WORK OBX [REPEAT]

WORK is one of: hl7json (Hl7Json(text).hl7_json), hl7_string and
hl7_string_unescaped (JsonHl7(records).<property>), from_file
(JsonHl7.from_file on the records as a JSON file), validate
(validate(True, True)). OBX is the size of the generated ORU^R01 message.
The input is prepared before the loop. With callgrind, counting only what
runs under the module's entry points (build with -g and without stripping
to see source lines):

    valgrind --tool=callgrind --collect-atstart=no \\
        --toggle-collect='tessarin::py::*' --callgrind-out-file=cg.out \\
        python bench/profile.py hl7json 1000 3
    callgrind_annotate --inclusive=yes cg.out | head -60
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import orjson  # noqa: E402
import tessarin  # noqa: E402

from bench import generate  # noqa: E402


def main(argv: list[str]) -> int:
    if len(argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    work, obx = argv[1], int(argv[2])
    repeat = int(argv[3]) if len(argv) == 4 else 3
    text = generate.oru_r01(obx)
    records = tessarin.Hl7Json(text).hl7_json
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "records.json"
        path.write_bytes(orjson.dumps(records))
        checked = tessarin.Hl7Json(text)
        runs = {
            "hl7json": lambda: tessarin.Hl7Json(text).hl7_json,
            "hl7_string": lambda: tessarin.JsonHl7(records).hl7_string,
            "hl7_string_unescaped": lambda: tessarin.JsonHl7(records).hl7_string_unescaped,
            "from_file": lambda: tessarin.JsonHl7.from_file(str(path)),
            "validate": lambda: checked.validate(True, True),
        }
        if work not in runs:
            print(__doc__, file=sys.stderr)
            return 2
        for _ in range(repeat):
            runs[work]()
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
