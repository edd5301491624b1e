"""Convert a folder of HL7 v2 files to JSON Lines with PySpark.

Each file is read whole and holds one message. The output folder receives
Spark's part files, one JSON object per message, the same objects that
examples/convert.py writes: {"file": NAME, "records": [...]} or
{"file": NAME, "error": TEXT}. A file that fails is counted, not fatal.

    python examples/spark_convert.py examples/ /tmp/hl7-jsonl
    spark-submit --master yarn --py-files examples/convert.py \\
        examples/spark_convert.py hdfs:///hl7/in hdfs:///hl7/out
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
from collections.abc import Iterable, Iterator
from typing import Any

from pyspark import SparkContext
from pyspark.sql import SparkSession

HERE = pathlib.Path(__file__).resolve().parent


def convert_partition(
    files: Iterable[tuple[str, bytes]], options: dict[str, bool]
) -> Iterator[tuple[str, int, int]]:
    """(JSON line, segments, failures) for every (path, content) of one partition."""
    # Imported here, on the executor: tessarin's converter objects cannot be
    # pickled, so each partition builds its own, one per message.
    import convert

    for name, data in files:
        result = convert.convert_message(name, data, **options)
        failed = "error" in result
        segments = 0 if failed else len(result["records"])
        yield convert.to_json_line(result).rstrip("\n"), segments, int(failed)


def add(a: tuple[int, int, int], b: tuple[int, int, int]) -> tuple[int, int, int]:
    return a[0] + b[0], a[1] + b[1], a[2] + b[2]


def run(
    sc: SparkContext,
    input_path: str,
    output_path: str,
    pattern: str = "*.hl7",
    partitions: int | None = None,
    **options: Any,
) -> tuple[int, int, int]:
    """Write the JSON Lines; return (files, segments, failures)."""
    # convert.py travels with the job, so executors on other machines can import it.
    sc.addPyFile(str(HERE / "convert.py"))
    files = sc.binaryFiles(f"{input_path.rstrip('/')}/{pattern}")
    if partitions:
        # Small files are packed into few input splits; spread them out.
        files = files.repartition(partitions)
    converted = files.mapPartitions(lambda part: convert_partition(part, options)).cache()
    converted.map(lambda row: row[0]).saveAsTextFile(output_path)
    return converted.map(lambda row: (1, row[1], row[2])).fold((0, 0, 0), add)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", help="folder of HL7 files (any Hadoop file system URI)")
    parser.add_argument("output", help="folder for the JSON Lines part files; must not exist")
    parser.add_argument("--master", help="Spark master (default: local[2], or whatever spark-submit sets)")
    parser.add_argument("--glob", default="*.hl7", help="file pattern inside the folder (default: *.hl7)")
    parser.add_argument("--partitions", type=int, help="spread the messages over this many partitions")
    parser.add_argument("--validate", action="store_true", help="validate each message before converting")
    parser.add_argument("--strict", action="store_true", help="with --validate, check version and message type too")
    args = parser.parse_args(argv)

    builder = SparkSession.builder.appName("tessarin-hl7-to-jsonl")
    # Under spark-submit the gateway is already up and the master is chosen
    # there; run directly, the script defaults to two local workers.
    master = args.master or (None if "PYSPARK_GATEWAY_PORT" in os.environ else "local[2]")
    if master:
        builder = builder.master(master)
        if master.startswith("local"):
            # Local workers must run this interpreter, the one tessarin is installed in.
            os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
            # Nothing leaves this machine in local mode; keep Spark on loopback.
            os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    spark = builder.getOrCreate()
    spark.sparkContext.setLogLevel("WARN")
    try:
        files, segments, failures = run(
            spark.sparkContext,
            args.input,
            args.output,
            args.glob,
            args.partitions,
            validate=args.validate,
            strict=args.strict,
        )
    finally:
        spark.stop()
    print(f"{files} files, {segments} segments, {failures} failures", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
