"""Quorell structured-storage containers from Python.

Reading::

    with quorell.open("firmware.qss") as container:
        for path, entry in container.walk():
            print(path, entry.kind, entry.size)
        with container.open("Kivra7i/KivMod7Win.bin") as stream:
            data = stream.read()

Writing (built in temporary files, moved into place on commit)::

    with quorell.create("new.qss") as container:
        container.root.create_stream("hello.txt", b"hello")

Every failure of the library is a quorell.Error carrying the library's
result code; a damaged container raises, it never crashes the interpreter.
"""

from __future__ import annotations

import io
import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Callable, Optional, Union

from . import _quorell
from ._quorell import Entry

__version__: str = _quorell.__version__

__all__ = [
    "Container",
    "CorruptError",
    "Entry",
    "Error",
    "NotAContainerError",
    "NotFoundError",
    "Storage",
    "Stream",
    "TruncatedError",
    "create",
    "open",
]

MAX_PATH_DEPTH: int = _quorell.MAX_PATH_DEPTH


class Error(Exception):
    """A failure the library reported.

    ``code`` is the library's 32-bit result code as an unsigned int,
    ``message`` its words for it, ``path`` the container file or entry path
    it concerns (or None).
    """

    def __init__(self, code: int, message: str, path: Optional[str] = None) -> None:
        super().__init__(code, message, path)
        self.code = code
        self.message = message
        self.path = path

    def __str__(self) -> str:
        where = f"'{self.path}': " if self.path else ""
        return f"{where}{self.message} (0x{self.code:08X})"


class NotAContainerError(Error):
    """The file holds no container (or one damaged beyond opening)."""


class CorruptError(Error):
    """The container opened, but an entry, chain or stream in it is damaged."""


class TruncatedError(CorruptError):
    """The container is cut short: its table runs past its end."""


class NotFoundError(Error, KeyError):
    """No such file, entry or path. A KeyError, so mappings behave."""

    __str__ = Error.__str__


_quorell._set_error_classes(Error, NotAContainerError, TruncatedError, NotFoundError, CorruptError)


def _wrap(opened: Any) -> Union["Storage", "Stream"]:
    if isinstance(opened, _quorell._RawStream):
        return Stream(opened)
    return Storage(opened)


class Stream(io.RawIOBase):
    """A stream of a container as a read-only binary file.

    Positions count from the first readable byte (the entry's head offset).
    ``readinto`` reads straight into the caller's buffer, without the GIL.
    A stream that ends before its entry's size raises CorruptError instead of
    passing the short content off as whole.
    """

    def __init__(self, raw: Any) -> None:
        super().__init__()
        self._raw = raw

    @property
    def name(self) -> str:
        """The stream's path inside its container."""
        return self._raw.path

    @property
    def entry(self) -> Entry:
        """The stream's directory entry."""
        return self._raw.entry

    @property
    def size(self) -> int:
        """Readable bytes: the entry's size less its head offset."""
        return self._raw.length

    @property
    def closed(self) -> bool:  # type: ignore[override]
        return self._raw.closed or super().closed

    def readable(self) -> bool:
        self._check_open()
        return True

    def seekable(self) -> bool:
        self._check_open()
        return True

    def writable(self) -> bool:
        self._check_open()
        return False

    def readinto(self, buffer: Any) -> int:
        return self._raw.readinto(buffer)

    def read(self, size: Optional[int] = -1) -> bytes:
        return self._raw.read(-1 if size is None else size)

    def readall(self) -> bytes:
        return self._raw.read(-1)

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        return self._raw.seek(offset, whence)

    def tell(self) -> int:
        return self._raw.tell()

    def flush(self) -> None:
        pass

    def close(self) -> None:
        self._raw.close()
        super().close()

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed stream")

    def __repr__(self) -> str:
        return f"<quorell.Stream {self.name!r} size={self.size}>"


