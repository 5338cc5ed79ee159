"""Fixtures shared by the package's tests (support.py has the helpers)."""

import pathlib
import shutil
from typing import Callable, Tuple

import pytest

from support import FileSet, find_tool, random_files, write_files


@pytest.fixture(scope="session")
def tool() -> pathlib.Path:
    found = find_tool()
    if found is None:
        pytest.skip("the quillstone-dat tool is not built (scripts/build)")
    return found


@pytest.fixture
def mixed(tmp_path: pathlib.Path) -> Tuple[pathlib.Path, FileSet]:
    """Three hundred files, a two-level directory, a third compressed."""
    files = random_files(7, 300)
    return write_files(tmp_path / "mixed.dat", files, block_size=256), files


@pytest.fixture
def copy_of(tmp_path: pathlib.Path) -> Callable[[pathlib.Path], pathlib.Path]:
    def copy(source: pathlib.Path) -> pathlib.Path:
        target = tmp_path / source.name
        shutil.copyfile(source, target)
        return target
    return copy
