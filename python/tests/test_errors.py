"""Every malformed archive is a DatError carrying the library's own kind,
debug form and message, never a crash; each kind an archive can cause."""

import os
import pathlib
import pickle
import random

import pytest

import quillstone_dat
from support import (NODE_BRANCHES, NODE_COUNT, contents, corpus_inputs,
                     entry_field_at, one_leaf_archive, patch_header,
                     patch_u32, run_tool)


def cut_archive(path: pathlib.Path) -> None:
    writer = quillstone_dat.Writer(block_size=256)
    for file_id in range(1, 101):
        writer.add(file_id, bytes([1]) * 300)
    writer.write(path)
    os.truncate(path, 30000)


def noise(path: pathlib.Path) -> None:
    path.write_bytes(random.Random(99).randbytes(5000))


def root_of(path: pathlib.Path) -> int:
    with quillstone_dat.open(path) as archive:
        return archive.header.root_offset


def node_reached_twice(path: pathlib.Path) -> None:
    one_leaf_archive(path)
    root = root_of(path)
    patch_u32(path, root + NODE_BRANCHES, root)


def entry_count_past_the_node(path: pathlib.Path) -> None:
    one_leaf_archive(path)
    patch_u32(path, root_of(path) + NODE_COUNT, 62)


def tiny_blocks(path: pathlib.Path) -> None:
    """Blocks of 4 bytes hold nothing but their next field; the root's
    chain goes on past its first."""
    one_leaf_archive(path)
    root = root_of(path)
    patch_u32(path, root, root + 2048)
    patch_header(path, block_size=4)


def root_past_the_end(path: pathlib.Path) -> None:
    one_leaf_archive(path)
    patch_header(path, root_offset=1 << 30)


def too_deep(path: pathlib.Path) -> None:
    """A directory of 70 nodes, each the only child of the one before."""
    one_leaf_archive(path)
    data = bytearray(path.read_bytes())
    block = 2048
    first = -(-len(data) // block) * block
    data += bytes(first - len(data) + 70 * block)
    for level in range(70):
        at = first + level * block
        child = at + block if level < 69 else 0
        for offset, value in [(NODE_BRANCHES, child), (NODE_COUNT, 1),
                              (entry_field_at(0, 0, 1), level)]:
            data[at + offset:at + offset + 4] = value.to_bytes(4, "little")
    path.write_bytes(bytes(data))
    patch_header(path, root_offset=first, file_size=len(data))


# The malformed archives of tests/cli/error_message_test.cc, with the kind
# each is.
MALFORMED = {
    "empty": (lambda p: p.write_bytes(b""), "BinRead"),
    "short": (lambda p: p.write_bytes(bytes(322)), "BinRead"),
    "folder": (lambda p: p.mkdir(), "BinRead"),
    "missing": (lambda p: None, "PathError"),
    "fifo": (lambda p: os.mkfifo(p), "Io"),
    "cut short": (cut_archive, "Io"),
    "noise": (noise, "Io"),
    "node reached twice": (node_reached_twice, "Corruption"),
    "entry count past the node": (entry_count_past_the_node, "BinRead"),
    "too deep": (too_deep, "Corruption"),
    "tiny blocks": (tiny_blocks, "Corruption"),
    "root past the end": (root_past_the_end, "Io"),
}


@pytest.mark.parametrize("name", MALFORMED)
def test_a_malformed_archive_is_a_dat_error_as_the_tool_reports_it(
        tmp_path, tool, name):
    make, kind = MALFORMED[name]
    path = tmp_path / "bad.dat"
    make(path)
    with pytest.raises(quillstone_dat.DatError) as raised:
        quillstone_dat.open(path)
    error = raised.value
    assert error.kind == kind
    assert str(error) and "\n" not in str(error)
    # The debug form is the library's, exactly as `--debug` shows it.
    shown = run_tool(tool, "--debug", "ls", str(path))
    assert shown.returncode == 1
    assert shown.stderr == f"error: {error.debug}\n"


def test_errors_carry_the_librarys_forms(tmp_path):
    with pytest.raises(quillstone_dat.DatError) as missing:
        quillstone_dat.open(tmp_path / "none.dat")
    assert missing.value.kind == "PathError"
    assert missing.value.debug.startswith(
        f'PathError {{ path: "{tmp_path / "none.dat"}", source: IoError')
    assert "No such file or directory" in str(missing.value)

    path = one_leaf_archive(tmp_path / "a.dat")
    with quillstone_dat.open(path) as archive:
        with pytest.raises(KeyError) as absent:
            archive.entry(255)
    error = absent.value
    assert isinstance(error, quillstone_dat.NotFound)
    assert isinstance(error, quillstone_dat.DatError)
    assert (error.kind, error.debug, error.id) == ("NotFound", "NotFound(255)",
                                                   255)
    assert str(error) == "no file 0x000000FF in the archive"
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), copy.kind, copy.debug, copy.id) == (
        quillstone_dat.NotFound, str(error), error.kind, error.debug, 255)


