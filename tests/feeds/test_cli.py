"""The `tessarin` command: convert, validate and to-hl7 over whole feeds."""

from __future__ import annotations

import gzip
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

from tessarin import Hl7Json

from conftest import CORPUS_DIR as CORPUS
from conftest import needs_command, needs_corpus

pytestmark = needs_command

ROOT = pathlib.Path(__file__).resolve().parents[2]
COMMAND = [sys.executable, "-m", "tessarin_feeds"]

HEADER = "MSH|^~\\&|LAB|HOSP|EHR|HOSP|20240301120000||ORU^R01^ORU_R01|{id}|P|2.5.1"


def message(n: int, extra: str = "") -> str:
    return "\r".join([HEADER.format(id=f"C{n}"), f"PID|1||{n}^^^HOSP^MR||DOE^JANE", f"OBX|1|NM|GLU||{n}|mg/dL{extra}"])


def tessarin(*args: str, stdin: bytes | None = None, cwd: pathlib.Path = ROOT) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([*COMMAND, *args], input=stdin, capture_output=True, cwd=cwd, timeout=300)


def rows(data: bytes) -> list[dict]:
    return [json.loads(line) for line in data.splitlines()]


def summary(stderr: bytes) -> dict[str, int]:
    """The summary's "name: count" lines."""
    found = {}
    for line in stderr.decode().splitlines():
        name, _, value = line.partition(": ")
        if value.split(" ")[0].isdigit() and not line.startswith(("tessarin", " ")):
            found[name] = int(value.split(" ")[0])
    return found


@pytest.fixture
def feed(tmp_path: pathlib.Path) -> pathlib.Path:
    """A folder: plain files, a sub-folder, a CRLF batch file, and hidden files to skip."""
    folder = tmp_path / "feed"
    (folder / "sub").mkdir(parents=True)
    (folder / ".hidden").mkdir()
    (folder / "a.hl7").write_text(message(1))
    (folder / "sub" / "b.hl7").write_text(message(2) + "\r\n")
    batch = [
        "FHS|^~\\&|LAB",
        "BHS|^~\\&|LAB",
        message(3).replace("\r", "\r\n"),
        message(4).replace("\r", "\r\n"),
        "BTS|2",
        "FTS|1",
    ]
    (folder / "c.txt").write_text("\r\n".join(batch) + "\r\n")
    (folder / ".skipped.hl7").write_text("junk")
    (folder / ".hidden" / "d.hl7").write_text("junk")
    return folder


def test_convert_folder_rows_in_order_with_keys_in_order(feed):
    done = tessarin("convert", "--jobs", "1", str(feed))
    assert done.returncode == 0, done.stderr
    lines = rows(done.stdout)
    assert [(pathlib.Path(r["source"]).relative_to(feed).as_posix(), r["message"]) for r in lines] == [
        ("a.hl7", 0),
        ("c.txt", 0),
        ("c.txt", 1),
        ("sub/b.hl7", 0),
    ]
    # Rows inside the batch carry its headers' records, before their own.
    enclosed = [r["source"].endswith("c.txt") for r in lines]
    assert [list(r) for r in lines] == [
        ["source", "message", "offset", *(["envelope"] if inside else []), "records"] for inside in enclosed
    ]
    assert lines[1]["envelope"] == [Hl7Json("FHS|^~\\&|LAB").hl7_json[0], Hl7Json("BHS|^~\\&|LAB").hl7_json[0]]
    assert lines[0]["records"] == Hl7Json(message(1)).hl7_json
    assert lines[2]["records"] == Hl7Json(message(4)).hl7_json
    assert lines[1]["offset"] == len("FHS|^~\\&|LAB\r\nBHS|^~\\&|LAB\r\n")
    counts = summary(done.stderr)
    assert counts["sources"] == 3 and counts["messages"] == 4 and counts["failed messages"] == 0
    assert counts["segments"] == sum(len(r["records"]) for r in lines)
    assert counts["envelope segments skipped"] == 4


