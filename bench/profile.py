"""Where tessarin spends its instructions: one operation in a loop.

    python bench/profile.py WORK INPUT [REPEAT]
    python bench/profile.py --callgrind WORK INPUT [REPEAT]

WORK is one of: hl7json (Hl7Json(text).hl7_json), hl7_string and
hl7_string_unescaped (JsonHl7(records).<property>), from_file
(JsonHl7.from_file on the records written as a JSON file), validate
(validate(True, True)), columns (tessarin_feeds._columns.build of every
message). INPUT is a number of OBX segments for a generated ORU^R01
message, the path of an HL7 file, or for columns a folder of them (the
corpus). REPEAT defaults to 3.

With --callgrind the script runs itself under valgrind, counting only the
instructions spent below the module entry points of WORK (input preparation
and Python's own loop are left out), and prints the instructions per call
and the functions with the most instructions of their own. Build tessarin
with symbols for readable names, e.g.
pip install --no-build-isolation -C install.strip=false -C cmake.define.CMAKE_CXX_FLAGS=-g .
"""

from __future__ import annotations

import collections
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import orjson  # noqa: E402

import tessarin  # noqa: E402
from bench import generate  # noqa: E402

# Entry points per operation. Each pattern ends at the parameter list, so the
# lambdas inside an entry point, which would toggle counting off again, do
# not match ("?" stands for the "*" of a pointer type).
_NS = "tessarin::py::(anonymous namespace)::"
# A call of the type goes through its vectorcall, not tp_new.
_NEW = "{}_vectorcall(_object?, _object? const?, unsigned long, _object?)"
ENTRY_POINTS = {
    "hl7json": [_NS + _NEW.format("hl7_json"), f"{_NS}hl7_json_get_records(_object?, void?)"],
    "hl7_string": [_NS + _NEW.format("json_hl7"), f"*{_NS}json_hl7_get_text<true>(_object?, void?)"],
    "hl7_string_unescaped": [_NS + _NEW.format("json_hl7"), f"*{_NS}json_hl7_get_text<false>(_object?, void?)"],
    "from_file": [f"{_NS}json_hl7_from_file(_object?, _object? const?, long, _object?)"],
    "validate": [f"{_NS}hl7_json_validate(_object?, _object? const?, long, _object?)"],
    "columns": ["tessarin::columns::(anonymous namespace)::build(_object?, _object?, _object?)"],
}


def _text(source: str) -> str:
    return generate.oru_r01(int(source)) if source.isdigit() else Path(source).read_bytes().decode("utf-8")


def _messages(source: str) -> list[str]:
    """The texts of the messages that convert, of every .hl7 file of a folder; else the one text of _text."""
    if not Path(source).is_dir():
        return [_text(source)]
    from tessarin_feeds.reader import read_messages

    paths = sorted(Path(source).glob("*.hl7"))
    return [m.text for path in paths for m in read_messages(path, name=path.name) if m.error is None]


def run(work: str, source: str, repeat: int) -> None:
    if work == "columns":
        from tessarin_feeds import _columns

        texts = _messages(source)
        for _ in range(repeat):
            _columns.build(texts)
        return
    text = _text(source)
    with tempfile.TemporaryDirectory() as tmp:
        if work == "hl7json":
            call = lambda: tessarin.Hl7Json(text).hl7_json  # noqa: E731
        elif work == "validate":
            checked = tessarin.Hl7Json(text)
            call = lambda: checked.validate(True, True)  # noqa: E731
        else:
            records = tessarin.Hl7Json(text).hl7_json
            path = Path(tmp) / "records.json"
            path.write_bytes(orjson.dumps(records))
            call = {
                "hl7_string": lambda: tessarin.JsonHl7(records).hl7_string,
                "hl7_string_unescaped": lambda: tessarin.JsonHl7(records).hl7_string_unescaped,
                "from_file": lambda: tessarin.JsonHl7.from_file(str(path)),
            }[work]
        for _ in range(repeat):
            call()


def callgrind(work: str, source: str, repeat: int, top: int = 25) -> None:
    out = Path(tempfile.gettempdir()) / f"callgrind.{work}.{os.getpid()}.out"
    command = ["valgrind", "--tool=callgrind", "--collect-atstart=no", f"--callgrind-out-file={out}"]
    command += [f"--toggle-collect={pattern}" for pattern in ENTRY_POINTS[work]]
    command += [sys.executable, __file__, work, source, str(repeat)]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    listing = subprocess.run(
        ["callgrind_annotate", "--inclusive=no", "--auto=no", "--threshold=100", str(out)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    total = 0
    by_function: collections.Counter[str] = collections.Counter()
    for line in listing.splitlines():
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)", line)
        if not m:
            continue
        count, where = int(m.group(1).replace(",", "")), m.group(2)
        if "PROGRAM TOTALS" in where:
            total = count
            continue
        # Inlined code is listed once per header it came from: add it up by function.
        where = re.sub(r" \[[^\]]*\]$", "", where)
        function = where.split(":", 1)[1] if ":" in where else where
        function = re.sub(r"std::basic_string_view<char, std::char_traits<char> >", "string_view", function)
        function = function.replace("(anonymous namespace)::", "")
        if function.startswith("void std::__introsort_loop"):
            function = "std::sort (introsort)"
        by_function[re.sub(r"\(.*", "", function)] += count
    per_message = f", {total / repeat / len(_messages(source)):,.0f} per message" if work == "columns" else ""
    print(f"{work} on {source}: {total / repeat:,.0f} instructions per call{per_message} ({out})")
    for function, count in by_function.most_common(top):
        print(f"{count / repeat:>14,.0f} {100 * count / max(total, 1):5.1f}%  {function[:140]}")


def main(argv: list[str]) -> int:
    args = argv[1:]
    profile = bool(args) and args[0] == "--callgrind"
    if profile:
        args = args[1:]
    if len(args) not in (2, 3) or args[0] not in ENTRY_POINTS:
        print(__doc__, file=sys.stderr)
        return 2
    work, source = args[0], args[1]
    repeat = int(args[2]) if len(args) == 3 else 3
    if profile:
        callgrind(work, source, repeat)
    else:
        run(work, source, repeat)
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
