"""`tessarin listen`: frames, acknowledgements, the journal, restarts and bad peers."""

from __future__ import annotations

import json
import os
import pathlib
import signal
import socket
import ssl
import threading
import time

import pytest
from conftest import needs_command, needs_peer
from hypothesis import given
from hypothesis import strategies as st
from live_peers import Listener, closed_by_peer, exchange, message

from tessarin_feeds import journal, mllp
from tessarin_feeds.jsonl import encode_line
from tessarin_feeds.model import Message
from tessarin_feeds.tasks import Settings, convert_message

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
    for start, end in zip(bounds, bounds[1:]):
        frames += reader.feed(stream[start:end])
    assert [(frame.offset, frame.size, frame.oversized) for frame in frames] == [
        (offset, len(content), over) for offset, content, over in expected
    ]
    for frame, (_, content, over) in zip(frames, expected):
        assert frame.data == (content[: mllp.HEAD_KEPT] if over else content)
    assert reader.junk == junk
    assert not reader.in_frame


@given(text=st.text(max_size=60), code=st.sampled_from(["AE", "AR"]))
def test_error_text_survives_the_acknowledgement(text, code):
    ack = mllp.build_ack(message("C1").encode(), code, text)
    assert ack.count(b"\r") == 3  # MSH, MSA, ERR: the text's line ends are escaped
    assert mllp.parse_ack(ack) == mllp.Ack(code, "C1", text)


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


@pytest.mark.parametrize("crash_after", ["append", "rename"])
def test_rolling_again_after_a_crash_writes_each_row_once(tmp_path, crash_after):
    out = tmp_path / "out"
    out.mkdir()
    log = journal.Journal(str(out), {"format": "jsonl"}, sync=True)
    log.append([b'{"n":1}', b'{"n":2}'])
    segment = log.rotate()
    log.close()
    assert segment is not None
    if crash_after == "rename":
        # The file was renamed into place but the segment not yet removed.
        keep = pathlib.Path(segment.path).read_bytes()
        journal.roll(segment, str(out))
        pathlib.Path(segment.path).write_bytes(keep)
    again = journal.Journal(str(out), {"format": "jsonl"}, sync=True)
    for leftover in again.leftovers():
        journal.roll(leftover, str(out))
    again.append([b'{"n":3}'])
    assert again.rotate().sequence > segment.sequence  # numbers are never reused
    again.close()
    assert output_rows(out) == [{"n": 1}, {"n": 2}]
    assert not list(out.glob(".*.part")) and len(list(out.glob("*.jsonl"))) == 1


# -- the command ----------------------------------------------------------------------------


ACK_FIELDS = [("MSH", 3), ("MSH", 4), ("MSH", 5), ("MSH", 6), ("MSH", 9), ("MSH", 11), ("MSH", 12), ("MSA", 1), ("MSA", 2)]


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


@pytest.mark.parametrize(
    "options, text, error",
    [
        (["--validate"], "MSH|^~\\&|LAB\rPID|1", "HL7 validation failed: MSH segment must have at least 12 fields"),
        ([], "MSH|$~\\&|LAB|HOSP|EHR|WARD|20240301||ADT^A01|Q7|P|2.5", "non-default separators"),
    ],
)
def test_failing_message_is_stored_as_an_error_row_and_answered_ae(tmp_path, options, text, error):
    listener = Listener(tmp_path, *options)
    with listener.connect() as sock:
        ack = mllp.parse_ack(exchange(sock, text.encode()))
        good = mllp.parse_ack(exchange(sock, message("C2").encode()))
    assert listener.stop() == 0
    rows = output_rows(tmp_path)
    assert ack.code == "AE" and error in ack.text and ack.text == rows[0]["error"]
    assert (good.code, good.control_id) == ("AA", "C2")
    assert [row["message"] for row in rows] == [0, 1] and "records" in rows[1]


