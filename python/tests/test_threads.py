"""Threads: reads of one Archive from several threads agree, and every
call that reads or writes an archive lets other threads run meanwhile."""

import sys
import threading
import time
from typing import Dict, List

import pytest

import quillstone_dat
from support import contents, write_files


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """About 48 MiB in 3000 files: a pass over it takes long enough to
    see whether other threads ran during it."""
    path = tmp_path_factory.mktemp("big") / "big.dat"
    files = {i: (contents(i, 16 << 10), "plain") for i in range(3000)}
    files[5000] = (contents(5000, 8 << 20), "compressed")
    return write_files(path, files)


def test_threads_reading_one_archive_agree(big):
    with quillstone_dat.open(big) as archive:
        ids = archive.ids()
        expected = {i: archive[i] for i in ids}
        results: List[Dict[int, bytes]] = [{} for _ in range(4)]
        failures: List[BaseException] = []

        def read(slot):
            try:
                if slot % 2:
                    results[slot] = {i: data for i, data in
                                     archive.items(ids[slot::2])
                                     if isinstance(data, bytes)}
                else:
                    results[slot] = {i: archive[i] for i in ids[slot::2]}
            except BaseException as error:  # reported by the main thread
                failures.append(error)

        workers = [threading.Thread(target=read, args=(s,)) for s in range(4)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        assert not failures
        merged: Dict[int, bytes] = {}
        for result in results:
            merged.update(result)
        assert merged == expected


def test_close_while_other_threads_read_ends_them_cleanly(big):
    archive = quillstone_dat.open(big)
    outcomes = []

    def read():
        try:
            for _ in archive.items():
                pass
            outcomes.append("finished")
        except ValueError:
            outcomes.append("closed")

    workers = [threading.Thread(target=read) for _ in range(2)]
    for worker in workers:
        worker.start()
    time.sleep(0.01)
    archive.close()
    for worker in workers:
        worker.join()
    assert sorted(set(outcomes)) <= ["closed", "finished"]
    assert len(outcomes) == 2


class Ticker:
    """A thread that counts while it holds the GIL. With a switch interval
    far longer than the test, the main thread gives the GIL up only where
    a call releases it, so the count grows only during such calls."""

    def __enter__(self):
        self.count = 0
        self.stop = False
        self.previous = sys.getswitchinterval()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()
        time.sleep(0.05)
        sys.setswitchinterval(100)
        return self

    def run(self):
        while not self.stop:
            self.count += 1
            time.sleep(0.0001)

    def __exit__(self, *exc_info):
        sys.setswitchinterval(self.previous)
        self.stop = True
        self.thread.join()


def runs_beside(call) -> bool:
    """Whether the ticker counted while `call` ran. A call of a few
    milliseconds may end before the system schedules the ticker, hence
    several tries."""
    with Ticker() as ticker:
        for _ in range(20):
            before = ticker.count
            call()
            if ticker.count > before:
                return True
    return False


@pytest.fixture(scope="module")
def wide(tmp_path_factory):
    """200,000 small files: an open that takes milliseconds."""
    writer = quillstone_dat.Writer(block_size=64)
    for file_id in range(200_000):
        writer.add(file_id, b"%d" % file_id)
    path = tmp_path_factory.mktemp("wide") / "wide.dat"
    writer.write(path)
    return path


def test_calls_release_the_gil(big, wide, tmp_path):
    assert runs_beside(lambda: quillstone_dat.open(wide).close())
    with quillstone_dat.open(big) as archive:
        assert runs_beside(lambda: archive[5000])
        assert runs_beside(lambda: archive.read(5000, raw=True))
        assert runs_beside(lambda: sum(1 for _ in archive.items()))
        assert runs_beside(lambda: archive.check())
    data = contents(1, 8 << 20)
    assert runs_beside(lambda: quillstone_dat.compress_lrs(data))
    packed = quillstone_dat.compress_lrs(data)
    assert runs_beside(lambda: quillstone_dat.decompress_lrs(packed))

    def write():
        writer = quillstone_dat.Writer()
        writer.add(1, data, storage="compressed")
        writer.write(tmp_path / "w.dat")

    assert runs_beside(write)

    def commit():
        with quillstone_dat.edit(tmp_path / "w.dat") as editor:
            editor.put(2, data, storage="compressed")

    assert runs_beside(commit)
