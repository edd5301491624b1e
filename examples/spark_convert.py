"""Convert a folder of HL7 v2 feeds to Parquet with PySpark.

Every file is split into its messages by tessarin's feed reader (MLLP frames,
batch envelopes, BOM, gzip, any line ends), so a file of many messages gives
many rows. The output folder receives Spark's Parquet part files, one row per
message with the same columns as `tessarin convert -o OUT.parquet`: source,
message, offset, message_type, control_id, sent_at, segments and error. A
message that fails is counted and written with its error, never dropped.

    python examples/spark_convert.py examples/ /tmp/hl7-parquet
    spark-submit --master yarn examples/spark_convert.py hdfs:///hl7/in hdfs:///hl7/out
"""

from __future__ import annotations

import argparse
import os
import sys
from collections import Counter
from collections.abc import Iterable, Iterator
from typing import Any

from pyspark import AccumulatorParam
from pyspark.sql import DataFrame, SparkSession
from pyspark.sql import functions as F
from pyspark.sql.pandas.types import from_arrow_schema

from tessarin_feeds.parquet import SCHEMA

# Notices that mean something was wrong with the input, as the command counts them.
PROBLEMS = {"stray fragment": "stray fragments", "batch count mismatch": "batch count mismatches",
            "truncated frame": "truncated frames"}

# The output's Spark schema, from the Arrow schema tessarin's Parquet output uses.
OUTPUT = from_arrow_schema(SCHEMA)


class CounterParam(AccumulatorParam):  # type: ignore[type-arg]
    """Adds up Counters from the executors."""

    def zero(self, value: Counter[str]) -> Counter[str]:
        return Counter()

    def addInPlace(self, value1: Counter[str], value2: Counter[str]) -> Counter[str]:
        value1.update(value2)
        return value1


def convert_files(batches: Iterable[Any], options: dict[str, Any], counts: Any) -> Iterator[Any]:
    """Arrow batches of (path, content) in, one Arrow batch of rows per file out.

    tessarin's column builder writes the rows straight into Arrow buffers,
    which Spark takes as they are: no Python object per field."""
    # Imported on the executor: tessarin's converter objects cannot be pickled,
    # so each partition builds its own.
    from tessarin_feeds.parquet import convert_to_batch
    from tessarin_feeds.pipeline import Settings
    from tessarin_feeds.reader import read_messages

    settings = Settings(action="convert", encoding_out="parquet", **options)
    for batch in batches:
        for path, content in zip(batch.column("path").to_pylist(), batch.column("content").to_pylist()):
            seen: Counter[str] = Counter(files=1)
            messages = list(
                read_messages(
                    content,
                    name=path,
                    encoding=settings.encoding,
                    encoding_errors=settings.encoding_errors,
                    on_notice=lambda notice: seen.update([notice.kind]),
                )
            )
            yield convert_to_batch(
                messages,
                validation_enabled=settings.validate,
                strict_validation=settings.strict,
                escaping_enabled=settings.escaping,
                hl7_syntax=True,  # validation as the command's
            )
            counts.add(seen)


def run(
    spark: SparkSession,
    input_path: str,
    output_path: str,
    pattern: str | None = None,
    partitions: int | None = None,
    **options: Any,
) -> tuple[Counter[str], DataFrame]:
    """Write the Parquet; return the files and notices counted, and the output read back."""
    reader = spark.read.format("binaryFile").option("recursiveFileLookup", "true")
    if pattern:
        reader = reader.option("pathGlobFilter", pattern)
    files = reader.load(input_path).select("path", "content")
    if partitions:
        # Small files are packed into few input splits; spread them out.
        files = files.repartition(partitions)
    counts = spark.sparkContext.accumulator(Counter(), CounterParam())
    converted = files.mapInArrow(lambda batches: convert_files(batches, options, counts), OUTPUT)
    converted.write.parquet(output_path)
    return counts.value, spark.read.parquet(output_path)


def summary(written: DataFrame) -> tuple[int, int, int]:
    """(messages, segments, failures), from the output as written."""
    row = written.agg(
        F.count(F.lit(1)).alias("messages"),
        F.coalesce(F.sum(F.when(F.col("segments").isNotNull(), F.size("segments"))), F.lit(0)),
        F.count("error"),
    ).first()
    assert row is not None
    return int(row[0]), int(row[1]), int(row[2])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", help="folder of HL7 files, searched recursively (any Hadoop file system URI)")
    parser.add_argument("output", help="folder for the Parquet part files; must not exist")
    parser.add_argument("--master", help="Spark master (default: local[2], or whatever spark-submit sets)")
    parser.add_argument("--glob", help="take only files whose name matches this pattern (default: every file)")
    parser.add_argument("--partitions", type=int, help="spread the files over this many partitions")
    parser.add_argument("--validate", action="store_true", help="validate each message before converting")
    parser.add_argument("--strict", action="store_true", help="validate strictly: version and message type too")
    parser.add_argument("--no-escaping", action="store_true", help="keep HL7 escape sequences as they stand")
    parser.add_argument("--encoding", help="decode every message with this charset (default: UTF-8, else MSH-18)")
    args = parser.parse_args(argv)

    builder = SparkSession.builder.appName("tessarin-hl7-to-parquet")
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
        counts, written = run(
            spark,
            args.input,
            args.output,
            args.glob,
            args.partitions,
            validate=args.validate or args.strict,
            strict=args.strict,
            escaping=not args.no_escaping,
            encoding=args.encoding,
        )
        messages, segments, failures = summary(written)
    finally:
        spark.stop()
    notices = ", ".join(f"{counts[kind]} {label}" for kind, label in PROBLEMS.items())
    print(
        f"{counts['files']} files, {messages} messages, {segments} segments, {failures} failures, {notices}, "
        f"{counts['envelope segment']} envelope segments skipped",
        file=sys.stderr,
    )
    # As the tessarin command: anything failed or found wrong is status 1.
    return 1 if failures or any(counts[kind] for kind in PROBLEMS) else 0


if __name__ == "__main__":
    sys.exit(main())
