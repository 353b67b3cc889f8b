"""Writing output files so that a full disk, a kill or Ctrl-C never leaves a
truncated file under a final name: each file is written to a temporary name in
its own folder, flushed to the disk, and renamed into place in one step. Until
that rename the previous file of that name is untouched."""

from __future__ import annotations

import contextlib
import functools
import os
import stat
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import IO, Any

TEMPORARY_PREFIX = ".tarnok-partial-"
_ANY_WRITE = stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH


class OutputError(OSError):
    """An output that cannot be written where it must go; the message names it."""

    def __init__(self, path: str | os.PathLike[str], message: str) -> None:
        super().__init__(f"{path}: {message}")
        self.path = str(path)

    def __str__(self) -> str:
        return str(self.args[0])


def check_target(path: Path, *, replace: bool = True) -> None:
    """Refuse a name that a file cannot be written under.

    Parameters
    ----------
    path : Path
        Where a file is to go.
    replace : bool
        Whether an existing regular file there may be replaced; it must then
        be writable (a file made read-only is not replaced behind its back).

    Raises
    ------
    OutputError
        When a folder, a pipe or a device has the name, or an existing file
        may not or cannot be replaced.
    """
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return
    except OSError as error:
        raise OutputError(path, f"cannot be examined: {error.strerror or error}") from None
    if stat.S_ISDIR(status.st_mode):
        raise OutputError(path, "is a folder; a file must be written under this name")
    if not stat.S_ISREG(status.st_mode):
        raise OutputError(path, "is not a regular file (a pipe or a device?); it is not "
                          "written to")
    if not replace:
        raise OutputError(path, "already exists and is left unchanged")
    # The mode bits too: to the superuser every file is writable, but one whose
    # owner took away its write permission is still meant to stay as it is.
    if not (status.st_mode & _ANY_WRITE) or not os.access(path, os.W_OK):
        raise OutputError(path, "is read-only; it is not replaced")


@functools.cache
def _file_mode() -> int:
    # mkstemp makes files only their owner can read; an output file gets the
    # mode any other new file would get.
    mask = os.umask(0o022)
    os.umask(mask)
    return 0o666 & ~mask


@contextlib.contextmanager
def _temporary_beside(path: Path, binary: bool) -> Iterator[tuple[IO[Any], Path]]:
    handle_number, name = tempfile.mkstemp(prefix=TEMPORARY_PREFIX, suffix=path.suffix,
                                           dir=path.parent)
    temporary = Path(name)
    try:
        mode = "wb" if binary else "w"
        options = {} if binary else {"encoding": "utf-8", "newline": ""}
        with os.fdopen(handle_number, mode, **options) as handle:
            os.fchmod(handle.fileno(), _file_mode())
            yield handle, temporary
    except BaseException:
        with contextlib.suppress(OSError):
            temporary.unlink()
        raise


def write_atomically(path: str | os.PathLike[str], write: Callable[[IO[Any]], None], *,
                     binary: bool = False) -> Path:
    """Write a file through ``write(handle)`` and rename it into place.

    Parameters
    ----------
    path : path-like
        The final name; its folder must exist.
    write : callable
        Writes the whole content to the open handle it is given.
    binary : bool
        Open the handle for bytes instead of UTF-8 text.

    Returns
    -------
    Path
        ``path``.

    Raises
    ------
    OutputError
        When the name is a folder, a pipe or a read-only file, or the folder
        cannot take a new file (read-only, full, missing); the previous file
        of that name is then unchanged and no temporary file is left behind.
    """
    target = Path(path)
    check_target(target)
    try:
        with _temporary_beside(target, binary) as (handle, temporary):
            write(handle)
            handle.flush()
            os.fsync(handle.fileno())
            os.replace(temporary, target)
    except OutputError:
        raise
    except OSError as error:
        raise OutputError(target, f"cannot be written: {error.strerror or error}") from None
    _sync_folder(target.parent)
    return target


def write_text_atomically(path: str | os.PathLike[str], text: str) -> Path:
    """Write ``text`` (UTF-8) to ``path`` by :func:`write_atomically`."""
    return write_atomically(path, lambda handle: handle.write(text))


def _sync_folder(folder: Path) -> None:
    # The rename itself reaches the disk only once the folder is synced; not
    # every file system allows that, and the file is complete either way.
    with contextlib.suppress(OSError):
        descriptor = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