def test_a_chain_past_the_end_is_an_io_error(tmp_path):
    path = one_leaf_archive(tmp_path / "a.dat")
    root = root_of(path)
    patch_u32(path, entry_field_at(root, 0, 3), 1 << 20)  # file 1's size
    with quillstone_dat.open(path) as archive:
        with pytest.raises(quillstone_dat.DatError) as raised:
            archive[1]
        assert raised.value.kind == "Io"
        assert archive[2] == contents(2, 3000)


def test_a_second_id_for_the_writer_is_duplicate_id(tmp_path):
    writer = quillstone_dat.Writer()
    writer.add(5, b"a")
    with pytest.raises(quillstone_dat.DatError) as raised:
        writer.add(5, b"b")
    assert (raised.value.kind, raised.value.id) == ("DuplicateId", 5)
    assert len(writer) == 1


def opens_and_reads_whole(path: pathlib.Path) -> None:
    """Opens `path` and reads everything through every read call; only
    DatError may come out. Files recorded larger than 1 MiB are not
    fetched: a chain that loops back on itself yields its entry's size,
    up to 4 GiB, from a tiny archive, as the format asks."""
    try:
        archive = quillstone_dat.open(path)
    except quillstone_dat.DatError as error:
        assert error.kind and error.debug
        return
    with archive:
        archive.header.as_dict()
        small = [e.id for e in archive.entries() if e.size <= 1 << 20]
        for raw in (False, True):
            for file_id, data in archive.items(small, raw=raw):
                assert isinstance(data, (bytes, quillstone_dat.DatError))
                try:
                    assert archive.read(file_id, raw=raw) == data
                except quillstone_dat.DatError as error:
                    assert isinstance(data, quillstone_dat.DatError)
                    assert error.debug == data.debug
        for file_id in small:
            try:
                with archive.open_file(file_id) as reader:
                    reader.read()
            except quillstone_dat.DatError:
                pass
        for free_space in (False, True):
            try:
                archive.check(free_space=free_space)
            except quillstone_dat.DatError:
                pass


@pytest.mark.parametrize("path", corpus_inputs("archive", "edit"),
                         ids=lambda p: f"{p.parent.name}/{p.name[:16]}")
def test_fuzz_inputs_open_and_read_without_a_crash(path):
    opens_and_reads_whole(path)


@pytest.mark.parametrize("path", corpus_inputs("lrs", "lrs_roundtrip"),
                         ids=lambda p: f"{p.parent.name}/{p.name[:16]}")
def test_fuzz_inputs_decode_without_a_crash(path):
    data = path.read_bytes()
    decoded = quillstone_dat.decompress_lrs(data)
    if len(data) >= 4:
        assert len(decoded) <= int.from_bytes(data[:4], "little")
    assert quillstone_dat.decompress_lrs(
        quillstone_dat.compress_lrs(data)) == data