def test_parquet_rows_hold_the_messages(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    listener = Listener(tmp_path, "--format", "parquet", "--roll-size", "1")
    with listener.connect() as sock:
        codes = [mllp.parse_ack(exchange(sock, message(f"P{n}").encode())).code for n in range(5)]
    assert listener.stop() == 0
    files = sorted(tmp_path.glob("*.parquet"))
    table = pq.read_table(files) if len(files) == 1 else pq.ParquetDataset(files).read()
    assert codes == ["AA"] * 5
    assert sorted(table.column("control_id").to_pylist()) == [f"P{n}" for n in range(5)]
    assert len(files) >= 2  # every flush passes a roll size of one byte


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


@pytest.mark.parametrize(
    "before, between, counted",
    [(b"garbage", b"", 7), (b"\r\n", b"\x00\x01junk\r", 6), (b"", b"\x1c\x1c", 2)],
)
def test_bytes_outside_frames_are_counted_and_the_next_frame_is_read(tmp_path, before, between, counted):
    listener = Listener(tmp_path)
    with listener.connect() as sock:
        first = exchange(sock, before + mllp.frame(message("J1").encode()), framed=False)
        second = exchange(sock, between + mllp.frame(message("J2").encode()), framed=False)
    assert listener.stop() == 0
    assert [mllp.parse_ack(ack).control_id for ack in (first, second)] == ["J1", "J2"]
    assert listener.summary()["bytes outside frames"] == counted
    assert f"{counted} bytes outside frames were discarded" in "".join(listener.stderr)
    assert control_ids(output_rows(tmp_path)) == ["J1", "J2"]


BIG = message("BIG", value="v" * 200_000).encode()


@pytest.mark.parametrize(
    "refused_frame, control_id, text",
    [
        (BIG, "BIG", f"frame of {len(BIG)} bytes is larger than the limit of 1024 bytes"),
        (b"PID|1||no header", "", "no HL7 message in the frame"),
    ],
)
def test_refused_frame_is_answered_ar_then_the_connection_goes_on(tmp_path, refused_frame, control_id, text):
    listener = Listener(tmp_path, "--max-message-size", "1K")
    with listener.connect() as sock:
        refused = mllp.parse_ack(exchange(sock, refused_frame))
        accepted = mllp.parse_ack(exchange(sock, message("OK").encode()))
    assert listener.stop() == 0
    assert refused == mllp.Ack("AR", control_id, text)
    assert (accepted.code, accepted.control_id) == ("AA", "OK")
    assert control_ids(output_rows(tmp_path)) == ["OK"]
    assert listener.summary()["frames rejected (answered AR)"] == 1


def _loopback_v6() -> bool:
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


@pytest.mark.parametrize("host", ["127.0.0.1", pytest.param("::1", marks=pytest.mark.skipif(not _loopback_v6(), reason="no ::1"))])
def test_peer_leaving_inside_a_frame_costs_nothing_else(tmp_path, host):
    listener = Listener(tmp_path, host=host)
    with listener.connect() as sock:
        assert mllp.parse_ack(exchange(sock, message("T1").encode())).code == "AA"
        sock.sendall(b"\x0b" + message("T2").encode()[:30])
        left = sock.getsockname()[1]
    with listener.connect() as sock:
        assert mllp.parse_ack(exchange(sock, message("T3").encode())).code == "AA"
    assert listener.stop() == 0
    rows = output_rows(tmp_path)
    assert control_ids(rows) == ["T1", "T3"]
    shown = f"[{host}]" if ":" in host else host
    assert rows[0]["source"] == f"mllp://{shown}:{left}"
    assert listener.summary()["connections closed inside a frame"] == 1
    assert f"tessarin: mllp://{shown}:{left}: the connection closed inside a frame" in "".join(listener.stderr)


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


@pytest.mark.parametrize("ending", ["half-close", "sigint"])
def test_what_was_read_is_answered_before_closing(tmp_path, ending):
    listener = Listener(tmp_path)
    with listener.connect() as sock:
        sock.sendall(b"".join(mllp.frame(message(f"S{n}").encode()) for n in range(40)))
        if ending == "half-close":
            sock.shutdown(socket.SHUT_WR)
        received = sock.recv(1 << 16)  # at least one answer is on its way
        status = listener.stop(signal.SIGINT) if ending == "sigint" else None
        while more := sock.recv(1 << 16):
            received += more
    if status is None:
        status = listener.stop()
    assert status == 0
    answers = [mllp.parse_ack(frame.data).control_id for frame in mllp.FrameReader(1 << 20).feed(received)]
    assert answers == [f"S{n}" for n in range(len(answers))] and answers
    # What was read before the signal is answered; the rest was never taken.
    assert control_ids(output_rows(tmp_path)) == answers
    assert len(answers) == 40 or ending == "sigint"


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


def test_a_peer_that_reads_no_answers_is_read_no_further(tmp_path):
    listener = Listener(tmp_path, "--durability", "write")
    burst = b"".join(mllp.frame(message(f"F{n}").encode()) for n in range(1000))
    sent = 0
    with listener.connect() as sock:
        sock.settimeout(1.0)
        deadline = time.monotonic() + 30
        try:
            while sent < 400 * len(burst) and time.monotonic() < deadline:
                sock.sendall(burst)
                sent += len(burst)
        except TimeoutError:
            stalled = True
        else:
            stalled = False
        status = pathlib.Path(f"/proc/{listener.process.pid}/status").read_text()
        rss = int(next(line for line in status.splitlines() if line.startswith("VmRSS")).split()[1])
    assert listener.stop() == 0
    assert stalled, f"{sent} bytes went in without a pause"
    if not os.environ.get("TESSARIN_SANITIZED"):  # AddressSanitizer's shadow and quarantine swell the figure
        assert rss < 256 * 1024  # KiB: the answers and frames held are bounded, not the sent bytes
    assert listener.summary()["messages stored"] < sent // len(mllp.frame(message("F0").encode()))


@pytest.mark.parametrize("problem", ["certificate without key", "port in use", "folder in use"])
def test_a_listener_that_cannot_start_says_why_in_one_line(tmp_path, problem):
    import subprocess

    from live_peers import COMMAND, ROOT

    options = ["listen", "-o", str(tmp_path), "--port", "0"]
    holder = None
    if problem == "certificate without key":
        options += ["--tls-cert", str(tmp_path / "cert.pem")]
    elif problem == "port in use":
        holder = socket.create_server(("127.0.0.1", 0))
        options[-1] = str(holder.getsockname()[1])
    else:
        holder = journal.Journal(str(tmp_path), {"format": "jsonl"}, sync=False)
    try:
        result = subprocess.run([*COMMAND, *options], capture_output=True, text=True, cwd=ROOT, timeout=60)
    finally:
        if holder is not None:
            holder.close()
    assert result.returncode == 2
    assert len(result.stderr.splitlines()) == 1 and result.stderr.startswith("tessarin: ")
    assert {"certificate without key": "TLS needs both", "port in use": "cannot listen on",
            "folder in use": "in use by another tessarin listen"}[problem] in result.stderr


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


@pytest.mark.parametrize("trusted", [True, False])
def test_send_over_tls(tmp_path, certificates, trusted):
    import subprocess

    from live_peers import COMMAND, ROOT

    out = tmp_path / "out"
    listener = Listener(out, "--tls-cert", str(certificates["cert"]), "--tls-key", str(certificates["key"]))
    feed = tmp_path / "feed.hl7"
    feed.write_text("\r".join([message("V1"), message("V2")]))
    authority = certificates["ca"] if trusted else certificates["cert"]  # a server certificate is no CA
    result = subprocess.run([*COMMAND, "send", f"127.0.0.1:{listener.port}", str(feed), "--tls-ca", str(authority)],
                            capture_output=True, text=True, cwd=ROOT, timeout=120)
    assert listener.stop() == 0
    assert (result.returncode, control_ids(output_rows(out))) == ((0, ["V1", "V2"]) if trusted else (2, []))
    assert ("accepted (AA): 2" if trusted else "TLS with 127.0.0.1") in result.stderr


def test_roll_interval_cuts_a_file_while_listening(tmp_path):
    listener = Listener(tmp_path, "--roll-interval", "0.3")
    with listener.connect() as sock:
        assert mllp.parse_ack(exchange(sock, message("R1").encode())).code == "AA"
        deadline = time.monotonic() + 20
        while not list(tmp_path.glob("*.jsonl")) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert control_ids(output_rows(tmp_path)) == ["R1"]
        assert mllp.parse_ack(exchange(sock, message("R2").encode())).code == "AA"
    assert listener.stop() == 0
    assert len(list(tmp_path.glob("*.jsonl"))) == 2 and control_ids(output_rows(tmp_path)) == ["R1", "R2"]
