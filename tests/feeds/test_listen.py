"""`tessarin listen`: frames, acknowledgements, the journal, restarts and bad peers."""

from __future__ import annotations

import itertools
import json
import pathlib
import socket
import ssl
import threading
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

# The modules below import orjson themselves.
pytest.importorskip("orjson", reason="the tessarin command needs orjson, not installed for this interpreter")

from tessarin_feeds import journal, mllp  # noqa: E402
from tessarin_feeds.jsonl import encode_line  # noqa: E402
from tessarin_feeds.model import Message  # noqa: E402
from tessarin_feeds.tasks import Settings, convert_message  # noqa: E402

from conftest import needs_command, needs_peer
from live_peers import Listener, closed_by_peer, exchange, message

pytestmark = needs_command


def output_rows(folder: pathlib.Path) -> list[dict]:
    return [json.loads(line) for path in sorted(folder.glob("*.jsonl")) for line in path.read_bytes().splitlines()]


def control_ids(rows: list[dict]) -> list[str]:
    return [row["records"][0]["9"] for row in rows if "records" in row]


# -- frames ------------------------------------------------------------------------

_content = st.binary(max_size=300).map(lambda data: data.replace(b"\x0b", b"").replace(b"\x1c", b""))
_junk = st.binary(max_size=40).map(lambda data: data.replace(b"\x0b", b""))


@given(
    pieces=st.lists(st.tuples(_junk, _content), max_size=8),
    cuts=st.lists(st.integers(min_value=0, max_value=4000), max_size=10),
    limit=st.integers(min_value=1, max_value=200),
)
def test_frame_reader_matches_a_model_whatever_the_chunks(pieces, cuts, limit):
    """Frames come out whole and in order, however the bytes are cut; those
    over the limit are flagged with their size; bytes between frames other
    than blanks are counted, not kept."""
    stream = b""
    expected = []
    junk = 0
    for gap, content in pieces:
        # A lone 0x1C between frames is junk too; blanks are not.
        stream += gap
        junk += sum(1 for byte in gap if byte not in b"\r\n \t")
        expected.append((len(stream) + 1, content, len(content) > limit))
        stream += b"\x0b" + content + b"\x1c\r"
    reader = mllp.FrameReader(limit)
    frames = []
    bounds = sorted({min(cut, len(stream)) for cut in cuts} | {0, len(stream)})
    for start, end in itertools.pairwise(bounds):
        frames += reader.feed(stream[start:end])
    assert [(frame.offset, frame.size, frame.oversized) for frame in frames] == [
        (offset, len(content), over) for offset, content, over in expected
    ]
    for frame, (_, content, over) in zip(frames, expected, strict=True):
        assert frame.data == (content[: mllp.HEAD_KEPT] if over else content)
    assert reader.junk == junk
    assert not reader.in_frame


# -- the journal -----------------------------------------------------------------------


@given(payloads=st.lists(st.binary(max_size=50), max_size=10), cut=st.integers(min_value=0, max_value=800))
def test_a_torn_journal_gives_back_its_whole_entries(tmp_path_factory, payloads, cut):
    path = tmp_path_factory.mktemp("torn") / "segment.log"
    data = b"".join(journal.encode_entry(payload) for payload in payloads)
    path.write_bytes(data[:cut])
    whole, size = [], 0
    for payload in payloads:
        size += 8 + len(payload)
        if size <= cut:
            whole.append(payload)
    assert list(journal.read_entries(str(path))) == whole


# -- the command ----------------------------------------------------------------------------


ACK_FIELDS = [
    ("MSH", 3),
    ("MSH", 4),
    ("MSH", 5),
    ("MSH", 6),
    ("MSH", 9),
    ("MSH", 11),
    ("MSH", 12),
    ("MSA", 1),
    ("MSA", 2),
]


@pytest.mark.parametrize("durability", ["fsync", "write"])
def test_python_hl7_client_gets_an_ack_per_message_and_rows_match_convert(tmp_path, durability):
    hl7_client = needs_peer("hl7.client", "python-hl7")
    hl7 = needs_peer("hl7", "python-hl7")
    listener = Listener(tmp_path, "--durability", durability)
    texts = [message(f"C{n}", kind=("ADT^A0%d" % (n % 9 + 1)), value="x" * n) for n in range(25)]
    acks = []
    with hl7_client.MLLPClient(listener.host, listener.port) as client:
        port = client.socket.getsockname()[1]
        for text in texts:
            acks.append(hl7.parse(client.send_message(text).decode().strip("\x0b\x1c\r")))
    assert listener.stop() == 0
    # Sender and receiver swapped, the trigger kept, MSH-11 and MSH-12 copied, MSA naming the message.
    assert [[str(ack.segment(name)[n]) for name, n in ACK_FIELDS] for ack in acks] == [
        ["EHR", "WARD", "LAB", "HOSP", f"ACK^A0{n % 9 + 1}^ACK", "P", "2.5.1", "AA", f"C{n}"] for n in range(len(texts))
    ]
    assert len({str(ack.segment("MSH")[10]) for ack in acks} - {f"C{n}" for n in range(len(texts))}) == len(texts)
    source = f"mllp://127.0.0.1:{port}"
    offsets = [sum(len(text) + 3 for text in texts[:n]) + 1 for n in range(len(texts))]
    expected = [
        json.loads(encode_line(m, *(lambda c: (c.records, c.error))(convert_message(m, Settings()))))
        for m in (Message(source, n, offsets[n], text) for n, text in enumerate(texts))
    ]
    assert output_rows(tmp_path) == expected
    assert listener.summary()["messages stored"] == len(texts)


