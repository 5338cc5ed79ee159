"""Archive.items(): the same bytes as archive[id], in the order the files
lie in the archive, with damaged and absent files handed over as errors."""

import pytest

import quillstone_dat
from support import (contents, entry_field_at, one_leaf_archive, patch_u32,
                     random_files, write_files)


def in_archive_order(archive, ids):
    entries = {i: archive.entry(i) for i in set(ids) if i in archive}
    absent = [i for i in ids if i not in entries]
    present = sorted((i for i in ids if i in entries),
                     key=lambda i: entries[i].offset)
    return absent + present


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("raw", [False, True])
def test_items_agree_with_lookups_on_random_archives(tmp_path, seed, raw):
    files = random_files(seed, 50 + 40 * seed)
    path = write_files(tmp_path / "r.dat", files, block_size=[64, 256, 1024][seed % 3])
    with quillstone_dat.open(path) as archive:
        pairs = list(archive.items(raw=raw))
        assert [i for i, _ in pairs] == in_archive_order(archive, list(archive))
        assert dict(pairs) == {i: archive.read(i, raw=raw) for i in archive}


def test_listed_ids_come_absent_first_then_in_archive_order(tmp_path):
    files = random_files(11, 120)
    path = write_files(tmp_path / "r.dat", files)
    present = sorted(files)
    # Edited files go to the end of the archive: ids no longer in order.
    with quillstone_dat.edit(path) as editor:
        editor.put(present[0], b"moved to the end")
        editor.put(present[5], b"and this one too")
    ids = [present[50], 7, present[0], present[50], 3, present[5], 7]
    ids = [i for i in ids if i not in files or i in present]
    with quillstone_dat.open(path) as archive:
        pairs = list(archive.items(iter(ids)))
        assert [i for i, _ in pairs] == in_archive_order(archive, ids)
        for file_id, data in pairs:
            if file_id in archive:
                assert data == archive[file_id]
            else:
                assert isinstance(data, quillstone_dat.NotFound)
                assert data.id == file_id
        assert list(archive.items([])) == []


def test_items_span_many_chunks(tmp_path):
    # More files than one chunk takes, and files larger than a chunk.
    writer = quillstone_dat.Writer(block_size=128)
    expected = {}
    for file_id in range(9000):
        expected[file_id] = contents(file_id, file_id % 40)
        writer.add(file_id, expected[file_id])
    for file_id, size in [(20000, 5 << 20), (20001, 9 << 20)]:
        expected[file_id] = contents(file_id, size)
        writer.add(file_id, expected[file_id],
                   storage="compressed" if size > 6 << 20 else "plain")
    writer.write(tmp_path / "many.dat")
    with quillstone_dat.open(tmp_path / "many.dat") as archive:
        assert dict(archive.items()) == expected
        assert len(list(archive.items(list(range(8990, 9010))))) == 20


def test_a_damaged_file_does_not_end_the_pass(tmp_path):
    path = one_leaf_archive(tmp_path / "leaf.dat", count=5)
    with quillstone_dat.open(path) as archive:
        root = archive.header.root_offset
        good = {i: archive[i] for i in archive}
        length = archive.header.file_size
    # Entry 3 (slot 2) now claims a chain past the end of the file.
    patch_u32(path, entry_field_at(root, 2, 2), length + 4096)
    with quillstone_dat.open(path) as archive:
        with pytest.raises(quillstone_dat.DatError) as raised:
            archive[3]
        pairs = dict(archive.items())
        assert isinstance(pairs.pop(3), quillstone_dat.DatError)
        assert pairs == {i: good[i] for i in good if i != 3}
        failed = dict(archive.items([3]))[3]
        assert isinstance(failed, quillstone_dat.DatError)
        assert (failed.kind, failed.debug) == (raised.value.kind,
                                               raised.value.debug)


def test_a_stopped_iterator_starts_nothing_new(mixed):
    path, files = mixed
    with quillstone_dat.open(path) as archive:
        pending = archive.items()
        assert next(pending)[0] in files
        assert sum(1 for _ in pending) == len(files) - 1
        with pytest.raises(StopIteration):
            next(pending)


def test_ids_must_be_file_ids(mixed):
    path, _ = mixed
    with quillstone_dat.open(path) as archive:
        with pytest.raises(ValueError):
            archive.items([-1])
        with pytest.raises(TypeError):
            archive.items(["1"])  # type: ignore[list-item]
