"""Benchmark of `tessarin listen` against a python-hl7 asyncio server.

    python bench/live.py            full run (about two minutes)
    python bench/live.py --quick    smoke run (about half a minute)

Both servers run as child processes on loopback and do the same work per
message: parse it, write one JSON line, acknowledge it; with `fsync`, the
line is flushed to disk before the acknowledgement (python-hl7's server
calls os.fsync per message, as a plain asyncio handler does; tessarin
flushes its journal once for all the messages that arrived meanwhile). 1
and 8 client connections send in lock step (each waits for its ACK before
the next message), from threads of this process, for a fixed time. Printed
side by side from one run, in turns: messages per second and the
acknowledgement latency p50 and p99, per server, connections and durability.

Results go under the key "live" of bench/results.json (or --out); the file's
other keys are kept.
"""

from __future__ import annotations

import datetime
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))
from bench import harness  # noqa: E402

CORPUS = REPO.parent / "shared" / "corpus" / "hl7"
TARGETS = {"8 connections: messages/s, tessarin / python-hl7": 3.0, "8 connections: p99, tessarin / python-hl7": 1.0}


def messages() -> list[bytes]:
    """Corpus messages that both servers take: tessarin converts them, python-hl7 parses and answers them."""
    import hl7

    import tessarin
    from tessarin_feeds.reader import read_messages

    found = []
    for path in sorted(CORPUS.glob("*.hl7")):
        for message in read_messages(str(path)):
            if message.error is not None:
                continue
            try:
                tessarin.Hl7Json(message.text).hl7_json
                hl7.parse(message.text).create_ack()
            except Exception:
                continue
            found.append(message.text.encode("utf-8"))
    return found


# -- the rival, run as `python bench/live.py --rival DIR fsync|write` ----------------------


