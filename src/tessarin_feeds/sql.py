"""Fields as written, from SQL: a segment of the Parquet output (its name and
map of keys) read back as HL7 field text, in DuckDB and in Spark.

A field's entries are its keys `N`, `N.C`, `N[R]` and `N[R].C`. Ordered by
repetition, then component, as numbers (the map's byte order puts "5.10"
before "5.2"), they are joined with `~` between repetitions and `^` between
components; a number missing among them still gets its separator, so the
pieces stay in their places. Sub-components were never split, so their `&`
is already in the text. Fields are numbered as HL7 numbers them: in MSH, FHS
and BHS, field 1 is the field separator `|` and field n is the key n - 1.
"""

from __future__ import annotations

from typing import Any

__all__ = ["DUCKDB_MACROS", "HEADER_SEGMENTS", "install", "spark_field", "spark_field_sql", "spark_fields_sql"]

# Segments whose first field is the separator itself, so their keys are one less.
HEADER_SEGMENTS = ("MSH", "FHS", "BHS")
_HEADERS = ", ".join(f"'{name}'" for name in HEADER_SEGMENTS)

# The pieces of one field as structs (r, c, v), r and c 0 where the key has
# none, folded from a start of (0, 1): each piece is preceded by as many `~`
# as repetitions it moves on, then `^` up to its component. Lambda parameters
# are named hl7_* so that they hide no column the caller passes in.
DUCKDB_MACROS = f"""
CREATE OR REPLACE TEMP MACRO hl7_field(segment, n) AS
CASE WHEN segment.segment_name IN ({_HEADERS}) AND n = 1 THEN '|' ELSE list_reduce(
    list_sort(list_transform(
        list_filter(map_entries(segment.fields), lambda hl7_e:
            split_part(split_part(hl7_e.key, '.', 1), '[', 1)
            = CAST(CASE WHEN segment.segment_name IN ({_HEADERS}) THEN n - 1 ELSE n END AS VARCHAR)),
        lambda hl7_e: {{
            r: CASE WHEN contains(hl7_e.key, '[') THEN TRY_CAST(split_part(split_part(hl7_e.key, '[', 2), ']', 1) AS INTEGER) ELSE 0 END,
            c: CASE WHEN contains(hl7_e.key, '.') THEN TRY_CAST(split_part(hl7_e.key, '.', 2) AS INTEGER) ELSE 0 END,
            v: hl7_e.value}})),
    lambda hl7_acc, hl7_x: {{r: hl7_x.r, c: hl7_x.c, v: concat(hl7_acc.v,
        CASE WHEN hl7_x.r > hl7_acc.r THEN repeat('~', hl7_x.r - hl7_acc.r) || repeat('^', greatest(hl7_x.c - 1, 0))
             ELSE repeat('^', hl7_x.c - hl7_acc.c) END,
        hl7_x.v)}},
    {{r: 0, c: 1, v: NULL::VARCHAR}}).v
END;

CREATE OR REPLACE TEMP MACRO hl7_field_count(segment) AS
coalesce(list_max(list_transform(map_keys(segment.fields),
    lambda hl7_k: TRY_CAST(split_part(split_part(hl7_k, '.', 1), '[', 1) AS INTEGER)))
    + CASE WHEN segment.segment_name IN ({_HEADERS}) THEN 1 ELSE 0 END, 0);

CREATE OR REPLACE TEMP MACRO hl7_fields(segment) AS
list_transform(range(1, hl7_field_count(segment) + 1), lambda hl7_f: hl7_field(segment, hl7_f));
"""


def install(connection: Any) -> None:
    """Create the macros hl7_field(segment, n), hl7_field_count(segment) and
    hl7_fields(segment) on a DuckDB connection (DuckDB 1.3 or newer).

    They are temporary: they last as long as the connection and are never
    written into a database file.
    """
    connection.execute(DUCKDB_MACROS)


def spark_field_sql(segment: str, number: int | str) -> str:
    """Spark SQL for field `number` of `segment` as written, or NULL when the
    segment has no entry for it. `segment` is an SQL expression of the struct
    type of the `segments` elements, such as a column name; `number` is an
    int or an SQL expression."""
    s, n = f"({segment})", f"({number})"
    header = f"{s}.segment_name IN ({_HEADERS})"
    return f"""CASE WHEN {header} AND {n} = 1 THEN '|' ELSE aggregate(
    array_sort(transform(
        filter(map_entries({s}.fields), hl7_e ->
            substring_index(substring_index(hl7_e.key, '.', 1), '[', 1)
            = CAST(CASE WHEN {header} THEN {n} - 1 ELSE {n} END AS STRING)),
        hl7_e -> named_struct(
            'r', CASE WHEN instr(hl7_e.key, '[') > 0
                      THEN CAST(substring_index(substring_index(hl7_e.key, '[', -1), ']', 1) AS INT) ELSE 0 END,
            'c', CASE WHEN instr(hl7_e.key, '.') > 0 THEN CAST(substring_index(hl7_e.key, '.', -1) AS INT) ELSE 0 END,
            'v', hl7_e.value))),
    named_struct('r', 0, 'c', 1, 'v', CAST(NULL AS STRING)),
    (hl7_acc, hl7_x) -> named_struct('r', hl7_x.r, 'c', hl7_x.c, 'v', concat(coalesce(hl7_acc.v, ''),
        CASE WHEN hl7_x.r > hl7_acc.r THEN concat(repeat('~', hl7_x.r - hl7_acc.r), repeat('^', greatest(hl7_x.c - 1, 0)))
             ELSE repeat('^', hl7_x.c - hl7_acc.c) END,
        coalesce(hl7_x.v, ''))),
    hl7_acc -> hl7_acc.v) END"""


def spark_fields_sql(segment: str) -> str:
    """Spark SQL for every field of `segment` as written, field n at index
    n - 1 (from 1 with element_at), up to its last; NULL where a number has
    no entry."""
    s = f"({segment})"
    count = (
        f"coalesce(aggregate(map_keys({s}.fields), CAST(NULL AS INT), (hl7_m, hl7_k) -> "
        f"greatest(hl7_m, CAST(substring_index(substring_index(hl7_k, '.', 1), '[', 1) AS INT)))"
        f" + CASE WHEN {s}.segment_name IN ({_HEADERS}) THEN 1 ELSE 0 END, 0)"
    )
    # sequence(1, 0) counts down, so a segment without fields is its own case.
    return (
        f"CASE WHEN {count} = 0 THEN CAST(array() AS ARRAY<STRING>) "
        f"ELSE transform(sequence(1, {count}), hl7_f -> {spark_field_sql(segment, 'hl7_f')}) END"
    )


def spark_field(segment: str, number: int | str) -> Any:
    """spark_field_sql as a pyspark Column, for select() and withColumn()."""
    from pyspark.sql import functions as F  # type: ignore[import-not-found, unused-ignore]

    return F.expr(spark_field_sql(segment, number))


if __name__ == "__main__":
    # For the DuckDB command line: python -m tessarin_feeds.sql > hl7.sql, then .read hl7.sql
    print(DUCKDB_MACROS)
