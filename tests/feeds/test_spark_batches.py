"""The Spark example's worker side, without Spark: files become Arrow batches
of bounded size, together exactly the rows of the whole file."""

from __future__ import annotations

import gzip
import importlib.util
import pathlib
from collections import Counter
from types import SimpleNamespace

import pytest

from conftest import needs_peer

needs_peer("pyspark", "pyspark")
pa = pytest.importorskip("pyarrow")

from tessarin_feeds.parquet import convert_to_batch  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("spark_convert", ROOT / "examples" / "spark_convert.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def feed(sizes: list[int]) -> bytes:
    """Messages of the given numbers of OBX segments, CR between segments."""
    messages = [
        "MSH|^~\\&|LAB|CITY|||20240101||ORU^R01|M%d|P|2.5\rPID|1||%d^^^H^MR\r" % (n, n)
        + "\r".join(f"OBX|{i}|ST|T^Test||value {i} of message {n}" for i in range(count))
        for n, count in enumerate(sizes)
    ]
    return ("\r".join(messages) + "\r").encode()


def run(example, paths: list[str], contents: list[bytes] | None = None) -> tuple[list, Counter[str]]:
    columns = {"path": paths} if contents is None else {"path": paths, "content": contents}
    counts: Counter[str] = Counter()
    # The accumulator's part is only its add().
    batches = list(example.convert_files([pa.RecordBatch.from_pydict(columns)], {}, SimpleNamespace(add=counts.update)))
    return batches, counts


SIZES = {
    "many small": [3] * 400,
    "mixed": [1, 200, 5, 80, 0, 300, 2] * 12,
    "one larger than a batch": [1, 2000, 1],
}


@pytest.mark.parametrize("whole", [False, True], ids=["streamed", "whole files"])
@pytest.mark.parametrize("sizes", SIZES.values(), ids=SIZES.keys())
@pytest.mark.parametrize("packed", [False, True], ids=["plain", "gzip"])
def test_batches_are_bounded_and_together_are_the_whole_file(example, monkeypatch, tmp_path, sizes, whole, packed):
    monkeypatch.setattr(example, "BATCH_TEXT", 20_000)
    monkeypatch.setattr(example, "ROW_GROUP_ROWS", 150)
    data = feed(sizes)
    path = tmp_path / "feed.hl7"
    path.write_bytes(gzip.compress(data) if packed else data)
    name = f"file:{path}"

    batches, counts = run(example, [name], [path.read_bytes()] if whole else None)

    messages = list(read_messages(data, name=name))
    whole = convert_to_batch(messages)
    assert pa.Table.from_batches(batches).equals(pa.Table.from_batches([whole]))
    start = 0
    for batch in batches:
        texts = [len(m.text) for m in messages[start : start + batch.num_rows]]
        # Cut as soon as the text reaches the bound: only the last message may cross it.
        assert sum(texts[:-1]) < 20_000 and batch.num_rows <= 150
        start += batch.num_rows
    assert len(batches) > 1
    assert counts == Counter(files=1, segments=len(whole.column("segments").flatten()))
