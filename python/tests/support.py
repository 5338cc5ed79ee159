"""Archives for the package's tests, made by the package's Writer or by
the quillstone-dat tool, the repository's fuzz corpora, and the few
offsets of the format the tests patch to damage an archive.

The tool is the one scripts/test builds (build/tools/quillstone-dat), or
QUILLSTONE_DAT_TOOL; tests that need it are skipped without it.
"""

import os
import pathlib
import random
import subprocess
from typing import Dict, List, Optional, Tuple

import quillstone_dat

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORPORA = ROOT / "fuzz" / "corpus"
HEADER_OFFSET = 320


def find_tool() -> Optional[pathlib.Path]:
    named = os.environ.get("QUILLSTONE_DAT_TOOL")
    build_dir = pathlib.Path(os.environ.get("BUILD_DIR", ROOT / "build"))
    for candidate in [named, build_dir / "tools" / "quillstone-dat"]:
        if candidate and pathlib.Path(candidate).is_file():
            return pathlib.Path(candidate)
    return None


def run_tool(tool: pathlib.Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([str(tool), *args], capture_output=True, text=True,
                          timeout=120, check=False)


_WORDS = [b"stone ", b"quill ", b"block ", b"chain ", b"node "]
_TEXT = b"".join(random.Random(0).choice(_WORDS) for _ in range(12000))


def contents(seed: int, size: int) -> bytes:
    """Distinct contents of `size` bytes: repetitive text, so that
    compression pays, then random bytes."""
    rng = random.Random(seed)
    start = rng.randrange(len(_TEXT))
    half = size // 2
    text = (_TEXT[start:] + _TEXT * (half // len(_TEXT) + 1))[:half]
    return text + rng.randbytes(size - half)


FileSet = Dict[int, Tuple[bytes, str]]


def random_files(seed: int, count: int, largest: int = 5000) -> FileSet:
    """`count` files of random ids, sizes (some empty) and storage."""
    rng = random.Random(seed)
    files: FileSet = {}
    while len(files) < count:
        file_id = rng.randrange(2**32)
        size = rng.choice([0, rng.randrange(1, 64), rng.randrange(largest)])
        storage = rng.choice(["plain", "compressed", "smallest"])
        files[file_id] = (contents(file_id, size), storage)
    return files


def write_files(path: pathlib.Path, files: FileSet,
                block_size: int = 1024) -> pathlib.Path:
    writer = quillstone_dat.Writer(block_size=block_size)
    for file_id, (data, storage) in files.items():
        writer.add(file_id, data, storage=storage, timestamp=file_id % 1000,
                   version=file_id % 7)
    writer.write(path)
    return path


def header_layout(header: quillstone_dat.Header) -> Dict[str, Tuple[int, int]]:
    """Each header field's file offset and width, from the library's field
    list in on-disk order: a 16-byte version_string, 4 bytes for the rest."""
    layout = {}
    at = HEADER_OFFSET
    for name, value in header.as_dict().items():
        width = len(value) if isinstance(value, bytes) else 4
        layout[name] = (at, width)
        at += width
    return layout


def patch_header(path: pathlib.Path, **fields: int) -> None:
    with quillstone_dat.open(path) as archive:
        layout = header_layout(archive.header)
    with open(path, "r+b") as file:
        for name, value in fields.items():
            at, width = layout[name]
            file.seek(at)
            file.write(value.to_bytes(width, "little"))


def patch_u32(path: pathlib.Path, at: int, value: int) -> None:
    with open(path, "r+b") as file:
        file.seek(at)
        file.write(value.to_bytes(4, "little"))


# A directory node, as docs/format.md lays it out: 62 branches, the entry
# count, then 61 entry slots of six u32 fields (bit_flags, id, offset,
# size, timestamp, version), starting after the node's block's 4-byte next
# field.
NODE_BRANCHES = 4
NODE_COUNT = 4 + 62 * 4
NODE_ENTRIES = NODE_COUNT + 4
ENTRY_SIZE = 24


def entry_field_at(root: int, slot: int, field: int) -> int:
    return root + NODE_ENTRIES + slot * ENTRY_SIZE + field * 4


def one_leaf_archive(path: pathlib.Path, count: int = 5) -> pathlib.Path:
    """Files 1..count in a root that is a leaf, its node in one block."""
    writer = quillstone_dat.Writer(block_size=2048)
    for file_id in range(1, count + 1):
        writer.add(file_id, contents(file_id, 3000))
    writer.write(path)
    return path


def corpus_inputs(*targets: str) -> List[pathlib.Path]:
    found = []
    for target in targets:
        found += sorted((CORPORA / target).iterdir())
    return found
