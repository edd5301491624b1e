"""Convert a folder of HL7 v2 feeds to Parquet with PySpark.

Every file is split into its messages by tessarin's feed reader (MLLP frames,
batch envelopes, BOM, gzip, any line ends), so a file of many messages gives
many rows. The output folder receives Spark's Parquet part files, one row per
message with the same columns as `tessarin convert -o OUT.parquet`: source,
message, offset, message_type, control_id, sent_at, segments and error. A
message that fails is counted and written with its error, never dropped.

Spark only lists the files: each worker streams its files itself and hands
Spark batches of a bounded size, so memory does not grow with the files.
`--whole-files` has Spark read every file whole instead, for file systems
the workers cannot open (memory then grows with the largest file).

    python examples/spark_convert.py examples/ /tmp/hl7-parquet
    spark-submit --master yarn examples/spark_convert.py hdfs:///hl7/in hdfs:///hl7/out
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import sys
import zlib
from collections import Counter
from collections.abc import Iterable, Iterator
from contextlib import nullcontext
from typing import Any

from pyspark import AccumulatorParam
from pyspark.sql import DataFrame, SparkSession
from pyspark.sql import functions as F
from pyspark.sql.pandas.types import from_arrow_schema

from tessarin_feeds.parquet import ROW_GROUP_BYTES, ROW_GROUP_ROWS, SCHEMA

# Notices that mean something was wrong with the input, as the command counts them.
PROBLEMS = {
    "stray fragment": "stray fragments",
    "batch count mismatch": "batch count mismatches",
    "truncated frame": "truncated frames",
    "unreadable file": "unreadable files",
}

# Messages are converted and handed to Spark this many bytes of text at a
# time: their Arrow data, at most about three times the text, then stays
# within one of the command's row groups.
BATCH_TEXT = ROW_GROUP_BYTES // 4

# The output's Spark schema, from the Arrow schema tessarin's Parquet output uses.
OUTPUT = from_arrow_schema(SCHEMA)


class CounterParam(AccumulatorParam):  # type: ignore[type-arg]
    """Adds up Counters from the executors."""

    def zero(self, value: Counter[str]) -> Counter[str]:
        return Counter()

    def addInPlace(self, value1: Counter[str], value2: Counter[str]) -> Counter[str]:
        value1.update(value2)
        return value1


def local_path(path: str) -> str:
    """The local path of a file: URI as Spark writes it (file:/dir/name, unquoted)."""
    local = path.removeprefix("file:")
    return local.removeprefix("//") if local.startswith("///") else local


def open_file(path: str) -> Any:
    """A binary stream of the file Spark names by `path`, opened on the worker."""
    if path.startswith("file:"):
        return open(local_path(path), "rb")
    from pyarrow import fs

    filesystem, inner = fs.FileSystem.from_uri(path)
    return filesystem.open_input_stream(inner)


def convert_files(batches: Iterable[Any], options: dict[str, Any], counts: Any) -> Iterator[Any]:
    """Arrow batches of file paths (and, with --whole-files, their content) in;
    Arrow batches of rows out, each of at most BATCH_TEXT bytes of messages
    (or one larger message) and ROW_GROUP_ROWS rows.

    tessarin's column builder writes the rows straight into Arrow buffers,
    which Spark takes as they are: no Python object per field."""
    # Imported on the executor: tessarin's converter objects cannot be pickled,
    # so each partition builds its own.
    from tessarin_feeds.parquet import convert_to_batch
    from tessarin_feeds.pipeline import Settings
    from tessarin_feeds.reader import read_messages

    settings = Settings(action="convert", output_format="parquet", **options)

    def converted(messages: list[Any], seen: Counter[str]) -> Any:
        batch = convert_to_batch(
            messages,
            validation_enabled=settings.validate,
            strict_validation=settings.strict,
            escaping_enabled=settings.escaping,
            hl7_syntax=True,  # validation as the command's
        )
        # Counted here, as they are written: reading the maps back would take memory.
        seen["segments"] += len(batch.column("segments").flatten())
        return batch

    for batch in batches:
        contents = batch.column("content").to_pylist() if "content" in batch.schema.names else None
        for number, path in enumerate(batch.column("path").to_pylist()):
            seen: Counter[str] = Counter(files=1)
            messages: list[Any] = []
            text = 0
            try:
                with open_file(path) if contents is None else nullcontext(contents[number]) as source:
                    for message in read_messages(
                        source,
                        name=path,
                        encoding=settings.charset,
                        encoding_errors=settings.encoding_errors,
                        on_notice=lambda notice, seen=seen: seen.update([notice.kind]),
                    ):
                        messages.append(message)
                        text += len(message.text)
                        if text >= BATCH_TEXT or len(messages) >= ROW_GROUP_ROWS:
                            yield converted(messages, seen)
                            messages, text = [], 0
            except (OSError, EOFError, zlib.error) as error:
                # The messages read before the break are written; the file is counted.
                seen["unreadable file"] += 1
                print(f"{path}: cannot be read: {error}", file=sys.stderr)
            if messages:
                yield converted(messages, seen)
            counts.add(seen)


def hadoop_path(spark: SparkSession, path: str) -> tuple[Any, Any]:
    """(file system, path) of `path` as Spark writes it, through Hadoop's API."""
    jvm = spark.sparkContext._jvm
    assert jvm is not None
    found = jvm.org.apache.hadoop.fs.Path(path)
    return found.getFileSystem(spark.sparkContext._jsc.hadoopConfiguration()), found


