"""Writing archives with Writer, editing them with edit(), and the LRS
coder: what is written reads back, and what is refused leaves nothing
changed."""

import os
import pathlib

import pytest

import quillstone_dat
from support import contents, random_files, write_files


class TestWriter:
    def test_each_storage_is_stored_as_asked(self, tmp_path):
        text = contents(1, 4000)
        noise = os.urandom(300)
        payload = quillstone_dat.compress_lrs(text)
        writer = quillstone_dat.Writer(block_size=128)
        writer.add(1, text)
        writer.add(2, bytearray(text), storage="compressed", timestamp=9,
                   version=4)
        writer.add(3, memoryview(text), storage="smallest")
        writer.add(4, noise, storage="smallest")
        writer.add(5, payload, storage="stored", bit_flags=1)
        writer.add(6, b"", storage="compressed")
        summary = writer.write(tmp_path / "s.dat")
        assert summary["file_count"] == 6
        assert summary["compressed_count"] == 4
        assert summary["content_bytes"] == 3 * 4000 + 300 + len(payload)
        with quillstone_dat.open(tmp_path / "s.dat") as archive:
            flags = {e.id: e.bit_flags for e in archive.entries()}
            assert flags == {1: 0, 2: 1, 3: 1, 4: 0, 5: 1, 6: 1}
            assert archive[1] == archive[2] == archive[3] == archive[5] == text
            assert archive[4] == noise and archive[6] == b""
            assert archive.read(5, raw=True) == payload
            entry = archive.entry(2)
            assert (entry.timestamp, entry.version) == (9, 4)
            assert summary["stored_bytes"] == sum(
                e.size for e in archive.entries())
            assert archive.check().ok

    def test_contents_given_by_path_are_read_at_write(self, tmp_path):
        source = tmp_path / "source.bin"
        source.write_bytes(b"first")
        writer = quillstone_dat.Writer()
        writer.add(1, source)
        writer.add(2, str(source))
        source.write_bytes(b"second")
        writer.write(tmp_path / "p.dat")
        with quillstone_dat.open(tmp_path / "p.dat") as archive:
            assert archive[1] == archive[2] == b"second"
        writer.add(3, tmp_path / "gone.bin")
        with pytest.raises(quillstone_dat.DatError) as raised:
            writer.write(tmp_path / "p.dat")
        assert raised.value.kind == "PathError"
        with quillstone_dat.open(tmp_path / "p.dat") as archive:
            assert len(archive) == 2  # the old archive is still there

    def test_arguments_are_checked_before_anything_is_written(self):
        with pytest.raises(TypeError):
            quillstone_dat.Writer(colour=1)
        with pytest.raises(TypeError):  # the writer fills it in
            quillstone_dat.Writer(root_offset=1)
        with pytest.raises(ValueError):
            quillstone_dat.Writer(version_string=bytes(17))
        with pytest.raises(ValueError):
            quillstone_dat.Writer(magic=-1)
        writer = quillstone_dat.Writer()
        for bad_id in [-1, 2**32]:
            with pytest.raises(ValueError):
                writer.add(bad_id, b"")
        with pytest.raises(TypeError):
            writer.add(1, 42)  # type: ignore[arg-type]
        with pytest.raises(ValueError):
            writer.add(1, b"", storage="zipped")
        assert len(writer) == 0

    def test_a_block_size_too_small_fails_the_write(self, tmp_path):
        writer = quillstone_dat.Writer(block_size=4)
        writer.add(1, b"x")
        with pytest.raises(quillstone_dat.DatError):
            writer.write(tmp_path / "t.dat")
        assert not (tmp_path / "t.dat").exists()


class TestEditor:
    def test_a_round_trip_from_writer_through_edit(self, tmp_path):
        files = random_files(3, 200)
        path = write_files(tmp_path / "e.dat", files)
        ids = sorted(files)
        with quillstone_dat.edit(path) as editor:
            editor.put(ids[0], b"replaced", timestamp=77)
            editor.put(12345, contents(9, 9000), storage="compressed")
            editor.remove(ids[1])
            assert ids[1] in editor and 12345 not in editor  # as committed
        with quillstone_dat.open(path) as archive:
            assert archive[ids[0]] == b"replaced"
            assert archive.entry(ids[0]).timestamp == 77
            assert archive[12345] == contents(9, 9000)
            assert archive.entry(12345).is_compressed
            assert ids[1] not in archive
            for file_id in ids[2:]:
                assert archive[file_id] == files[file_id][0]
            assert archive.check(free_space=True).ok

    def test_commit_reports_what_changed_and_changes_stay_staged(self, tmp_path):
        path = write_files(tmp_path / "e.dat", random_files(4, 20))
        editor = quillstone_dat.edit(path, reuse_free_blocks="never")
        first = editor.entries()[0].id
        editor.put(first, b"new")
        editor.put(2**32 - 1, b"added")
        summary = editor.commit()
        assert (summary["added"], summary["replaced"], summary["removed"]) == (
            1, 1, 0)
        assert summary["blocks_appended"] > 0
        assert editor.commit()["added"] == 0  # nothing staged
        editor.close()
        with pytest.raises(ValueError):
            editor.put(1, b"")
        with pytest.raises(ValueError):
            quillstone_dat.edit(path, reuse_free_blocks="sometimes")

    def test_an_exception_discards_the_staged_changes(self, tmp_path):
        files = random_files(5, 30)
        path = write_files(tmp_path / "e.dat", files)
        before = path.read_bytes()
        with pytest.raises(RuntimeError):
            with quillstone_dat.edit(path) as editor:
                editor.put(1, b"never")
                raise RuntimeError("stop")
        assert editor.closed
        assert path.read_bytes() == before
        with quillstone_dat.edit(path) as again:  # the lock was released
            again.remove(next(iter(files)))

    def test_a_second_editor_fails_at_once(self, tmp_path):
        path = write_files(tmp_path / "e.dat", random_files(6, 5))
        with quillstone_dat.edit(path):
            with pytest.raises(quillstone_dat.DatError) as raised:
                quillstone_dat.edit(path)
            assert raised.value.kind == "Other"

    def test_removing_an_absent_file_is_not_found(self, tmp_path):
        path = write_files(tmp_path / "e.dat", random_files(8, 5))
        with quillstone_dat.edit(path) as editor:
            with pytest.raises(quillstone_dat.NotFound):
                editor.remove(7)

    def test_what_is_not_an_archive_cannot_be_edited(self, tmp_path):
        (tmp_path / "junk").write_bytes(b"junk" * 200)
        with pytest.raises(quillstone_dat.DatError):
            quillstone_dat.edit(tmp_path / "junk")


def test_lrs_round_trips_any_bytes_like_object():
    for data in [b"", b"a", contents(2, 100_000), os.urandom(5000)]:
        for given in [data, bytearray(data), memoryview(data)]:
            packed = quillstone_dat.compress_lrs(given)
            assert int.from_bytes(packed[:4], "little") == len(data)
            assert quillstone_dat.decompress_lrs(memoryview(packed)) == data
    data = contents(3, 50_000)
    for level in ["fast", "default", "best"]:
        packed = quillstone_dat.compress_lrs(data, level=level)
        assert quillstone_dat.decompress_lrs(packed) == data
    assert quillstone_dat.decompress_lrs(b"\x01\x02") == b"\x01\x02"
    with pytest.raises(TypeError):
        quillstone_dat.compress_lrs("text")  # type: ignore[arg-type]
    with pytest.raises(ValueError):
        quillstone_dat.compress_lrs(data, level="hardest")
