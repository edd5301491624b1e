"""What the Parquet path keeps in memory: a finished batch holds about its
own bytes, not the room reserved for building it, and the command's
writer allocates from a pool that gives freed pages back."""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
import os
import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pytest.importorskip("orjson", reason="the tessarin command needs orjson, not installed for this interpreter")

from tessarin_feeds import _columns, tasks  # noqa: E402


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks")
        + ("keepcost",)
    ]


def _heap_in_use() -> int:
    """Bytes the C heap gives out: its arenas' and its mapped chunks'."""
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


try:
    _MALLINFO2 = ctypes.CDLL(ctypes.util.find_library("c")).mallinfo2
    _MALLINFO2.restype = _MallInfo2
except (AttributeError, OSError, TypeError):  # not glibc 2.33 or later
    _MALLINFO2 = None
if os.environ.get("LD_PRELOAD"):  # a sanitizer runtime owns malloc, and glibc's counts stay 0
    _MALLINFO2 = None


def _feed(messages: int, value_bytes: int) -> bytes:
    value = b"A" * value_bytes
    return b"".join(
        b"MSH|^~\\&|APP|FAC|||20240101||ORU^R01|%d|P|2.5\rOBX|1|ED|PDF||%s\r" % (number, value)
        for number in range(messages)
    )


@pytest.mark.skipif(_MALLINFO2 is None, reason="needs glibc's mallinfo2")
@pytest.mark.parametrize(("messages", "value_bytes"), [(4, 1 << 20), (4000, 1000)])
def test_finished_batch_holds_about_its_own_bytes(messages: int, value_bytes: int) -> None:
    # Few long values: the room reserved for keys and offsets goes unused,
    # and a batch waiting for its row group must not keep it.
    data = _feed(messages, value_bytes)
    gc.collect()
    before = _heap_in_use()
    built = _columns.build_feeds(
        [(b"feed.hl7", data)], max_message_size=tasks.MAX_MESSAGE_SIZE, max_fields=tasks.MAX_FIELDS
    )
    batch = pa.record_batch(built[0])
    gc.collect()
    held = _heap_in_use() - before
    assert batch.num_rows == messages
    assert batch.nbytes <= held < batch.nbytes + len(data) // 2 + (1 << 20), (held, batch.nbytes, len(data))


PROBE = (
    "import tessarin_feeds._entry as entry\nentry.choose_arrow_pool()\nimport tessarin_feeds.parquet, pyarrow as pa\n"
    "try:\n    pa.jemalloc_memory_pool(); has = True\nexcept NotImplementedError:\n    has = False\n"
    "print(pa.default_memory_pool().backend_name, has)"
)


@pytest.mark.skipif(sys.platform != "linux", reason="the pool is chosen on Linux only")
@pytest.mark.parametrize("chosen", [None, "system"])
def test_pool_is_jemalloc_unless_the_user_chose(chosen: str | None) -> None:
    env = {key: value for key, value in os.environ.items() if key != "ARROW_DEFAULT_MEMORY_POOL"}
    if chosen is not None:
        env["ARROW_DEFAULT_MEMORY_POOL"] = chosen
    done = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True, check=True)
    backend, has_jemalloc = done.stdout.split()
    assert done.stderr == ""
    if chosen is not None:
        assert backend == chosen
    elif has_jemalloc == "True":
        assert backend == "jemalloc"
