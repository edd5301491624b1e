"""The Parquet path's own Arrow arrays against pyarrow.array, and the
command's batches built without pyarrow.array pulling in pandas."""

from __future__ import annotations

import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")

from tessarin_feeds.parquet import _bitmap, _string_array  # noqa: E402


@given(st.lists(st.none() | st.text(st.characters(exclude_categories=("Cs",))), max_size=40))
def test_string_arrays_equal_pyarrows(values):
    assert _string_array(values).equals(pa.array(values, pa.string()))


@given(st.lists(st.booleans(), max_size=40))
def test_bitmaps_hold_the_flags_in_arrow_order(flags):
    built = pa.Array.from_buffers(pa.bool_(), len(flags), [None, _bitmap(flags)])
    assert built.equals(pa.array(flags, pa.bool_()))


BATCH_WITHOUT_PANDAS = """
import sys
from tessarin_feeds.model import Message
from tessarin_feeds.parquet import convert_to_batch
header = "MSH|^~\\\\&|A|B|C|D|20240101||ADT^A01|42|P|2.5"
messages = [
    Message("f", 0, 0, header + "\\rPID|1", envelope=("FHS|^~\\\\&", "BHS|^~\\\\&")),
    Message("f", 1, 50, "", error="other separators", header=header),
    Message("f", 2, 90, header + "\\rPID|2", cut_short="the source broke off"),
]
batch = convert_to_batch(messages)
assert batch.column("message_type").to_pylist() == ["ADT^A01"] * 3, batch
assert batch.column("error").to_pylist() == [None, "other separators", "the source broke off"], batch
assert batch.column("envelope").null_count == 2, batch
print("pandas" in sys.modules)
"""


def test_batches_with_failed_cut_and_enclosed_messages_leave_pandas_unloaded():
    pytest.importorskip("pandas")  # only where it is installed could it be loaded
    result = subprocess.run([sys.executable, "-c", BATCH_WITHOUT_PANDAS], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "False"