def output_exists(spark: SparkSession, path: str) -> bool:
    filesystem, found = hadoop_path(spark, path)
    return bool(filesystem.exists(found))


def remove_output(spark: SparkSession, path: str) -> None:
    try:
        filesystem, found = hadoop_path(spark, path)
        filesystem.delete(found, True)
    except Exception:
        # Java may be gone (it ends itself on running out of memory); in local
        # mode a local folder is removed all the same.
        local = path.startswith("file:") or re.match(r"^[A-Za-z][A-Za-z0-9+.-]*:", path) is None
        if local and str(spark.sparkContext.master).startswith("local"):
            shutil.rmtree(local_path(path), ignore_errors=True)


def run(
    spark: SparkSession,
    input_path: str,
    output_path: str,
    pattern: str | None = None,
    partitions: int | None = None,
    *,
    overwrite: bool = False,
    whole_files: bool = False,
    **options: Any,
) -> tuple[Counter[str], DataFrame]:
    """Write the Parquet; return the files, segments and notices counted, and the output read back.

    A run that fails removes the output folder it began, so that the next run
    can start; with `overwrite`, an existing output folder is replaced (and
    left to Spark if the run fails)."""
    reader = spark.read.format("binaryFile").option("recursiveFileLookup", "true")
    if pattern:
        reader = reader.option("pathGlobFilter", pattern)
    # Without the content column, Spark lists the files and reads none of them.
    files = reader.load(input_path).select("path", *(["content"] if whole_files else []))
    if partitions:
        # Small files are packed into few input splits; spread them out.
        files = files.repartition(partitions)
    counts = spark.sparkContext.accumulator(Counter(), CounterParam())
    converted = files.mapInArrow(lambda batches: convert_files(batches, options, counts), OUTPUT)
    existed = output_exists(spark, output_path)
    try:
        converted.write.mode("overwrite" if overwrite else "errorifexists").parquet(output_path)
    except BaseException:
        if not existed:
            remove_output(spark, output_path)
        raise
    return counts.value, spark.read.parquet(output_path)


def summary(written: DataFrame) -> tuple[int, int]:
    """(messages, failures), from the output as written. Only the flat error
    column is read back: the segment maps of a row group can outgrow a
    default heap when Spark's reader takes thousands of rows at a time."""
    row = written.agg(F.count(F.lit(1)), F.count("error")).first()
    assert row is not None
    return int(row[0]), int(row[1])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", help="folder of HL7 files, searched recursively (any Hadoop file system URI)")
    parser.add_argument("output", help="folder for the Parquet part files; must not exist, unless --overwrite")
    parser.add_argument("--overwrite", action="store_true", help="replace the output folder if it exists")
    parser.add_argument(
        "--whole-files",
        action="store_true",
        help="have Spark read each file whole, for file systems the workers cannot open",
    )
    parser.add_argument("--master", help="Spark master (default: local[2], or whatever spark-submit sets)")
    parser.add_argument("--glob", help="take only files whose name matches this pattern (default: every file)")
    parser.add_argument(
        "--conf",
        action="append",
        default=[],
        metavar="KEY=VALUE",
        help="a Spark setting, as spark-submit takes it (repeatable)",
    )
    parser.add_argument("--partitions", type=int, help="spread the files over this many partitions")
    parser.add_argument("--validate", action="store_true", help="validate each message before converting")
    parser.add_argument("--strict", action="store_true", help="validate strictly: version and message type too")
    parser.add_argument("--no-escaping", action="store_true", help="keep HL7 escape sequences as they stand")
    parser.add_argument("--encoding", help="decode every message with this charset (default: UTF-8, else MSH-18)")
    args = parser.parse_args(argv)

    builder = SparkSession.builder.appName("tessarin-hl7-to-parquet")
    for setting in args.conf:
        key, equals, value = setting.partition("=")
        if not equals:
            parser.error(f"--conf takes KEY=VALUE, not {setting!r}")
        builder = builder.config(key, value)
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
    if not args.overwrite and output_exists(spark, args.output):
        spark.stop()
        print(f"{args.output} exists: remove it, or pass --overwrite to replace it", file=sys.stderr)
        return 2
    try:
        counts, written = run(
            spark,
            args.input,
            args.output,
            args.glob,
            args.partitions,
            overwrite=args.overwrite,
            whole_files=args.whole_files,
            validate=args.validate or args.strict,
            strict=args.strict,
            escaping=not args.no_escaping,
            charset=args.encoding,
        )
        messages, failures = summary(written)
    finally:
        spark.stop()
    notices = ", ".join(f"{counts[kind]} {label}" for kind, label in PROBLEMS.items())
    print(
        f"{counts['files']} files, {messages} messages, {counts['segments']} segments, {failures} failures, {notices}, "
        f"{counts['envelope segment']} envelope segments skipped",
        file=sys.stderr,
    )
    # As the tessarin command: anything failed or found wrong is status 1.
    return 1 if failures or any(counts[kind] for kind in PROBLEMS) else 0


if __name__ == "__main__":
    sys.exit(main())