@pytest.mark.parametrize("durability", ["fsync", "write"])
def test_kill_during_a_flood_loses_no_acknowledged_message(tmp_path, durability):
    """Several connections send in lock step; the listener is killed; after a
    restart, every acknowledged control id is in the output exactly once."""
    listener = Listener(tmp_path, "--durability", durability, "--roll-size", "20K")
    acked: list[str] = []
    sent: list[str] = []
    wrong: list[tuple[str, mllp.Ack]] = []
    lock = threading.Lock()

    def flood(number: int) -> None:
        try:
            with listener.connect(timeout=5) as sock:
                for n in range(5000):
                    control_id = f"K{number}-{n}"
                    with lock:
                        sent.append(control_id)
                    ack = mllp.parse_ack(exchange(sock, message(control_id).encode()))
                    with lock:
                        if (ack.code, ack.control_id) != ("AA", control_id):
                            wrong.append((control_id, ack))
                        acked.append(control_id)
        except (OSError, ConnectionError):
            return  # the listener died

    threads = [threading.Thread(target=flood, args=(number,)) for number in range(4)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + 30
    while len(acked) < 300 and time.monotonic() < deadline:
        time.sleep(0.01)
    listener.kill()
    for thread in threads:
        thread.join(timeout=30)
    assert len(acked) >= 300 and not wrong
    # Rows the killed run left in its journal (each segment starts with its header).
    left = sum(len(list(journal.read_entries(str(path)))[1:]) for path in (tmp_path / ".journal").glob("*.log"))
    restarted = Listener(tmp_path)
    assert restarted.stop() == 0
    assert f"({left} rows)" in "".join(restarted.stderr)  # completed first; nothing came after
    found = control_ids(output_rows(tmp_path))
    counts = {control_id: found.count(control_id) for control_id in set(found)}
    assert all(counts.get(control_id) == 1 for control_id in acked)
    assert set(found) <= set(sent) and max(counts.values()) == 1
    assert not list((tmp_path / ".journal").glob("*.log"))


# -- bad peers -------------------------------------------------------------------------


def test_idle_and_surplus_connections_are_closed(tmp_path):
    listener = Listener(tmp_path, "--idle-timeout", "2", "--max-connections", "2")
    first, second = listener.connect(), listener.connect()
    try:
        assert mllp.parse_ack(exchange(first, message("I1").encode())).code == "AA"
        exchange(second, message("I2").encode())  # both are open now
        with listener.connect() as third:
            assert closed_by_peer(third, within=5)
        # The talking connection outlives the timeout too; silence ends it.
        assert closed_by_peer(first, within=10) and closed_by_peer(second, within=10)
    finally:
        first.close()
        second.close()
    assert listener.stop() == 0
    summary = listener.summary()
    assert (summary["idle connections closed"], summary["connections refused"]) == (2, 1)


# -- TLS ----------------------------------------------------------------------------------


@pytest.fixture
def certificates(tmp_path):
    trustme = needs_peer("trustme", "trustme")
    authority = trustme.CA()
    server = authority.issue_cert("127.0.0.1")
    client = authority.issue_cert("client@example.org")
    paths = {name: tmp_path / f"{name}.pem" for name in ("ca", "cert", "key", "client")}
    authority.cert_pem.write_to_path(str(paths["ca"]))
    server.cert_chain_pems[0].write_to_path(str(paths["cert"]))
    server.private_key_pem.write_to_path(str(paths["key"]))
    client.private_key_and_cert_chain_pem.write_to_path(str(paths["client"]))
    return paths


@pytest.mark.parametrize("require_client, with_certificate", [(False, False), (True, True), (True, False)])
def test_tls(tmp_path, certificates, require_client, with_certificate):
    options = ["--tls-cert", str(certificates["cert"]), "--tls-key", str(certificates["key"])]
    if require_client:
        options += ["--tls-client-ca", str(certificates["ca"])]
    out = tmp_path / "out"
    listener = Listener(out, *options)
    context = ssl.create_default_context(cafile=str(certificates["ca"]))
    if with_certificate:
        context.load_cert_chain(str(certificates["client"]))
    accepted = True
    try:
        with context.wrap_socket(listener.connect(), server_hostname="127.0.0.1") as sock:
            ack = mllp.parse_ack(exchange(sock, message("TLS1").encode()))
            assert (ack.code, ack.control_id) == ("AA", "TLS1")
    except (ssl.SSLError, ConnectionError):
        accepted = False
    assert listener.stop() == 0
    assert accepted == (with_certificate or not require_client)
    assert control_ids(output_rows(out)) == (["TLS1"] if accepted else [])


@pytest.mark.parametrize("sync", [True, False])
def test_a_message_whose_journal_write_fails_is_never_acknowledged(tmp_path, sync):
    import asyncio
    import errno
    import queue

    from tessarin_feeds import listen

    listener = listen.Listener(listen.Options(folder=str(tmp_path), port=0, sync=sync))

    def disk_full(payloads):
        raise OSError(errno.ENOSPC, "No space left on device")

    listener.journal.append = disk_full
    addresses: queue.Queue[str] = queue.Queue()
    thread = threading.Thread(target=lambda: asyncio.run(listener.serve(addresses.put, None)), daemon=True)
    thread.start()
    host, _, port = addresses.get(timeout=30).rpartition(":")
    with socket.create_connection((host, int(port)), timeout=30) as sock:
        sock.sendall(mllp.frame(message("D1").encode()))
        assert closed_by_peer(sock, within=30)  # closed with no answer
    thread.join(timeout=30)
    assert not thread.is_alive()
    assert isinstance(listener.failure, OSError) and listener.failure.errno == errno.ENOSPC
    assert not list(tmp_path.glob("*.jsonl"))
