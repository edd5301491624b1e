"""What the Parquet path keeps in memory: a finished batch holds about its
own bytes, not the room reserved for building it."""

from __future__ import annotations

import gc

import pytest
from test_leaks import HEAP

pa = pytest.importorskip("pyarrow")
pytest.importorskip("orjson", reason="the tessarin command needs orjson, not installed for this interpreter")

from tessarin_feeds import _columns, tasks  # noqa: E402


@pytest.mark.skipif(HEAP is None, reason="reads the C heap through glibc's malloc_info")
@pytest.mark.parametrize(("messages", "value_bytes"), [(4, 1 << 20), (4000, 1000)])
def test_finished_batch_holds_about_its_own_bytes(messages: int, value_bytes: int) -> None:
    # Few long values: the room reserved for keys and offsets goes unused,
    # and a batch waiting for its row group must not keep it.
    value = b"A" * value_bytes
    data = b"".join(b"MSH|^~\\&|||||||ORU^R01|%d|P|2.5\rOBX|1|ED|PDF||%s\r" % (n, value) for n in range(messages))
    gc.collect()
    before = HEAP()
    built = _columns.build_feeds(
        [(b"feed.hl7", data)], max_message_size=tasks.MAX_MESSAGE_SIZE, max_fields=tasks.MAX_FIELDS
    )
    batch = pa.record_batch(built[0])
    gc.collect()
    held = HEAP() - before
    assert batch.num_rows == messages
    assert batch.nbytes <= held < batch.nbytes + len(data) // 2 + (1 << 20), (held, batch.nbytes, len(data))
