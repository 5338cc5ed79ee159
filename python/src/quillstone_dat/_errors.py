"""The package's exceptions: the library's DatError, as a Python exception.

The native module raises these (and hands them over, unraised, from
Archive.items()); every field comes from the library's own error value.
"""

from typing import Optional


class DatError(Exception):
    """A failure the library reported.

    ``str(error)`` is the library's one-line message; ``kind`` the kind's
    name ("Io", "BinRead", "NotFound", "Corruption", "PathError", ...);
    ``debug`` the error's whole debug form, as ``DatError::debug()`` gives
    it, for logs and bug reports; ``id`` the file id of NotFound and
    DuplicateId, else None.
    """

    __module__ = "quillstone_dat"

    def __init__(self, message: str, kind: str = "Other", debug: str = "",
                 id: Optional[int] = None) -> None:
        super().__init__(message, kind, debug, id)
        self.kind = kind
        self.debug = debug
        self.id = id

    def __str__(self) -> str:
        return str(self.args[0])


class NotFound(DatError, KeyError):
    """The archive holds no file with the id asked for (kind "NotFound").

    A KeyError too, so that an archive reads like a mapping of ids to bytes.
    """

    __module__ = "quillstone_dat"
