"""The Python side of bench/run's python figures.

Run by quillstone_dat_bench with the interpreter of a virtual environment
that has the package installed; prints one line of seconds for the C++
driver to read. Each measurement follows one untimed pass, so that the
page cache and the allocator are warm.

    python_bench.py items ARCHIVE         one pass of archive.items()
    python_bench.py get ARCHIVE COUNT     archive[id] for COUNT ids spread
                                          evenly over the ascending ids
    python_bench.py threads ARCHIVE       items() over the ids split in two
                                          halves: one thread taking both,
                                          then two threads taking one each
"""

import sys
import threading
import time

import quillstone_dat


def items_pass(archive, ids=None):
    total = 0
    for _, data in archive.items(ids):
        total += len(data)
    return total


def spread_ids(archive, count):
    """COUNT ids spread evenly over the ascending ids, as the driver picks
    them for get_file."""
    ids = archive.ids()
    return [ids[i * len(ids) // count] for i in range(count)]


def seconds_of(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def measure_items(archive):
    items_pass(archive)
    return [seconds_of(lambda: items_pass(archive))]


def measure_get(archive, count):
    ids = spread_ids(archive, count)

    def get_all():
        for file_id in ids:
            archive[file_id]

    get_all()
    return [seconds_of(get_all)]


def measure_threads(archive):
    ids = archive.ids()
    halves = [ids[:len(ids) // 2], ids[len(ids) // 2:]]

    def one_thread():
        for half in halves:
            items_pass(archive, half)

    def two_threads():
        workers = [threading.Thread(target=items_pass, args=(archive, half))
                   for half in halves]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    one_thread()
    return [seconds_of(one_thread), seconds_of(two_threads)]


def main(argv):
    mode, path = argv[1], argv[2]
    with quillstone_dat.open(path) as archive:
        if mode == "items":
            figures = measure_items(archive)
        elif mode == "get":
            figures = measure_get(archive, int(argv[3]))
        elif mode == "threads":
            figures = measure_threads(archive)
        else:
            raise SystemExit(f"python_bench.py: unknown mode {mode!r}")
    print(" ".join(f"{seconds:.6f}" for seconds in figures))


if __name__ == "__main__":
    main(sys.argv)
