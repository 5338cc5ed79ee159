"""Reading an archive: the mapping of ids to bytes, entries, the header,
file objects, and what a closed archive refuses."""

import io
import pathlib
import shutil
from typing import Callable, List

import pytest

import quillstone_dat
from support import contents, header_layout, run_tool


def test_an_archive_reads_as_a_mapping_of_ids_to_bytes(mixed):
    path, files = mixed
    with quillstone_dat.open(pathlib.Path(path)) as archive:
        assert len(archive) == len(files)
        assert list(archive) == sorted(files)
        assert archive.ids() == sorted(files)
        for file_id, (data, _) in files.items():
            assert file_id in archive
            assert archive[file_id] == data
            assert archive.get(file_id) == data
            assert archive.read(file_id) == data


def test_odd_keys_are_absent_not_errors(mixed):
    path, files = mixed
    absent = next(i for i in range(2**32) if i not in files)
    with quillstone_dat.open(path) as archive:
        for key in [absent, -1, 2**32, 2**70, "1", 1.0, None, b"\x01"]:
            assert key not in archive
            assert archive.get(key) is None
            assert archive.get(key, b"default") == b"default"
        with pytest.raises(quillstone_dat.NotFound) as raised:
            archive[absent]
        assert raised.value.id == absent
        with pytest.raises(KeyError):
            archive[2**32]
        with pytest.raises(TypeError):
            archive["1"]  # type: ignore[index]


def test_raw_reads_give_the_stored_bytes(mixed):
    path, files = mixed
    with quillstone_dat.open(path) as archive:
        compressed = [e for e in archive.entries() if e.is_compressed]
        assert compressed, "the mixed archive compresses some files"
        for entry in compressed:
            stored = archive.read(entry.id, raw=True)
            assert len(stored) == entry.size
            assert quillstone_dat.decompress_lrs(stored) == archive[entry.id]
        plain = next(e for e in archive.entries() if not e.is_compressed)
        assert archive.read(plain.id, raw=True) == archive[plain.id]


def test_entries_are_in_id_order_and_match_the_tool(mixed, tool):
    path, files = mixed
    with quillstone_dat.open(path) as archive:
        entries = archive.entries()
        assert [e.id for e in entries] == sorted(files)
        assert entries[0] == archive.entry(entries[0].id)
        assert hash(entries[0]) == hash(archive.entry(entries[0].id))
    # `ls` prints id, bit flags, offset, size, timestamp and version.
    listed = run_tool(tool, "ls", str(path)).stdout.split("\n")
    for entry, line in zip(entries, listed):
        fields = line.split()
        assert int(fields[0], 16) == entry.id
        assert [int(f, 0) for f in fields[1:6]] == [
            entry.bit_flags, entry.offset, entry.size, entry.timestamp,
            entry.version]
        assert entry.is_compressed == bool(entry.bit_flags & 1)


def test_the_header_has_the_libraries_fields(tmp_path, tool):
    writer = quillstone_dat.Writer(block_size=512, magic=0x5442,
                                   dataset=3, version_string=b"v1.2")
    writer.add(1, b"x")
    summary = writer.write(tmp_path / "h.dat")
    info = run_tool(tool, "info", str(tmp_path / "h.dat"), "--json").stdout
    with quillstone_dat.open(tmp_path / "h.dat") as archive:
        header = archive.header
        fields = header.as_dict()
        assert header == summary["header"]
        assert header.magic == 0x5442 and header.dataset == 3
        assert header.block_size == 512
        assert header.version_string == b"v1.2" + bytes(12)
        assert header.file_size == (tmp_path / "h.dat").stat().st_size
        for name, value in fields.items():
            assert getattr(header, name) == value
            assert f'"{name}"' in info
        # The fields fill the 80 bytes at offset 320 exactly.
        at, width = list(header_layout(header).values())[-1]
        assert at + width == 400