class Storage(Mapping):
    """A directory of a container: a mapping of names to Entry objects.

    Iteration follows directory order. When the directory could not be read
    to its end (a broken or circular chain), ``load_error`` holds the error;
    iterating then yields the entries that were read and raises it at the
    end, so a damaged listing is never passed off as complete.
    """

    def __init__(self, raw: Any) -> None:
        self._raw = raw

    @property
    def path(self) -> str:
        """The storage's path inside its container ('' for the root)."""
        return self._raw.path

    @property
    def closed(self) -> bool:
        return self._raw.closed

    @property
    def load_error(self) -> Optional[Error]:
        """Why the directory was not read whole, or None."""
        code = self._raw.load_error
        if code == 0:
            return None
        return _quorell._error_for(code, self.path)

    def __getitem__(self, name: str) -> Entry:
        if not isinstance(name, str):
            raise KeyError(name)
        return self._raw.entry(name)

    def __contains__(self, name: object) -> bool:
        return self._raw.contains(name)

    def __len__(self) -> int:
        return len(self._raw)

    def entries(self) -> Iterator[Entry]:
        """The entries in directory order (duplicate names included)."""
        for index in range(len(self._raw)):
            yield self._raw.entry_at(index)
        error = self.load_error
        if error is not None:
            raise error

    def __iter__(self) -> Iterator[str]:
        return (entry.name for entry in self.entries())

    def values(self) -> list[Entry]:  # type: ignore[override]
        return list(self.entries())

    def items(self) -> list[tuple[str, Entry]]:  # type: ignore[override]
        return [(entry.name, entry) for entry in self.entries()]

    def open(self, path: Union[str, Sequence[str]], as_stream: bool = False) -> Union["Storage", Stream]:
        """Opens what path names below this storage: 'a/b/c' or 'a\\b\\c', or a
        sequence of names (which may then hold '/' or '\\' themselves).

        A stream opens as a Stream, a storage as a Storage, and a nested
        container as its root Storage (as its raw Stream with as_stream).
        A stream can be open once at a time (until closed); storages stay
        open with the container and are shared by everything opened
        through them, so a nested container opened as a storage cannot also
        be read raw before the container is closed.
        """
        return _wrap(self._raw.open(path, as_stream))

    def create_stream(self, name: str, data: Any, compress: bool = False) -> Entry:
        """Adds a stream holding data (bytes-like, or a binary file read to its
        end). A compressed stream is stored as one LZ4 image when that is
        smaller. Returns the new entry."""
        return self._raw.create_stream(name, data, compress)

    def create_storage(self, name: str) -> "Storage":
        """Adds an empty sub-storage and returns it, writable."""
        return Storage(self._raw.create_storage(name))

    def create_nested(self, name: str, block_size: int = 4096, entry_width: int = 4) -> "Storage":
        """Adds a stream holding a new, empty container and returns its root."""
        return Storage(self._raw.create_nested(name, block_size, entry_width))

    def close(self) -> None:
        """Releases the storage (its container closes it too)."""
        self._raw.close()

    def __enter__(self) -> "Storage":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __eq__(self, other: object) -> bool:
        return self is other

    __hash__ = object.__hash__

    def __repr__(self) -> str:
        return f"<quorell.Storage {self.path!r} entries={len(self) if not self.closed else '?'}>"