@pytest.mark.parametrize("pattern, expected", [("*.hl7", ["a.hl7", "b.hl7"]), ("sub/*", ["b.hl7"]), ("*.none", [])])
def test_glob_selects_files_in_folders(feed, pattern, expected):
    done = tessarin("convert", "--glob", pattern, str(feed))
    assert done.returncode == 0, done.stderr
    assert [pathlib.Path(r["source"]).name for r in rows(done.stdout)] == expected


def test_standard_input_and_errors_as_rows():
    # pv1 passes the module's rule 8 but not the command's.
    data = ("junk before\r" + message(1) + "\r" + message(2).replace("PID|", "pv1|") + "\r").encode()
    done = tessarin("convert", "--validate", "-", stdin=data)
    assert done.returncode == 1
    first, second = rows(done.stdout)
    assert first["source"] == "<stdin>" and "records" in first
    assert list(second) == ["source", "message", "offset", "error"]
    assert second["error"] == (
        "Invalid segment name: pv1 (must be 3 characters: an uppercase letter, then uppercase letters or digits)"
    )
    counts = summary(done.stderr)
    assert counts["stray fragments"] == 1 and counts["failed messages"] == 1
    assert b"stray fragment at byte 0" in done.stderr


@pytest.mark.parametrize(
    "args, text",
    [
        (["convert", "{tmp}/missing.hl7"], "tessarin: cannot read {tmp}/missing.hl7: No such file or directory"),
        (
            ["convert", "-o", "{tmp}/no/such/folder/out.jsonl", "{feed}"],
            "tessarin: cannot write {tmp}/no/such/folder/out.jsonl",
        ),
        (["convert", "-o", "{tmp}", "{feed}"], "tessarin: cannot write {tmp}: it is a folder"),
        (["convert", "--jobs", "0", "{feed}"], "tessarin: argument --jobs/-j: must be at least 1"),
        (["convert", "--encoding", "klingon", "{feed}"], "tessarin: argument --encoding: unknown character set"),
        (["convert", "--format", "parquet", "{feed}"], "tessarin: Parquet output needs a file"),
        (
            ["convert", "--format", "parquet", "-o", "{tmp}/x.jsonl", "{feed}"],
            "tessarin: --format parquet does not match",
        ),
        (["convert"], "tessarin: the following arguments are required: PATH"),
        (["frobnicate"], "tessarin: argument COMMAND: invalid choice"),
        (["to-hl7", "{tmp}/missing.jsonl"], "tessarin: cannot read {tmp}/missing.jsonl"),
        (["to-hl7", "{feed}/a.hl7"], "tessarin: {feed}/a.hl7 line 1: not valid JSON"),
    ],
)
def test_usage_and_io_errors_exit_2_with_one_line(tmp_path, feed, args, text):
    done = tessarin(*[a.format(tmp=tmp_path, feed=feed) for a in args])
    assert done.returncode == 2
    stderr = done.stderr.decode()
    assert stderr.startswith(text.format(tmp=tmp_path, feed=feed)), stderr
    assert len(stderr.splitlines()) == 1
    assert not list(tmp_path.glob("**/*.part"))


def test_output_file_formats(tmp_path, feed):
    plain, packed = tmp_path / "out.jsonl", tmp_path / "out.jsonl.gz"
    for out, jobs in ((plain, "1"), (packed, "2")):
        assert tessarin("convert", "-j", jobs, "-o", str(out), str(feed)).returncode == 0
    assert gzip.decompress(packed.read_bytes()) == plain.read_bytes()
    assert len(rows(plain.read_bytes())) == 4
    assert sorted(p.name for p in tmp_path.iterdir()) == ["feed", "out.jsonl", "out.jsonl.gz"]
    assert plain.stat().st_mode & 0o777 == 0o666 & ~_umask()


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_parquet_output(tmp_path, feed):
    pq = pytest.importorskip("pyarrow.parquet")
    out = tmp_path / "out.parquet"
    done = tessarin("convert", "-o", str(out), str(feed))
    assert done.returncode == 0, done.stderr
    table = pq.read_table(out)
    assert table.num_rows == 4
    assert table.column("control_id").to_pylist() == ["C1", "C3", "C4", "C2"]


