"""Writing whole archives (Writer) and editing them in place (edit)."""

import os
from types import TracebackType
from typing import Any, Dict, Optional, Type, Union

from . import _native
from ._archive import PathType

Contents = Union[bytes, bytearray, memoryview, PathType]


class Writer(_native.Writer):
    """Builds a whole archive from a set of files.

    ``block_size`` sizes every block (at least 8); ``header_fields`` are the
    header fields written as given (magic, dataset, subset, master_map_id,
    engine_version, game_version, version_string as up to 16 bytes,
    version_minor); the writer fills in the rest. TypeError names any
    other keyword.
    """

    def __init__(self, block_size: int = 1024, **header_fields: Any) -> None:
        super().__init__(block_size, header_fields)

    def add(self, id: int, data: Contents, *, storage: str = "plain",
            bit_flags: int = 0, timestamp: int = 0, version: int = 0) -> None:
        """Adds file `id`: `data` is any bytes-like object (copied now) or a
        path (str or os.PathLike), read when the archive is written.

        ``storage``: "plain" (as given), "compressed" (LRS), "smallest"
        (compressed where that is smaller) or "stored" (`data` already is
        the stored form, with `bit_flags` as given; other storages ignore
        bit_flags). DatError of kind DuplicateId when `id` was added
        before.
        """
        super().add(id, data, storage=storage, bit_flags=bit_flags,
                    timestamp=timestamp, version=version)

    def write(self, path: PathType) -> Dict[str, Any]:
        """Writes the archive to `path`, replacing any file there, and
        returns the summary: header (Header, as written), file_count,
        compressed_count, content_bytes, stored_bytes, directory_nodes,
        directory_depth.

        The archive is written under a temporary name and renamed over
        `path` only once complete and flushed, so a failure (DatError)
        leaves `path` as it was.
        """
        return super().write(os.fspath(path))


class Editor(_native.Editor):
    """Changes an archive in place: put and remove files, then commit.

    Changes are staged and applied together by commit(), after which the
    archive holds the old files or the new ones, never a mix, even after
    a crash. The editor holds an exclusive lock on the archive until it is
    closed; a second editor fails at once with DatError.

    As a context manager it commits on a normal exit and discards the
    staged changes on an exception, as sqlite3 does, and closes itself
    either way.
    """

    def put(self, id: int, data: Contents, *, storage: str = "plain",
            bit_flags: int = 0, timestamp: int = 0, version: int = 0) -> None:
        """Stages file `id`, replacing the archive's file of that id if it
        has one; arguments as for Writer.add."""
        super().put(id, data, storage=storage, bit_flags=bit_flags,
                    timestamp=timestamp, version=version)

    def remove(self, id: int) -> None:
        """Stages the removal of `id`; NotFound when neither the archive nor
        the staged files hold it."""
        super().remove(id)

    def commit(self) -> Dict[str, Any]:
        """Applies the staged changes and returns what changed: added,
        replaced, removed, blocks_reused, blocks_appended, blocks_freed,
        blocks_leaked, free_list_discarded, free_list_problem,
        directory_rebuilt, free_blocks, archive_blocks.

        On failure (DatError) the archive is as it was and the changes stay
        staged for another try.
        """
        return super().commit()

    def __enter__(self) -> "Editor":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        try:
            if exc_type is None:
                self.commit()
        finally:
            self.close()


def edit(path: PathType, *, reuse_free_blocks: str = "when_worthwhile") -> Editor:
    """Opens the archive at `path` for editing.

    ``reuse_free_blocks``: when a commit takes blocks from the archive's
    free list rather than appending: "when_worthwhile" (when its new
    chains come to a sixteenth of the archive or more), "always" or
    "never".
    """
    return Editor(os.fspath(path), reuse_free_blocks)