class TestFileObjects:
    def test_reads_seeks_and_copies_like_a_raw_file(self, mixed, tmp_path):
        path, files = mixed
        file_id = max(files, key=lambda i: len(files[i][0]))
        data = files[file_id][0]
        with quillstone_dat.open(path) as archive:
            raw = archive.open_file(file_id)
        assert isinstance(raw, io.RawIOBase)
        assert raw.readable() and raw.seekable() and not raw.writable()
        assert raw.read(10) == data[:10]
        assert raw.tell() == 10
        assert raw.seek(-5, io.SEEK_END) == len(data) - 5
        assert raw.read() == data[-5:]
        assert raw.read(1) == b""
        raw.seek(3)
        assert raw.seek(4, io.SEEK_CUR) == 7
        raw.seek(len(data) + 100)
        assert raw.read(1) == b""
        with pytest.raises(ValueError):
            raw.seek(-1)
        raw.seek(7)
        assert io.BufferedReader(raw).read() == data[7:]
        with quillstone_dat.open(path) as archive:
            with archive.open_file(file_id) as source, \
                    open(tmp_path / "out", "wb") as target:
                shutil.copyfileobj(io.BufferedReader(source), target)
        assert (tmp_path / "out").read_bytes() == data
        raw.close()  # so closing the BufferedReader closed it too
        with pytest.raises(ValueError):
            raw.read(1)

    def test_readinto_fills_any_writable_buffer(self, mixed):
        path, files = mixed
        file_id = next(i for i in files if len(files[i][0]) > 100)
        with quillstone_dat.open(path) as archive:
            raw = archive.open_file(file_id)
        target = memoryview(bytearray(8 * 4)).cast("I")
        assert raw.readinto(target) == 32
        assert target.tobytes() == files[file_id][0][:32]

    def test_an_absent_file_cannot_be_opened(self, mixed):
        path, _ = mixed
        with quillstone_dat.open(path) as archive:
            with pytest.raises(quillstone_dat.NotFound):
                archive.open_file(2**32 - 1)


def test_a_closed_archive_refuses_every_use(mixed):
    path, files = mixed
    archive = quillstone_dat.open(path)
    pending = archive.items()
    next(pending)
    archive.close()
    archive.close()
    assert archive.closed
    some_id = next(iter(files))
    uses: List[Callable[[quillstone_dat.Archive], object]] = [
        len, iter, lambda a: some_id in a, lambda a: a[some_id],
        lambda a: a.get(some_id), lambda a: a.read(some_id),
        lambda a: a.entry(some_id), lambda a: a.entries(),
        lambda a: a.header, lambda a: a.check(), lambda a: a.items(),
        lambda a: a.open_file(some_id), lambda a: next(pending)]
    for use in uses:
        with pytest.raises(ValueError):
            use(archive)


def test_the_context_manager_closes_even_on_an_exception(mixed):
    path, _ = mixed
    with pytest.raises(RuntimeError):
        with quillstone_dat.open(path) as archive:
            raise RuntimeError("inside")
    assert archive.closed


def test_an_archive_made_by_the_tool_reads_as_the_tool_extracts_it(
        tmp_path, tool):
    sample = tmp_path / "sample.dat"
    assert run_tool(tool, "sample", str(sample), "--files", "300",
                    "--seed", "5").returncode == 0
    assert run_tool(tool, "extract", str(sample), str(tmp_path / "out"),
                    "--quiet").returncode == 0
    with quillstone_dat.open(str(sample).encode()) as archive:
        assert len(archive) == 300
        for file_id in archive:
            extracted = tmp_path / "out" / f"{file_id:08X}.bin"
            assert archive[file_id] == extracted.read_bytes()


def test_large_files_cross_many_blocks(tmp_path):
    data = contents(3, 3 << 20)
    writer = quillstone_dat.Writer(block_size=64)
    writer.add(9, data)
    writer.add(10, data, storage="compressed")
    writer.write(tmp_path / "big.dat")
    with quillstone_dat.open(tmp_path / "big.dat") as archive:
        assert archive[9] == data and archive[10] == data
