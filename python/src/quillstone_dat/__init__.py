"""Read, check, write and edit DAT archives.

    import quillstone_dat

    with quillstone_dat.open("portal.dat") as archive:
        print(len(archive), "files")
        data = archive[0x06000001]          # bytes, decompressed
        for file_id, data in archive.items():
            ...                             # every file, in archive order

The package is the C++ library compiled into a native module; this layer
only translates. Every failure the library reports is a DatError (NotFound,
also a KeyError, for an id the archive lacks); every call that reads or
writes an archive releases the GIL.
"""

from ._errors import DatError, NotFound
from . import _native
from ._native import CheckProblem, CheckReport, Entry, Header, compress_lrs, decompress_lrs
from ._archive import Archive, FileReader, open
from ._writing import Editor, Writer, edit

__version__: str = _native.__version__

__all__ = [
    "Archive",
    "CheckProblem",
    "CheckReport",
    "DatError",
    "Editor",
    "Entry",
    "FileReader",
    "Header",
    "NotFound",
    "Writer",
    "__version__",
    "compress_lrs",
    "decompress_lrs",
    "edit",
    "open",
]
