"""The C++ sources follow the project's .clang-format; the Python sources pass
ruff's lint and format check as pyproject.toml configures them."""

from __future__ import annotations

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The test extra pins the version; other versions format a little differently.
CLANG_FORMAT = pathlib.Path(sys.executable).parent / "clang-format"
RUFF = pathlib.Path(sys.executable).parent / "ruff"
PYTHON_FOLDERS = ("src", "tessarin-stubs", "tests", "bench", "examples", "fuzz", "scripts")


@pytest.mark.skipif(not CLANG_FORMAT.exists(), reason="clang-format is not installed (the test extra has it)")
def test_cpp_sources_are_formatted():
    sources = sorted(
        str(p) for folder in ("src", "fuzz") for p in (ROOT / folder).rglob("*") if p.suffix in {".cpp", ".hpp", ".inl"}
    )
    assert sources
    completed = subprocess.run(
        [str(CLANG_FORMAT), "--style=file", "--dry-run", "--Werror", *sources], cwd=ROOT, capture_output=True, text=True
    )
    assert completed.returncode == 0, completed.stderr[-3000:]


@pytest.mark.skipif(not RUFF.exists(), reason="ruff is not installed (the test extra has it)")
@pytest.mark.parametrize("command", [["check"], ["format", "--check"]], ids=["lint", "format"])
def test_python_sources_pass_ruff(command):
    completed = subprocess.run([str(RUFF), *command, *PYTHON_FOLDERS], cwd=ROOT, capture_output=True, text=True)
    assert completed.returncode == 0, (completed.stdout + completed.stderr)[-3000:]
