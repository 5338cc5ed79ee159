"""Opening archives, and files of an archive as binary file objects."""

import io
import os
from typing import Union

from . import _native

PathType = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Archive(_native.Archive):
    """An open archive: its header, its directory and its files by id.

    Reads like a read-only mapping of ids to bytes (``len``, ``in``,
    ``archive[id]``, ``get``, iteration over the ids in ascending order)
    and is a context manager that closes it. One Archive may be read from
    several threads at once: every read releases the GIL.
    """

    def open_file(self, id: int, raw: bool = False) -> "FileReader":
        """The file's bytes as a readable, seekable binary file object.

        The file is read whole now (NotFound when absent, DatError when it
        cannot be read), so the object stays readable after the archive is
        closed; wrap it in io.BufferedReader or pass it to
        shutil.copyfileobj like any raw file.
        """
        return FileReader(self.read(id, raw=raw))

    def __repr__(self) -> str:
        if self.closed:
            return "<quillstone_dat.Archive (closed)>"
        return f"<quillstone_dat.Archive of {len(self)} files>"


def open(path: PathType) -> Archive:
    """Opens the archive at `path` (str, bytes or os.PathLike) read-only.

    Reads the header and walks the whole directory before it returns;
    DatError when the file cannot be opened, is not an archive or is
    damaged.
    """
    return Archive(os.fspath(path))


class FileReader(io.RawIOBase):
    """A read-only, seekable raw binary file over one file's bytes."""

    def __init__(self, data: bytes) -> None:
        super().__init__()
        self._data = memoryview(data)
        self._position = 0

    def readable(self) -> bool:
        """True: the file can be read."""
        return True

    def seekable(self) -> bool:
        """True: the file can be sought."""
        return True

    def readinto(self, buffer: "bytearray | memoryview") -> int:  # type: ignore[override]
        """Copies the next bytes into `buffer`; returns how many (0 at
        the end)."""
        self._check_open()
        target = memoryview(buffer).cast("B")
        start = min(self._position, len(self._data))
        chunk = self._data[start:start + len(target)]
        target[:len(chunk)] = chunk
        self._position = start + len(chunk)
        return len(chunk)

    def readall(self) -> bytes:
        """The bytes from the position to the end; the file's own bytes
        object, not a copy, when read from the start."""
        self._check_open()
        start = min(self._position, len(self._data))
        self._position = len(self._data)
        if start == 0:
            whole = self._data.obj  # the file's own bytes object, not a copy
            assert isinstance(whole, bytes)
            return whole
        return self._data[start:].tobytes()

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        """Moves to `offset` from the start, the position or the end, as
        for any file; a position past the end reads nothing."""
        self._check_open()
        if whence == io.SEEK_SET:
            position = offset
        elif whence == io.SEEK_CUR:
            position = self._position + offset
        elif whence == io.SEEK_END:
            position = len(self._data) + offset
        else:
            raise ValueError(f"invalid whence ({whence!r}, should be 0, 1 or 2)")
        if position < 0:
            raise ValueError(f"negative seek position {position}")
        self._position = position
        return position

    def tell(self) -> int:
        """The position."""
        self._check_open()
        return self._position

    def close(self) -> None:
        """Releases the bytes; any use afterwards raises ValueError."""
        if not self.closed:
            self._data.release()
        super().close()

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file.")