class Container:
    """An open container file (with its segment files)."""

    def __init__(self, raw: Any) -> None:
        self._raw = raw
        self._root: Optional[Storage] = None

    @property
    def path(self) -> str:
        return self._raw.path

    @property
    def writable(self) -> bool:
        return self._raw.writable

    @property
    def closed(self) -> bool:
        return self._raw.closed

    @property
    def root(self) -> Storage:
        """The root storage."""
        if self._root is None or self._root.closed:
            self._root = Storage(self._raw.root())
        return self._root

    def open(self, path: Union[str, Sequence[str]], as_stream: bool = False) -> Union[Storage, Stream]:
        """Opens a stream or storage by path from the root (see Storage.open)."""
        return self.root.open(path, as_stream)

    def walk(
        self, top: str = "", nested: bool = True, onerror: Optional[Callable[[Error], None]] = None
    ) -> Iterator[tuple[str, Entry]]:
        """Yields (path, entry) for every entry below top, parents before
        their children, in directory order; paths use '/'.

        Storages are entered, and nested containers too unless nested is
        False. Nothing stays open while an entry is yielded, so the caller
        may open what it is shown. A storage that cannot be opened or read
        whole (or that a damaged container reaches a second time) raises its
        Error, or, when onerror is given, is passed to it and the walk goes
        on past it.
        """
        names = tuple(_split(top))
        start = self.root.open(names) if names else self.root
        if not isinstance(start, Storage):
            start.close()
            raise NotADirectoryError(f"'{top}' is a stream")
        if names:
            start.close()
        yield from _walk(self.root, names, (), set(), nested, onerror)

    def commit(self) -> None:
        """Saves what was written. A container from create() is sealed and
        moved over its destination, which closes it; one opened writable is
        committed in place and stays open."""
        self._raw.commit()

    def discard(self) -> None:
        """Closes a container from create() without touching its destination."""
        self._raw.close()

    def close(self) -> None:
        """Closes the container and every storage and stream opened from it.
        A writable container is committed first (see commit)."""
        if self._raw.closed:
            return
        try:
            if self._raw.writable:
                self._raw.commit()
        finally:
            self._raw.close()

    def __enter__(self) -> "Container":
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        if exc_type is None:
            self.close()
        else:
            # A failed build leaves the destination as it was. (Changes made
            # in place cannot be taken back.)
            self._raw.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else ("writable" if self.writable else "read-only")
        return f"<quorell.Container {self.path!r} {state}>"


def _split(path: str) -> list[str]:
    return [name for name in path.replace("\\", "/").split("/") if name]


def _walk(
    root: Storage,
    names: tuple[str, ...],
    container: tuple[int, ...],
    visited: set[tuple[tuple[int, ...], int]],
    nested: bool,
    onerror: Optional[Callable[[Error], None]],
) -> Iterator[tuple[str, Entry]]:
    # The directory is read and closed before anything is yielded. Storages
    # are told apart by their container and first block: a damaged container
    # can make entries share a directory, and walking it once per entry could
    # take for ever.
    try:
        storage = root.open(names) if names else root
    except Error as error:
        if onerror is None:
            raise
        onerror(error)
        return
    try:
        entries = [storage._raw.entry_at(index) for index in range(len(storage))]
        load_error = storage.load_error
    finally:
        if names:
            storage.close()
    prefix = "/".join(names)
    for entry in entries:
        path = f"{prefix}/{entry.name}" if prefix else entry.name
        yield path, entry
        if entry.kind != "storage" and not (nested and entry.kind == "nested"):
            continue
        inner = container + (entry.first_block,) if entry.kind == "nested" else container
        key = (container, entry.first_block)
        problem = None
        if len(names) + 1 >= MAX_PATH_DEPTH:
            problem = Error(_quorell.INVALID_ARGUMENT, "storages nested too deep", path)
        elif entry.first_block >= 0 and key in visited:
            problem = _quorell._error_for(_quorell.NOT_A_CONTAINER, path)
        if problem is not None:
            if onerror is None:
                raise problem
            onerror(problem)
            continue
        visited.add(key)
        yield from _walk(root, names + (entry.name,), inner, visited, nested, onerror)
    if load_error is not None:
        if onerror is None:
            raise load_error
        onerror(load_error)


def open(path: Union[str, os.PathLike], writable: bool = False) -> Container:  # noqa: A001
    """Opens the container at path (and its segments path.F0002, ...)."""
    return Container(_quorell._Container.open(os.fspath(path), writable))


def create(
    path: Union[str, os.PathLike], block_size: int = 4096, entry_width: int = 4, segment_size: Optional[int] = None
) -> Container:
    """Starts a new container that will replace path on commit.

    It is built in temporary files beside path; commit() (or leaving a with
    block without an exception) moves it into place, and until then path
    stays byte for byte as it was. entry_width is 2, 4 or 8; block_size a
    power of two; segment_size the size of each segment file.
    """
    return Container(_quorell._Container.create(os.fspath(path), block_size, entry_width, segment_size))
