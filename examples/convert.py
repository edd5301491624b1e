"""Convert HL7 v2 message files to JSON Lines: one object per file."""

import argparse
import json
import pathlib
import sys

import tessarin


def hl7_files(paths):
    for path in map(pathlib.Path, paths):
        if path.is_dir():
            yield from sorted(p for p in path.rglob("*.hl7") if p.is_file())
        else:
            yield path


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("paths", nargs="+", help="HL7 files or folders of *.hl7 files")
    args = parser.parse_args(argv)
    for path in hl7_files(args.paths):
        try:
            line = {"file": str(path), "records": tessarin.Hl7Json.from_file(str(path)).hl7_json}
        except Exception as error:  # the converter reports every failure as Exception
            line = {"file": str(path), "error": str(error)}
        sys.stdout.write(json.dumps(line, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
