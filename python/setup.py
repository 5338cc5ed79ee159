"""Builds the native module over the library's own sources.

Every .cc file under the repository's src/ is compiled into the module, so
files added or moved there are picked up without a change here; the
binding's own sources are in python/native/. The version is the one the
top-level CMakeLists.txt gives the project, which the tool prints too.
"""

import glob
import os
import re

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

PYTHON_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(PYTHON_DIR)


def project_version():
    path = os.path.join(ROOT, "CMakeLists.txt")
    with open(path, encoding="utf-8") as cmake:
        found = re.search(r"project\(\s*quillstone_dat\s+VERSION\s+([0-9.]+)",
                          cmake.read())
    if not found:
        raise RuntimeError(f"no project VERSION in {path}")
    return found.group(1)


def under(folder, pattern):
    """Matching files, relative to python/ as setuptools wants sources."""
    found = glob.glob(os.path.join(folder, pattern), recursive=True)
    return sorted(os.path.relpath(path, PYTHON_DIR) for path in found)


library_sources = under(os.path.join(ROOT, "src"), "**/*.cc")
binding_sources = under(os.path.join(PYTHON_DIR, "native"), "*.cc")
headers = (under(os.path.join(ROOT, "include"), "**/*.h") +
           under(os.path.join(ROOT, "src"), "**/*.h") +
           under(os.path.join(PYTHON_DIR, "native"), "*.h"))
if not library_sources:
    raise RuntimeError(f"no library sources under {ROOT}/src: build the "
                       "package from the repository's python/ folder")


def stale(obj, src):
    """An object is rebuilt when its source or any header is newer.

    Coarser than a compiler's dependency list, and enough: a header change
    rebuilds everything, an unchanged tree nothing.
    """
    built = os.path.getmtime(obj)
    return any(
        os.path.getmtime(os.path.join(PYTHON_DIR, path)) > built
        for path in [src] + headers)


version = project_version()
# QUILLSTONE_DAT_BUILD_JOBS bounds the compiler processes; all cores by
# default.
ParallelCompile("QUILLSTONE_DAT_BUILD_JOBS", needs_recompile=stale).install()

native = Pybind11Extension(
    "quillstone_dat._native",
    sources=library_sources + binding_sources,
    include_dirs=[os.path.join(ROOT, "include"), os.path.join(ROOT, "src")],
    depends=headers,
    define_macros=[
        # As src/CMakeLists.txt sets them for the library and
        # tools/CMakeLists.txt for the tool.
        ("QUILLSTONE_DAT_PACKAGE_DIR", f'"{ROOT}"'),
        ("QUILLSTONE_DAT_VERSION", f'"{version}"'),
    ],
    cxx_std=23,
)

setup(version=version, ext_modules=[native], cmdclass={"build_ext": build_ext})
