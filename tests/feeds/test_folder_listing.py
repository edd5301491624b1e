"""Folders of plain files listed natively and read by name
(_columns.list_folder, convert_files' folder form), against the Python
walk, which stays the model: the same sources in the same order, the same
output, notices and counts."""

from __future__ import annotations

import os
import pathlib
import tempfile

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

orjson = pytest.importorskip("orjson", reason="the tessarin command needs orjson, not installed for this interpreter")

from test_native_lines import MESSAGES  # noqa: E402

from tessarin_feeds import _columns, jsonl, pipeline, sources, tasks  # noqa: E402
from tessarin_feeds.sources import FolderFiles, flattened, iter_sources  # noqa: E402

NAME = st.one_of(
    st.text(st.characters(codec="utf-8", exclude_characters="/\x00"), min_size=1, max_size=6),
    st.sampled_from(["a", "b", ".hidden", "é", "a b", 'q"', "x\\y", "t\tab", "Ab", "aB", "\U0001f600", "\ud7ff"]),
    st.binary(min_size=1, max_size=4).filter(lambda name: b"/" not in name and b"\x00" not in name).map(os.fsdecode),
)


def _python_walk(monkeypatch: pytest.MonkeyPatch, paths: list[str]) -> list[sources.Source]:
    with monkeypatch.context() as patch:
        patch.setattr(sources, "list_folder", lambda path, batch: None)
        return list(iter_sources(paths))


@settings(max_examples=60, deadline=None)
@given(names=st.sets(NAME, max_size=12), inner=st.sampled_from([None, "sub", "link"]))
def test_the_native_listing_gives_the_python_walks_sources(names: set[str], inner: str | None) -> None:
    with tempfile.TemporaryDirectory() as root, pytest.MonkeyPatch.context() as patch:
        folder = os.path.join(root, "in")
        os.mkdir(folder)
        made = set()
        for name in names:
            path = os.path.join(folder, name)
            if name not in (".", "..") and not os.path.exists(path):
                with open(path, "wb") as file:
                    file.write(MESSAGES[0])
                made.add(name)
        if inner == "sub":
            os.mkdir(os.path.join(folder, "sub"))
        elif inner == "link":
            os.symlink(os.path.join(folder, next(iter(made), "x")), os.path.join(folder, "link"))
        parts = list(iter_sources([folder]).parts())
        assert list(flattened(parts)) == _python_walk(patch, [folder])
        plain = all(
            name.startswith(".") or (name.isprintable() and "\\" not in name and '"' not in name and name.isascii())
            for name in made
        )
        if inner is None and plain and made - {n for n in made if n.startswith(".")}:
            assert all(isinstance(part, FolderFiles) for part in parts)
        walk = iter_sources([folder])
        if (first := next(walk, None)) is not None:  # taken one by one: parts() goes on from there
            assert [first, *walk.parts()] == _python_walk(patch, [folder])


def _feed_tree(root: pathlib.Path) -> pathlib.Path:
    """Leaf folders of plain files (junk, charsets the reader takes, large
    files), a mixed folder, a hidden file, names with and without escapes."""
    top = root / "in"
    for number, folder in enumerate(["a", "b/c", "b/d", "é ü"]):
        (top / folder).mkdir(parents=True)
        for n in range(23):
            body = b"\r".join(MESSAGES[(number + n + k) % len(MESSAGES)] for k in range(1 + n % 4))
            (top / folder / f"{n:02} m.hl7").write_bytes(b"junk\r" + body * (40 if n % 11 == 3 else 1))
    (top / "b" / "plain.hl7").write_bytes(MESSAGES[0])
    (top / "a" / ".hidden").write_bytes(b"not read")
    (top / "b" / "d" / 'q"uote.hl7').write_bytes(MESSAGES[1])
    return top


@pytest.mark.parametrize("jobs", [1, 2, None])
@pytest.mark.parametrize("fmt", ["jsonl", "jsonl.gz"])
def test_folders_read_by_name_give_the_python_walks_output(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, fmt: str, jobs: int | None
) -> None:
    top = _feed_tree(tmp_path)
    monkeypatch.setattr(sources, "LISTED_BATCH", 7)
    monkeypatch.setattr(tasks, "FIRST_READ", 1000)
    monkeypatch.setattr(tasks, "WHOLE_FILE_MAX", 3000)  # larger files are handed back
    monkeypatch.setattr(tasks, "FLUSH_BYTES", 2000)
    folder_tasks = []
    monkeypatch.setattr(tasks, "convert_folder_files", lambda *a, **k: folder_tasks.append(a) or convert(*a, **k))
    convert = tasks._convert_whole_files_natively
    seen = []
    for listed in (True, False):
        with monkeypatch.context() as patch:
            if not listed:
                patch.setattr(sources, "list_folder", lambda path, batch: None)
            out_path = tmp_path / f"out{listed}"
            notices: list[object] = []
            with open(out_path, "wb") as stream:
                out = jsonl.JsonlOutput(stream)
                settings = pipeline.Settings(output_format=fmt)  # type: ignore[arg-type]
                tally = pipeline.run(iter_sources([str(top)]), settings, out, jobs=jobs, on_notice=notices.append)
        seen.append((out_path.read_bytes(), tally, notices))
    assert seen[0] == seen[1]
    assert len(folder_tasks) == (
        3 * 4 if fmt == "jsonl" else 0
    )  # four folders of 23 files, 7 a task; not b, nor d with its quote
    assert seen[0][1].sources == 4 * 23 + 2 and seen[0][1].notice_counts["stray fragment"] >= 4 * 23


@pytest.mark.parametrize("first", [0, 1, 5, 9])
def test_the_folder_form_reads_as_the_triples_do(tmp_path: pathlib.Path, first: int) -> None:
    for n in range(9):
        (tmp_path / f"{n}.hl7").write_bytes(MESSAGES[n])
    (count, names), *rest = _columns.list_folder(os.fsencode(tmp_path) + b"/", 100)
    assert count == 9 and not rest and names.endswith(b"\0")
    prefix = f"{tmp_path}/"
    head = tasks._head(prefix)[:-1]
    triples = [(tasks._head(prefix + name), os.fsencode(prefix + name), -1) for name in names.decode().split("\0")[:-1]]
    options = {"max_message_size": 1 << 20, "max_fields": 1 << 16, "budget": 1 << 20, "limit": 1 << 20}
    options |= {"first_read": 100, "whole_max": 1 << 20, "gzip_max": 1 << 10}
    by_name = _columns.convert_files((os.fsencode(prefix), head, names, first), **options)
    assert by_name == _columns.convert_files(triples[first:], **options)
    for wrong in ((b"x/", head, b"a", 0), (b"x/", head, names, -1), (b"x\0/", head, names, 0)):
        with pytest.raises(ValueError):
            _columns.convert_files(wrong, **options)