def _many_messages(folder: pathlib.Path, files: int, per_file: int) -> None:
    folder.mkdir()
    for f in range(files):
        text = "\r".join(message(f * per_file + m, "" if m % 7 else "|x\\T\\y") for m in range(per_file))
        (folder / f"f{f:03}.hl7").write_text(text.replace("PID|1||3", "P_1|1||3"))


@pytest.mark.parametrize("option", [[], ["--validate"], ["--no-escaping"]], ids=["plain", "validate", "raw"])
def test_jobs_keep_input_order_and_give_the_same_bytes(tmp_path, option):
    folder = tmp_path / "many"
    _many_messages(folder, files=150, per_file=30)
    (folder / "big.hl7").write_text("\n".join(message(m) for m in range(2500)))  # several batches
    outputs = []
    for jobs in (["--jobs", "1"], ["--jobs", "2"], []):  # [] the default, whatever the load
        done = tessarin("convert", *option, *jobs, str(folder), "-", stdin=(message(9) + "\n").encode() * 1200)
        assert done.returncode == (1 if option == ["--validate"] else 0), done.stderr
        outputs.append(done.stdout)
    assert outputs[0] == outputs[1] == outputs[2]
    lines = rows(outputs[0])
    assert len(lines) == 150 * 30 + 2500 + 1200
    assert [r["message"] for r in lines[-1200:]] == list(range(1200))


