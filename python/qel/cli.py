"""The operators' verbs of the `qel` command line: info, verify and clear.

`info` and `verify` only read the directory. On a directory no cache has
open, `verify` and `clear` hold the lock an open cache holds for as long as
they run, so that no cache opens it meanwhile; on one that caches have open,
`verify` checks the files beside them and `clear` empties it through them.
What is on disk, and how it is walked, locked and checked, is the
extension's to know.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import NoReturn

from tqdm import tqdm

from qel import DirectoryInUseError, __version__, _native


class Parser(argparse.ArgumentParser):
    """Reports bad use in one line and exits with status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


class Refused(Exception):
    """Bad use found after parsing: one line, exit status 2."""


class Failed(Exception):
    """The verb could not do its work: one line, exit status 1."""


def version_text() -> str:
    return f"qel {__version__}"


def add_commands(commands: argparse._SubParsersAction[Parser]) -> None:
    info = commands.add_parser(
        "info", help="count the blobs and bytes a cache directory holds", description=run_info.__doc__
    )
    verify = commands.add_parser(
        "verify", help="check every blob file as opening the cache would", description=run_verify.__doc__
    )
    clear = commands.add_parser("clear", help="remove every blob of a cache directory", description=run_clear.__doc__)
    for verb in (info, verify, clear):
        verb.add_argument("directory", type=Path, metavar="DIR", help="the cache directory")
    clear.add_argument("-y", "--yes", action="store_true", help="do not ask for confirmation")


