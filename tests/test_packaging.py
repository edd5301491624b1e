"""The sdist and the wheel that `python -m build` makes, installed on their own.

`python -m build` builds the sdist first and then the wheel from that sdist,
so a file the build needs but the sdist lacks fails here. Build isolation
fetches the build requirements from the package index.
"""

from __future__ import annotations

import email.parser
import pathlib
import shutil
import subprocess
import sys
import tarfile
import textwrap
import tomllib
import venv
import zipfile

import pytest

pytest.importorskip("build.__main__")  # the real package, not a build/ folder

ROOT = pathlib.Path(__file__).resolve().parents[1]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    # Build from a copy of the tracked files plus the working tree's, without
    # build folders or virtual environments lying around in the checkout.
    work = tmp_path_factory.mktemp("packaging")
    source = work / "source"
    ignore = shutil.ignore_patterns(".git", ".venv", "build", "dist", "__pycache__", "*.so", ".*cache*", ".hypothesis")
    shutil.copytree(ROOT, source, ignore=ignore)
    out = work / "dist"
    completed = subprocess.run(
        [sys.executable, "-m", "build", "--outdir", str(out), str(source)],
        capture_output=True,
        text=True,
        timeout=1200,
    )
    assert completed.returncode == 0, completed.stdout[-5000:] + completed.stderr[-5000:]
    (sdist,) = out.glob("*.tar.gz")
    (wheel,) = out.glob("*.whl")
    return work, sdist, wheel


def wheel_metadata(wheel: pathlib.Path):
    with zipfile.ZipFile(wheel) as archive:
        name = next(n for n in archive.namelist() if n.endswith(".dist-info/METADATA"))
        return email.parser.Parser().parsestr(archive.read(name).decode()), archive.namelist()


def test_sdist_holds_what_a_build_needs(dist):
    _, sdist, _ = dist
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for needed in ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "tessarin-stubs/__init__.pyi"):
        assert needed in names
    assert any(name.startswith("src/core/") and name.endswith(".cpp") for name in names)
    assert not any(name.startswith((".venv/", "build/")) for name in names)


def test_wheel_contents_and_metadata(dist):
    _, _, wheel = dist
    metadata, names = wheel_metadata(wheel)
    assert "tessarin-stubs/__init__.pyi" in names
    assert not any(name.endswith(".pyi") and not name.startswith("tessarin-stubs/") for name in names)
    assert [n for n in names if n.startswith("tessarin.") and n.endswith(".so")]
    # The module is the extension alone; Python code lives in the feed package.
    assert not [n for n in names if n.endswith(".py") and not n.startswith("tessarin_feeds/")]
    assert "tessarin_feeds/py.typed" in names
    assert any(n.endswith(".dist-info/licenses/LICENSE") or n.endswith(".dist-info/LICENSE") for n in names)
    assert metadata["Name"] == "tessarin"
    assert metadata["Version"] == PROJECT["version"]
    assert metadata["Requires-Python"] == PROJECT["requires-python"]
    assert "MIT" in (metadata.get("License-Expression") or metadata.get("License") or "")
    classifiers = metadata.get_all("Classifier")
    assert "License :: OSI Approved :: MIT License" in classifiers
    assert "Typing :: Typed" in classifiers
    # The command needs only light libraries; pyarrow and pyspark stay extras.
    required = sorted(r.split(">")[0] for r in metadata.get_all("Requires-Dist") if "extra ==" not in r)
    assert required == ["orjson", "tqdm"]
    assert metadata.get("Entry-Point") is None  # console script lives in entry_points.txt
    assert any(n.endswith(".dist-info/entry_points.txt") for n in names)


def test_wheel_installs_alone_into_a_fresh_environment(dist):
    work, _, wheel = dist
    env_dir = work / "venv"
    venv.create(env_dir, with_pip=False)
    python = env_dir / "bin" / "python"
    subprocess.run(
        [sys.executable, "-m", "pip", "--python", str(python), "install", "--no-deps", "--no-index", str(wheel)],
        check=True,
        capture_output=True,
        timeout=300,
    )
    check = textwrap.dedent(
        """
        import importlib.metadata, sys, tessarin
        assert tessarin.__file__.startswith(sys.prefix), tessarin.__file__
        assert not hasattr(tessarin, "__version__")
        print(importlib.metadata.version("tessarin"))
        records = tessarin.Hl7Json("MSH|^~\\\\&|A\\rPID|1||7^^^H").hl7_json
        print(tessarin.JsonHl7(records).hl7_string_unescaped)
        """
    )
    # -I: nothing from the current folder or the environment's variables.
    completed = subprocess.run([str(python), "-I", "-c", check], cwd=work, capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines() == [PROJECT["version"], "MSH|^~\\&|A", "PID|1||7^^^H"]

    # A type checker finds the stubs in that environment and nothing else.
    pytest.importorskip("mypy")
    sample = work / "sample.py"
    sample.write_text("from tessarin import Hl7Json\nrecords: list[dict[str, str]] = Hl7Json('').hl7_json\n")
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", str(python), str(sample)],
        cwd=work,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert completed.returncode == 0, completed.stdout
