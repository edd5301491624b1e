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

from tessarin_feeds import jsonl, pipeline, sources, tasks  # noqa: E402
from tessarin_feeds.sources import FolderFiles, flattened, iter_sources  # noqa: E402

NAME = st.one_of(
    st.text(st.characters(codec="utf-8", exclude_characters="/\x00"), min_size=1, max_size=6),
    st.sampled_from(["a", "b", ".hidden", "é", "a b", 'q"', "x\\y", "t\tab", "Ab", "aB", "\U0001f600", "\ud7ff"]),
    st.binary(min_size=1, max_size=4).filter(lambda name: b"/" not in name and b"\x00" not in name).map(os.fsdecode),
)


def _python_walk(patch: pytest.MonkeyPatch, paths: list[str]) -> list[sources.Source]:
    with patch.context() as inner:
        inner.setattr(sources, "list_folder", lambda path, batch: None)
        return list(iter_sources(paths))


@settings(max_examples=60, deadline=None)
@given(names=st.sets(NAME, max_size=12), inner=st.sampled_from([None, "sub", "link"]))
def test_the_native_listing_gives_the_python_walks_sources(names: set[str], inner: str | None) -> None:
    with tempfile.TemporaryDirectory() as root, pytest.MonkeyPatch.context() as patch:
        folder = os.path.join(root, "in")
        os.mkdir(folder)
        for name in names - {".", ".."}:
            pathlib.Path(folder, name).write_bytes(MESSAGES[0])
        if inner == "sub":
            os.mkdir(os.path.join(folder, "sub"))
        elif inner == "link":
            os.symlink(os.path.join(folder, "missing"), os.path.join(folder, "link"))
        parts = list(iter_sources([folder]).parts())
        expected = _python_walk(patch, [folder])
        assert list(flattened(parts)) == expected
        # Printable ASCII names without a quote or backslash, in a folder of nothing else, are listed natively.
        if (
            inner is None
            and expected
            and all(n.isascii() and n.isprintable() and not set(n) & set('"\\') for n in names)
        ):
            assert all(isinstance(part, FolderFiles) for part in parts)
        walk = iter_sources([folder])
        if (first := next(walk, None)) is not None:  # taken one by one: parts() goes on from there
            assert [first, *walk.parts()] == expected


@pytest.mark.parametrize("jobs", [1, 2, None])
@pytest.mark.parametrize("fmt", ["jsonl", "jsonl.gz"])
def test_folders_read_by_name_give_the_python_walks_output(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, fmt: str, jobs: int | None
) -> None:
    # Leaf folders of junk, several messages and large files (handed back), a
    # mixed folder, a hidden file, and names with and without escapes.
    top = tmp_path / "in"
    for number, folder in enumerate(["a", "b/c", "b/d", "é ü"]):
        (top / folder).mkdir(parents=True)
        for n in range(23):
            body = b"\r".join(MESSAGES[(number + n + k) % len(MESSAGES)] for k in range(1 + n % 4))
            (top / folder / f"{n:02} m.hl7").write_bytes(b"junk\r" + body * (40 if n % 11 == 3 else 1))
    (top / "b" / "plain.hl7").write_bytes(MESSAGES[0])
    (top / "a" / ".hidden").write_bytes(b"not read")
    (top / "b" / "d" / 'q"uote.hl7').write_bytes(MESSAGES[1])
    monkeypatch.setattr(sources, "LISTED_BATCH", 7)
    for name, value in {"FIRST_READ": 1000, "WHOLE_FILE_MAX": 3000, "FLUSH_BYTES": 2000}.items():
        monkeypatch.setattr(tasks, name, value)  # larger files are handed back
    folder_tasks = []
    convert = tasks._convert_whole_files_natively
    monkeypatch.setattr(tasks, "convert_folder_files", lambda *a, **k: folder_tasks.append(a) or convert(*a, **k))
    seen = []
    for listed in (True, False):
        with monkeypatch.context() as patch, open(tmp_path / f"out{listed}", "wb") as stream:
            if not listed:
                patch.setattr(sources, "list_folder", lambda path, batch: None)
            notices: list[object] = []
            settings = pipeline.Settings(output_format=fmt)  # type: ignore[arg-type]
            out = jsonl.JsonlOutput(stream)
            tally = pipeline.run(iter_sources([str(top)]), settings, out, jobs=jobs, on_notice=notices.append)
        seen.append(((tmp_path / f"out{listed}").read_bytes(), tally, notices))
    assert seen[0] == seen[1] and len(seen[0][0]) > 10_000
    # Folders a, c and "é ü" of 23 files, 7 a task (not b, nor d with its quote); none for jsonl.gz.
    assert len(folder_tasks) == (12 if fmt == "jsonl" else 0)
    assert seen[0][1].sources == 4 * 23 + 2 and seen[0][1].notice_counts["stray fragment"] >= 4 * 23