def rival(folder: str, durability: str) -> None:
    import asyncio

    import hl7
    import hl7.mllp
    import orjson

    fd = os.open(os.path.join(folder, "rows.jsonl"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    sync = durability == "fsync"
    counter = 0

    async def handle(reader: hl7.mllp.HL7StreamReader, writer: hl7.mllp.HL7StreamWriter) -> None:
        nonlocal counter
        peer = writer.get_extra_info("peername")
        try:
            while not writer.is_closing():
                message = await reader.readmessage()
                records = [{str(n): str(field) for n, field in enumerate(segment)} for segment in message]
                counter += 1
                os.write(
                    fd,
                    orjson.dumps({"source": f"mllp://{peer[0]}:{peer[1]}", "message": counter, "records": records})
                    + b"\n",
                )
                if sync:
                    os.fsync(fd)
                writer.writemessage(message.create_ack())
                await writer.drain()
        except asyncio.IncompleteReadError:
            pass
        finally:
            writer.close()

    async def main() -> None:
        server = await hl7.mllp.start_hl7_server(handle, "127.0.0.1", 0, encoding="utf-8", limit=16 << 20)
        print(f"listening on 127.0.0.1:{server.sockets[0].getsockname()[1]}", file=sys.stderr, flush=True)
        stop = asyncio.Event()
        asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
        await stop.wait()
        server.close()

    asyncio.run(main())


# -- load --------------------------------------------------------------------------------


def start(kind: str, folder: pathlib.Path, durability: str) -> tuple[subprocess.Popen[bytes], int]:
    if kind == "tessarin":
        command = [
            sys.executable,
            "-m",
            "tessarin_feeds",
            "listen",
            "-o",
            str(folder),
            "--port",
            "0",
            "--durability",
            durability,
            "--roll-size",
            "64M",
        ]
    else:
        command = [sys.executable, __file__, "--rival", str(folder), durability]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    assert process.stderr is not None
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        line = process.stderr.readline().decode()
        if line.startswith("listening on "):
            threading.Thread(target=process.stderr.read, daemon=True).start()  # keep the pipe drained
            return process, int(line.rsplit(":", 1)[1])
        if not line:
            break
    process.kill()
    raise SystemExit(f"{kind} did not start")


def load(port: int, texts: list[bytes], connections: int, seconds: float) -> tuple[int, list[float]]:
    """Lock-step clients for `seconds` (after a short warm-up): messages answered, latencies."""
    import socket

    from tessarin_feeds import mllp

    frames = [mllp.frame(text) for text in texts]
    latencies: list[list[float]] = [[] for _ in range(connections)]
    begin = threading.Barrier(connections + 1)
    stop_at = [0.0, 0.0]  # warm-up end, run end

    def client(number: int) -> None:
        with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            begin.wait()
            mine = latencies[number]
            n = number * 7
            while True:
                sent = time.perf_counter()
                if sent >= stop_at[1]:
                    return
                sock.sendall(frames[n % len(frames)])
                answer = b""
                while not answer.endswith(b"\x1c\r"):
                    more = sock.recv(65536)
                    if not more:
                        raise ConnectionError("the server closed the connection")
                    answer += more
                if sent >= stop_at[0]:
                    mine.append(time.perf_counter() - sent)
                n += 1

    threads = [threading.Thread(target=client, args=(number,)) for number in range(connections)]
    for thread in threads:
        thread.start()
    now = time.perf_counter()
    stop_at[:] = [now + 0.3, now + 0.3 + seconds]
    begin.wait()
    for thread in threads:
        thread.join(timeout=seconds + 60)
    every = [latency for mine in latencies for latency in mine]
    return len(every), every


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else float("nan")


def measure(kind: str, durability: str, connections: int, texts: list[bytes], seconds: float) -> dict[str, float]:
    with tempfile.TemporaryDirectory(prefix="tessarin-bench-live-") as scratch:
        process, port = start(kind, pathlib.Path(scratch), durability)
        try:
            count, latencies = load(port, texts, connections, seconds)
        finally:
            process.send_signal(signal.SIGTERM)
            process.wait(timeout=60)
    return {
        "messages_per_s": count / seconds,
        "p50_ms": percentile(latencies, 0.5) * 1e3,
        "p99_ms": percentile(latencies, 0.99) * 1e3,
    }


def main() -> int:
    if len(sys.argv) == 4 and sys.argv[1] == "--rival":
        rival(sys.argv[2], sys.argv[3])
        return 0
    args = harness.feed_arguments(__doc__, REPO / "bench" / "results.json")
    if not CORPUS.is_dir():
        print(f"no corpus at {CORPUS}", file=sys.stderr)
        return 2
    texts = messages()
    seconds, rounds = (1.0, 1) if args.quick else (3.0, 3)
    print(f"{len(texts)} corpus messages, {rounds} rounds of {seconds:.0f} s per case", file=sys.stderr)
    table: dict[str, dict[str, object]] = {}
    for durability in ("fsync", "write"):
        for connections in (1, 8):
            runs: dict[str, list[dict[str, float]]] = {"tessarin": [], "python-hl7": []}
            ratios = []
            for r in range(rounds):
                order = ["tessarin", "python-hl7"] if r % 2 == 0 else ["python-hl7", "tessarin"]
                for kind in order:
                    runs[kind].append(measure(kind, durability, connections, texts, seconds))
                ratios.append(runs["tessarin"][-1]["messages_per_s"] / runs["python-hl7"][-1]["messages_per_s"])
            case = f"{connections} connection{'s' if connections > 1 else ''}, {durability}"
            table[case] = {
                kind: {key: round(statistics.median(run[key] for run in found), 2) for key in found[0]}
                for kind, found in runs.items()
            }
            table[case]["messages/s ratio"] = round(statistics.median(ratios), 2)
            print(f"{case}: {table[case]}", file=sys.stderr)
    print()
    print(f"{'case':22} {'server':11} {'msg/s':>9} {'p50 ms':>8} {'p99 ms':>8} {'ratio':>6}")
    for case, row in table.items():
        for kind in ("tessarin", "python-hl7"):
            found = row[kind]
            assert isinstance(found, dict)
            ratio = f"{row['messages/s ratio']:>6.2f}" if kind == "tessarin" else ""
            print(
                f"{case:22} {kind:11} {found['messages_per_s']:>9,.0f} {found['p50_ms']:>8.2f} {found['p99_ms']:>8.2f} {ratio}"
            )
    print(f"targets: {TARGETS}")
    if not args.no_write:
        results = {
            "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
            "mode": "quick" if args.quick else "full",
            "cores": os.cpu_count(),
            "cases": table,
            "targets": TARGETS,
        }
        harness.keep_results(args.out, {"live": results})
        print(f'written under "live" in {args.out}', file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