@pytest.mark.parametrize("output_kind", ["object", "file"], ids=["parts-appended-here", "workers-write"])
@pytest.mark.parametrize("task_text", [1 << 20, 30_000], ids=["whole-tasks", "tasks-handed-back-when-full"])
def test_pool_path_for_large_files(tmp_path, monkeypatch, task_text, output_kind):
    """Files too large to go whole to a worker are split by this process; a
    worker hands them back, and the rest of a full task, in input order, and
    their rows come before those of the tasks already in flight."""
    from tessarin_feeds import jsonl, pipeline, tasks
    from tessarin_feeds.outputs import OutputBase
    from tessarin_feeds.reader import read_messages
    from tessarin_feeds.sources import find_sources

    folder = tmp_path / "many"
    _many_messages(folder, files=12, per_file=700)
    monkeypatch.setattr(tasks, "WHOLE_FILE_MAX", 50_000)  # every other file is split here
    monkeypatch.setattr(tasks, "BATCH_MESSAGES", 100)
    monkeypatch.setattr(tasks, "BATCH_FILES", 2)  # several tasks in flight behind one handing back
    monkeypatch.setattr(tasks, "SIZE_GUESS", 1 << 20)  # workers even for so few files
    monkeypatch.setattr(tasks, "WHOLE_TASK_TEXT", task_text)
    monkeypatch.setattr(tasks, "STREAMED_TASK_TEXT", task_text)
    for f in range(0, 12, 2):
        (folder / f"f{f:03}.hl7").write_bytes((folder / f"f{f:03}.hl7").read_bytes()[:40_000].rpartition(b"\rMSH")[0])

    class Collect(OutputBase):
        def __init__(self):
            self.data = b""

        def write(self, batch):
            self.data += batch

    outs = []
    for jobs in (1, 2):
        if output_kind == "object":
            out = Collect()
            tally = pipeline.run(find_sources([str(folder)]), pipeline.Settings(), out, jobs=jobs)
            outs.append(out.data)
        else:
            path = tmp_path / f"out{jobs}.jsonl"
            with open(path, "wb") as stream:
                out = jsonl.JsonlOutput(stream)
                tally = pipeline.run(find_sources([str(folder)]), pipeline.Settings(), out, jobs=jobs)
                out.close()
            outs.append(path.read_bytes())
    assert outs[0] == outs[1]
    assert tally.sources == 12 and tally.messages == len(outs[0].splitlines())
    order = [(r["source"], r["message"]) for r in rows(outs[0])]
    expected = [(str(path), n) for path in sorted(folder.iterdir()) for n in range(len(list(read_messages(path))))]
    assert order == expected
    assert jsonl.join_lines([]) == b""


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
@pytest.mark.parametrize("size", ["small", "large"])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_source_that_breaks_off_keeps_what_was_read_and_the_run_goes_on(tmp_path, jobs, size, fmt):
    """A gzip file cut short and a dangling link among good files: each is told
    in one line and counted, what was read before the break is kept, the
    message it broke off in marked as cut short, and the files after it are
    converted; status 1."""
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    feed = tmp_path / "feed"
    feed.mkdir()
    (feed / "a.hl7").write_text(message(1))
    copies = 40_000 if size == "large" else 30  # large: several chunks once decompressed
    data = gzip.compress((message(2) + "\r").encode() * copies)
    (feed / "b.hl7.gz").write_bytes(data[: len(data) * 3 // 4])
    (feed / "c.hl7").symlink_to(feed / "gone.hl7")
    (feed / "d.hl7").write_text(message(4))
    out = tmp_path / f"out.{fmt}"
    done = tessarin("convert", "--no-progress", "--jobs", jobs, str(feed), "-o", str(out))
    assert done.returncode == 1, done.stderr
    told = [line for line in done.stderr.decode().splitlines() if ": read error at byte" in line]
    assert [line.split(": read error")[0] for line in told] == [f"tessarin: {feed}/b.hl7.gz", f"tessarin: {feed}/c.hl7"]
    assert summary(done.stderr)["sources unreadable or broken off"] == 2
    if fmt == "parquet":
        import pyarrow.parquet as pq

        found = pq.read_table(out).to_pylist()
    else:
        found = rows(out.read_bytes())
    names = [pathlib.Path(r["source"]).name for r in found]
    assert names[0] == "a.hl7" and names[-1] == "d.hl7" and set(names[1:-1]) == {"b.hl7.gz"}
    broken = found[-2]
    assert broken["error"].startswith("message cut short at byte ")
    assert (broken.get("records") or broken.get("segments"))[0]["segment_name"] == "MSH"
    assert (
        all(r["error"] is None for r in found[1:-2]) if fmt == "parquet" else all("error" not in r for r in found[1:-2])
    )


def test_validate_lines_and_summary(tmp_path):
    (tmp_path / "ok.hl7").write_text(message(1))
    (tmp_path / "pv1.hl7").write_text(message(2) + "\rPV1|1|I\rpv1|1|I")
    (tmp_path / "nopid.hl7").write_text(HEADER.format(id="X") + "\rEVN|A01")
    done = tessarin("validate", str(tmp_path))
    assert done.returncode == 1
    assert done.stdout.decode().splitlines() == [
        f"{tmp_path}/pv1.hl7: message 0 at byte 0: Invalid segment name: pv1"
        " (must be 3 characters: an uppercase letter, then uppercase letters or digits)"
    ]
    counts = summary(done.stderr)
    assert counts["messages"] == 3 and counts["failed messages"] == 1
    strict = tessarin("validate", "--require-pid", str(tmp_path / "nopid.hl7"), str(tmp_path / "ok.hl7"))
    assert strict.stdout.decode().endswith("Missing required segment: PID (Patient Identification)\n")
    assert tessarin("validate", "--strict", str(tmp_path / "ok.hl7")).returncode == 0


@pytest.mark.parametrize(
    "options, framing, rows_file",
    [
        ([], (b"", b"\r", b""), "rows.jsonl"),
        (["--line-end", "crlf"], (b"", b"\r\n", b""), "rows.jsonl"),
        (["--mllp", "--line-end", "lf"], (b"\x0b", b"\n", b"\x1c\r"), "rows.jsonl"),
        ([], (b"", b"\r", b""), "rows.jsonl.gz"),  # gzip input is recognised by its bytes
    ],
)
def test_to_hl7_line_ends_and_framing(tmp_path, feed, options, framing, rows_file):
    converted = tmp_path / rows_file
    assert (
        tessarin("convert", "--no-escaping", "-o", str(converted), str(feed / "a.hl7"), str(feed / "c.txt")).returncode
        == 0
    )
    done = tessarin("to-hl7", "--unescaped", *options, str(converted))
    assert done.returncode == 0, done.stderr
    start, end, after = framing
    expected = b"".join(
        start + (message(n).replace("\r", "\n") + "\n").encode().replace(b"\n", end) + after for n in (1, 3, 4)
    )
    assert done.stdout == expected


@pytest.mark.parametrize(
    "options, text",
    [
        ([], b"NTE|1||R\\T\\D \\F\\ 5\\S\\10\r"),  # only what HL7 requires
        (["--escape-all"], b"NTE|1||R\\T\\D\\X20\\\\F\\\\X20\\5\\S\\10\r"),  # the module's hl7_string
    ],
)
def test_to_hl7_json_list_and_rows_with_errors(tmp_path, options, text):
    records = [{"segment_name": "NTE", "1": "1", "3": "R&D | 5^10"}]
    (tmp_path / "one.json").write_text(json.dumps(records))
    done = tessarin("to-hl7", *options, "-o", str(tmp_path / "out.hl7"), str(tmp_path / "one.json"))
    assert done.returncode == 0
    assert (tmp_path / "out.hl7").read_bytes() == text
    lines = [
        {"source": "s", "message": 0, "offset": 0, "error": "Invalid segment name: PV1"},
        {"source": "s", "message": 1, "offset": 9, "records": [{"segment_name": "ZZZ", "70000": "x"}]},
        {"source": "s", "message": 2, "offset": 20, "records": records},
    ]
    done = tessarin("to-hl7", *options, "-", stdin=b"\n".join(json.dumps(line).encode() for line in lines))
    assert done.returncode == 1
    assert done.stdout == text
    counts = summary(done.stderr)
    assert counts["rows"] == 3 and counts["messages written"] == 1
    assert counts["rows with an error (no message)"] == 1 and counts["failed messages"] == 1


def _descendants(pid: int) -> set[int]:
    children: dict[int, list[int]] = {}
    for entry in pathlib.Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                parent = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError):
                continue
            children.setdefault(parent, []).append(int(entry.name))
    found, todo = set(), [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.add(child)
            todo.append(child)
    return found


@pytest.mark.parametrize("sig, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_signal_stops_cleanly(tmp_path, sig, status):
    out = tmp_path / "out.jsonl"
    process = subprocess.Popen(
        [*COMMAND, "convert", "--jobs", "2", "-o", str(out), "-"],
        stdin=subprocess.PIPE,
        stderr=subprocess.PIPE,
        cwd=ROOT,
    )
    assert process.stdin is not None
    # More than the reader's first chunk, so that batches reach the workers;
    # then standard input stays open and the run waits for more.
    process.stdin.write((message(1) + "\n").encode() * 20_000)
    process.stdin.flush()
    deadline = time.monotonic() + 60
    while len(_descendants(process.pid)) < 2 and time.monotonic() < deadline:  # the two workers
        time.sleep(0.05)
    workers = _descendants(process.pid)
    assert len(workers) >= 2
    process.send_signal(sig)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == status
    assert stderr.decode().strip().splitlines() == [f"tessarin: {'interrupted' if status == 130 else 'terminated'}"]
    assert list(tmp_path.iterdir()) == []
    deadline = time.monotonic() + 10
    while any(pathlib.Path(f"/proc/{pid}").exists() for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(pathlib.Path(f"/proc/{pid}").exists() for pid in workers)


@needs_corpus
def test_corpus_round_trip_to_the_same_text(tmp_path):
    """convert --no-escaping, then to-hl7 --unescaped, gives every message back."""
    from tessarin_feeds.reader import read_messages

    converted = tmp_path / "rows.jsonl"
    done = tessarin("convert", "--no-escaping", "-o", str(converted), str(CORPUS))
    assert done.returncode == 1  # the corpus holds malformed files on purpose
    lines = rows(converted.read_bytes())
    counts = summary(done.stderr)
    assert counts["sources"] == len(list(CORPUS.glob("*.hl7"))) and counts["messages"] == len(lines)
    back = tmp_path / "back.hl7"
    again = tessarin("to-hl7", "--unescaped", "-o", str(back), str(converted))
    assert summary(again.stderr)["messages written"] == sum("records" in line for line in lines)
    texts = [m.text for m in read_messages(back)]
    originals = [m for p in sorted(CORPUS.glob("*.hl7")) for m in read_messages(p, name=str(p))]
    expected = [Hl7Json(m.text).hl7_string for m in originals if m.error is None]
    assert [t.replace("\r", "\n") for t in texts] == expected
