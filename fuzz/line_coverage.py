"""Line coverage of several lcov files taken together: the lines that any of
them ran, over the lines that any of them has code on.

    python3 fuzz/line_coverage.py [--uncovered OUT] A.lcov B.lcov ...
"""

import sys


def main(argv: list[str]) -> None:
    uncovered_path = None
    if argv[:1] == ["--uncovered"]:
        uncovered_path, argv = argv[1], argv[2:]
    lines: dict[str, set[int]] = {}
    ran: dict[str, set[int]] = {}
    for path in argv:
        source = ""
        with open(path) as lcov:
            for row in lcov:
                if row.startswith("SF:"):
                    source = row[3:].strip()
                elif row.startswith("DA:"):
                    number, count = row[3:].split(",")[:2]
                    lines.setdefault(source, set()).add(int(number))
                    if int(count) > 0:
                        ran.setdefault(source, set()).add(int(number))
    total = sum(len(numbers) for numbers in lines.values())
    covered = sum(len(ran.get(source, set())) for source in lines)
    if uncovered_path:
        with open(uncovered_path, "w") as out:
            for source in sorted(lines):
                missed = sorted(lines[source] - ran.get(source, set()))
                if missed:
                    out.write(f"{source}: {', '.join(map(str, missed))}\n")
    print(f"{100 * covered / max(total, 1):.2f}% ({covered} of {total} lines)")


if __name__ == "__main__":
    main(sys.argv[1:])
