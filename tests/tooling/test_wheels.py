"""The binary wheels of scripts/build-wheels: what their modules link and
export, and the module of the running interpreter's wheel, installed on its
own, against the build under test, in one process with pyarrow.

The wheel for this interpreter is built fresh; any others already in
wheelhouse/ are checked too.
"""

from __future__ import annotations

import json
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import textwrap
import venv
import zipfile

import pytest

elffile = pytest.importorskip("elftools.elf.elffile")  # comes with auditwheel

from conftest import CORPUS_DIR  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.slow

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THIS_NAME = f"cp{sys.version_info[0]}{sys.version_info[1]}{'t' if FREE_THREADED else ''}"

# Each module's export list, as the linker reads it.
EXPORT_MAPS = {
    "tessarin": ROOT / "src/python/tessarin_exports.map",
    "tessarin_feeds/_columns": ROOT / "src/python/columns_exports.map",
}
MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
# What a manylinux or musllinux system provides; the C++ runtime is not among
# them: it is inside each module.
SYSTEM_LIBRARIES = {
    "manylinux": re.compile(
        r"libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|ld-linux-[\w-]+\.so\.[12]"
    ),
    "musllinux": re.compile(r"libc\.musl-(x86_64|aarch64)\.so\.1"),
}


def export_globals(path: pathlib.Path) -> set[str]:
    text = re.sub(r"/\*.*?\*/", "", path.read_text(), flags=re.S)
    section = re.search(r"global:(.*?)local:", text, flags=re.S).group(1)
    return {name.strip() for name in section.split(";") if name.strip()}


def buildable() -> set[str]:
    script = (ROOT / "scripts/build-wheels").read_text()
    return set(re.search(r"^all_names=\((.*)\)$", script, flags=re.M).group(1).split())


@pytest.fixture(scope="module")
def own_wheel(tmp_path_factory) -> pathlib.Path:
    if THIS_NAME not in buildable():
        pytest.skip(f"scripts/build-wheels makes no wheel for {THIS_NAME}")
    out = tmp_path_factory.mktemp("wheelhouse")
    completed = subprocess.run(
        ["bash", str(ROOT / "scripts/build-wheels"), THIS_NAME],
        env={**os.environ, "TESSARIN_WHEELHOUSE": str(out)},
        capture_output=True,
        text=True,
        timeout=3600,
    )
    assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-3000:]
    (wheel,) = out.glob("*.whl")
    return wheel


def kept_wheels() -> list[pathlib.Path]:
    return sorted((ROOT / "wheelhouse").glob("tessarin-*.whl"))


@pytest.fixture(params=["own", *[wheel.name for wheel in kept_wheels()]])
def wheel(request) -> pathlib.Path:
    if request.param == "own":
        return request.getfixturevalue("own_wheel")
    return ROOT / "wheelhouse" / request.param


def parse_tag(wheel: pathlib.Path) -> tuple[str, str, str, str]:
    """ABI tag (cp313t for free-threaded 3.13), family (manylinux or musllinux), oldest libc and machine."""
    _python, abi, platforms = wheel.stem.split("-")[2:5]
    match = re.search(r"(manylinux|musllinux)_(\d+)_(\d+)_(x86_64|aarch64)", platforms)
    return abi, match.group(1), (int(match.group(2)), int(match.group(3))), match.group(4)


