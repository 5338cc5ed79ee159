"""The package as a whole: its version, its documentation, its type stubs
and its integrity check, each against the source it must agree with."""

import ast
import inspect
import json
import os
import pathlib
import pydoc
import re
import shutil
import subprocess
import sys

import pytest

import quillstone_dat
from support import ROOT, corpus_inputs, one_leaf_archive, patch_u32, run_tool, entry_field_at

STUBS = pathlib.Path(quillstone_dat.__file__).with_name("_native.pyi")


def test_the_version_is_the_projects_and_the_tools(tool):
    cmake = (ROOT / "CMakeLists.txt").read_text()
    declared = re.search(r"project\(\s*quillstone_dat\s+VERSION\s+([0-9.]+)",
                         cmake)
    assert declared
    assert quillstone_dat.__version__ == declared.group(1)
    shown = run_tool(tool, "--version").stdout.split()
    assert shown[-1] == quillstone_dat.__version__


def described(thing) -> bool:
    """Whether `thing` has a docstring beyond the signature line pybind11
    puts first."""
    text = getattr(thing, "__doc__", "") or ""
    lines = text.strip().splitlines()
    if lines and re.match(r"^\w+\(.*\) -> .*$", lines[0]):
        lines = lines[1:]
    return any(line.strip() for line in lines)


def test_every_public_name_is_documented():
    undocumented = []
    for name in quillstone_dat.__all__:
        value = getattr(quillstone_dat, name)
        if name != "__version__" and not described(value):
            undocumented.append(name)
        # Members defined by the package's classes, in Python or C++.
        own = [c for c in getattr(value, "__mro__", [])
               if c.__module__.startswith("quillstone_dat")]
        members = {m for cls in own for m in vars(cls) if not m.startswith("_")}
        for member in sorted(members - {"closed"}):
            # As help() finds it: the override, where there is one.
            if not described(inspect.getattr_static(value, member)):
                undocumented.append(f"{name}.{member}")
    assert undocumented == []
    assert "items(" in pydoc.render_doc(quillstone_dat.Archive)


def test_the_stubs_list_the_librarys_header_fields(tmp_path):
    tree = ast.parse(STUBS.read_text())
    header = next(node for node in tree.body
                  if isinstance(node, ast.ClassDef) and node.name == "Header")
    stubbed = [node.name for node in header.body
               if isinstance(node, ast.FunctionDef)
               and not node.name.startswith("_") and node.name != "as_dict"]
    archive = one_leaf_archive(tmp_path / "a.dat")
    with quillstone_dat.open(archive) as opened:
        assert stubbed == list(opened.header.as_dict())


def run_mypy(*arguments: str) -> subprocess.CompletedProcess:
    """Debian's mypy, under this interpreter when importable, else as its
    own command told where the package is."""
    mypy = shutil.which("mypy")
    if mypy is None:
        pytest.skip("mypy is not installed (scripts/install-deps)")
    options = ["--no-incremental", "--cache-dir", os.devnull, *arguments]
    result = subprocess.run([sys.executable, "-m", "mypy", *options],
                            capture_output=True, text=True, check=False,
                            timeout=300, cwd=pathlib.Path(__file__).parent)
    if "No module named mypy" in result.stderr:
        result = subprocess.run(
            [mypy, "--python-executable", sys.executable, *options],
            capture_output=True, text=True, check=False, timeout=300,
            cwd=pathlib.Path(__file__).parent)
    return result


def test_mypy_accepts_the_package_and_the_tests_against_the_stubs():
    package = run_mypy("--strict", "-p", "quillstone_dat")
    assert package.returncode == 0, package.stdout + package.stderr
    tests = run_mypy("--ignore-missing-imports", "--check-untyped-defs",
                     str(pathlib.Path(__file__).parent))
    assert tests.returncode == 0, tests.stdout + tests.stderr


def tool_problems(tool, path):
    report = json.loads(run_tool(tool, "verify", str(path), "--json").stdout)
    if "error" in report:
        return None
    return [(p["kind"], p["id"], p["offset"], p["detail"])
            for p in report["problems"]]


def archive_problems(path):
    try:
        with quillstone_dat.open(path) as archive:
            report = archive.check()
    except quillstone_dat.DatError:
        return None
    assert report.ok == (not report.problems)
    return [(p.kind, p.id, p.offset, p.message) for p in report.problems]


def test_check_finds_what_verify_finds(tmp_path, tool):
    path = one_leaf_archive(tmp_path / "a.dat")
    assert archive_problems(path) == tool_problems(tool, path) == []
    with quillstone_dat.open(path) as archive:
        second = archive.entry(2)
        root = archive.header.root_offset
    patch_u32(path, entry_field_at(root, 2, 2), second.offset)  # 3 shares 2's
    found = archive_problems(path)
    assert {kind for kind, *_ in found} == {"shared_block"}
    assert found == tool_problems(tool, path)
    damaged = 0
    for corpus_input in corpus_inputs("archive"):
        expected = tool_problems(tool, corpus_input)
        assert archive_problems(corpus_input) == expected, corpus_input.name
        damaged += bool(expected)
    assert damaged > 0