def run(args: argparse.Namespace) -> int:
    verbs = {"info": run_info, "verify": run_verify, "clear": run_clear}
    try:
        return verbs[args.command](args)
    except Refused as refusal:
        print(f"qel {args.command}: error: {refusal}", file=sys.stderr)
        return 2
    except (Failed, OSError, RuntimeError) as failure:
        print(f"qel {args.command}: error: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"qel {args.command}: interrupted", file=sys.stderr)
        return 130


@dataclass
class BlobFile:
    path: Path
    size: int
    modified_ns: int


@dataclass
class Listing:
    """What an open of the directory would look at."""

    files: list[BlobFile]  # the blob files it verifies
    set_aside: list[Path]  # what it removes unread: links, FIFOs, directories where a blob file belongs

    @property
    def size(self) -> int:
        return sum(f.size for f in self.files)


def cache_root(directory: Path) -> Path:
    if not directory.is_dir():
        raise Refused(f"{directory}: no such directory")
    # A link at blobs/ would lead elsewhere, and no open accepts one.
    blobs = directory / "blobs"
    if not blobs.is_dir() or blobs.is_symlink():
        raise Refused(f"{directory}: not a qel cache directory (it has no blobs directory)")
    return directory


def list_files(root: Path) -> Listing:
    files, set_aside = _native.list_files(str(root))
    return Listing(
        files=[BlobFile(Path(path), size, modified_ns) for path, size, modified_ns in files],
        set_aside=[Path(path) for path in set_aside],
    )


@contextlib.contextmanager
def directory_lock(root: Path) -> Iterator[bool]:
    """Holds the lock a cache holds while open: True. False, without it, when
    caches have the directory open."""
    try:
        lock = _native.DirectoryLock(str(root))
    except DirectoryInUseError:
        yield False
        return
    with lock:
        yield True


def size_text(count: int) -> str:
    """A byte count for people: 646 B, 5.8 MiB."""
    value, unit = float(count), "B"
    for bigger in ("KiB", "MiB", "GiB", "TiB"):
        if value < 1024:
            break
        value, unit = value / 1024, bigger
    return f"{count} B" if unit == "B" else f"{value:.1f} {unit}"


def exact_size(count: int) -> str:
    return f"{count:,}" if count < 1024 else f"{count:,} ({size_text(count)})"


def time_text(ns: int) -> str:
    seconds = ns // 10**9
    try:
        return datetime.fromtimestamp(seconds, tz=timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")
    except (OverflowError, OSError, ValueError):  # beyond the calendar of years 1 to 9999
        return f"{seconds:,} s from 1970-01-01 00:00:00 UTC"


def run_info(args: argparse.Namespace) -> int:
    """Shows how many blobs and bytes a cache directory holds and when its
    oldest and newest blob were written, from the files' own metadata. Reads
    the directory without changing anything, also while a cache has it open.
    The files are not verified: that is `qel verify`."""
    root = cache_root(args.directory)
    files = list_files(root).files
    tmp = root / "tmp"
    temporary = 0
    if tmp.is_dir() and not tmp.is_symlink():
        with os.scandir(tmp) as listing:
            temporary = sum(1 for entry in listing if not entry.is_dir(follow_symlinks=False))
    rows = [
        ("directory", str(root.resolve())),
        ("blobs", f"{len(files):,}"),
        ("bytes", exact_size(sum(f.size for f in files))),
    ]
    if files:
        rows.append(("oldest", time_text(min(f.modified_ns for f in files))))
        rows.append(("newest", time_text(max(f.modified_ns for f in files))))
    live = _native.live_stats(str(root))
    if live is not None:
        blobs, held, budget = live[:3]
        rows.append(("open", f"by caches whose engine holds {blobs:,} blobs, {exact_size(held)} of {exact_size(budget)}"))
    elif temporary:
        rows.append(("interrupted", f"{temporary:,} temporary files, removed at the next open"))
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"{label:<{width}}  {value}")
    return 0


def run_verify(args: argparse.Namespace) -> int:
    """Checks every blob file as opening the cache would (header, blob ID,
    length, checksum of every byte, and the path the ID maps to) and lists the
    bad ones; exits with status 1 if there are any. Changes nothing. On a
    directory caches have open, a file they remove meanwhile is skipped: a
    blob file appears only whole, so none is ever caught half written."""
    root = cache_root(args.directory)
    with directory_lock(root) as alone:
        listing = list_files(root)
        bad = [f"not a blob file: {os.path.relpath(path, os.path.abspath(root))}, removed by the next open" for path in listing.set_aside]
        with tqdm(listing.files, unit="file", desc="verify", disable=not sys.stderr.isatty(), leave=False) as bar:
            for blob in bar:
                try:
                    _native.inspect_file(str(root), str(blob.path))
                except RuntimeError as failure:
                    if alone or os.path.lexists(blob.path):
                        bad.append(str(failure))
    for line in bad:
        print(f"bad: {line}")
    print(f"{len(listing.files):,} blob files ({size_text(listing.size)}) checked, {len(bad):,} bad")
    return 1 if bad else 0


def run_clear(args: argparse.Namespace) -> int:
    """Removes every blob and interrupted write of a cache directory, keeping
    the directory itself. Asks first unless --yes. On a directory caches have
    open, it is emptied through them, as their delete_all would."""
    root = cache_root(args.directory)
    with directory_lock(root) as alone:
        listing = list_files(root)
        if not args.yes and not confirmed(f"remove all {len(listing.files):,} blobs ({size_text(listing.size)}) from {root}? [y/N] "):
            print("nothing removed")
            return 1
        if alone:
            _native.purge(str(root))
        elif not _native.clear_live(str(root)):
            raise Failed(f"{root}: the caches that had it open closed it meanwhile; nothing removed, run again")
    print(f"removed {len(listing.files):,} blobs from {root}")
    return 0


def confirmed(prompt: str) -> bool:
    no_answer = Refused("no answer to confirm with; pass --yes to clear without asking")
    if sys.stdin is None or sys.stdin.closed:  # started with standard input closed
        raise no_answer
    try:
        answer = input(prompt)
    except EOFError:
        print()  # ends the prompt's line
        raise no_answer from None
    return answer.strip().lower() in ("y", "yes")