def test_modules_link_only_the_system_libc_and_export_only_their_entry_points(wheel, tmp_path):
    abi, family, libc, machine = parse_tag(wheel)
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(tmp_path)
    for module, export_map in EXPORT_MAPS.items():
        (path,) = tmp_path.glob(f"{module}.*.so")
        # The suffix the interpreter of the tag imports.
        assert path.name.startswith(f"{pathlib.Path(module).name}.cpython-{abi[2:]}-{machine}-linux-"), path.name
        assert path.name.endswith("-gnu.so" if family == "manylinux" else "-musl.so"), path.name
        with path.open("rb") as f:
            elf = elffile.ELFFile(f)
            assert elf["e_machine"] == MACHINES[machine]
            dynamic = elf.get_section_by_name(".dynamic")
            needed = {tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
            assert all(SYSTEM_LIBRARIES[family].fullmatch(name) for name in needed), needed
            symbols = list(elf.get_section_by_name(".dynsym").iter_symbols())
            exported = {
                s.name
                for s in symbols
                if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
            }
            assert f"PyInit_{pathlib.Path(module).name}" in exported
            assert exported <= export_globals(export_map) and not any(n.startswith("tessarin_test_") for n in exported)
            # The C library's tuned copies and compares, not a compiler
            # runtime's byte loops linked in beside them.
            imported = {s.name for s in symbols if s["st_shndx"] == "SHN_UNDEF"}
            assert {"memcpy", "memcmp", "memset"} <= imported, sorted(imported)
            if family == "manylinux":
                versions = elf.get_section_by_name(".gnu.version_r")
                glibc = {
                    tuple(int(p) for p in aux.name.split("_")[1].split("."))[:2]
                    for _, auxiliaries in versions.iter_versions()
                    for aux in auxiliaries
                    if aux.name.startswith("GLIBC_") and aux.name[6:7].isdigit()
                }
                assert max(glibc) <= libc, glibc


def messages() -> list[str]:
    texts = [
        "MSH|^~\\&|A|B|C|D|20240101||ADT^A01|1|P|2.5\rPID|1||7^^^H~8^^^I||DOE^JOHN\\T\\SON||19800101|M",
        "MSH|^~\\&|A\rOBX|1|TX|||\\H\\bold\\N\\ \\X0D0A\\ caf\u00e9 \\Zx\\\rNTE|1||a\x00b",
        "PID|no header",
        "",
        "MSH|^~\\&\n\nPV1|x\n|lead\rZZZ|" + "^" * 300,
    ]
    if CORPUS_DIR.is_dir():
        texts += [p.read_bytes().decode("utf-8", "replace") for p in sorted(CORPUS_DIR.iterdir())[:60]]
    return texts


# Runs in the installed wheel's venv and in this process: every result and
# every error text, with pyarrow loaded before the module and used between its
# calls, so two C++ runtimes live in one process and unwind their own errors.
PROBE = textwrap.dedent(
    """
    import json, sys
    import pyarrow as pa
    import tessarin
    from tessarin_feeds import _columns

    def outcome(call):
        try:
            return ["ok", call()]
        except Exception as error:
            return [type(error).__name__, str(error)]

    def probe(texts):
        results = []
        for text in texts:
            for options in ({}, {"validation_enabled": True}, {"escaping_enabled": False},
                            {"validation_enabled": True, "strict_validation": True}):
                records = outcome(lambda: tessarin.Hl7Json(text, **options).hl7_json)
                results.append(records)
                if records[0] == "ok":
                    results.append(outcome(lambda: tessarin.JsonHl7(records[1]).hl7_string))
                results.append(outcome(lambda: pa.array([1, "not a number"])))
        results.append(outcome(lambda: tessarin.JsonHl7([{"segment_name": 7}]).hl7_string))
        results.append(outcome(lambda: tessarin.JsonHl7.from_file("/nonexistent/x.json").hl7_string))
        batch = pa.record_batch(_columns.build(texts, validation_enabled=True))
        results.append(outcome(lambda: batch.to_pylist()))
        return results

    if __name__ == "__main__":
        print(json.dumps(probe(json.load(sys.stdin))))
    """
)


@pytest.fixture(scope="module")
def installed(own_wheel, tmp_path_factory) -> pathlib.Path:
    """A fresh venv with the wheel alone; pyarrow comes from the running environment, after it."""
    folder = tmp_path_factory.mktemp("installed")
    venv.create(folder / "venv", with_pip=False)
    python = folder / "venv" / "bin" / "python"
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "--python",
            str(python),
            "install",
            "-q",
            "--no-deps",
            "--no-index",
            str(own_wheel),
        ],
        check=True,
        capture_output=True,
        timeout=300,
    )
    pa = pytest.importorskip("pyarrow")
    site = subprocess.run(
        [str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.strip()
    # A .pth line appends: the venv's own packages come first.
    (pathlib.Path(site) / "running-environment.pth").write_text(str(pathlib.Path(pa.__file__).parents[1]) + "\n")
    return python


def test_installed_wheel_matches_the_build_under_test_beside_pyarrow(installed, tmp_path):
    pytest.importorskip("pyarrow")
    texts = messages()
    where = subprocess.run(
        [
            str(installed),
            "-c",
            "import sys, pyarrow, tessarin, tessarin_feeds._columns as c; "
            "print(tessarin.__file__.startswith(sys.prefix) and c.__file__.startswith(sys.prefix))",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert where.stdout.strip() == "True", where.stdout + where.stderr
    (tmp_path / "probe.py").write_text(PROBE)
    completed = subprocess.run(
        [str(installed), str(tmp_path / "probe.py")],
        input=json.dumps(texts),
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
    namespace: dict = {}
    exec(compile(PROBE.replace('if __name__ == "__main__":', "if False:"), "probe", "exec"), namespace)
    expected = json.loads(json.dumps(namespace["probe"](texts)))
    assert json.loads(completed.stdout) == expected
    # Errors of both libraries were raised and caught, not only results.
    kinds = {entry[0] for entry in expected}
    assert {"ok", "ArrowInvalid"} <= kinds and len(kinds) >= 3, kinds
