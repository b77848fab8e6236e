"""The systems the benchmarks compare, one adapter each, behind one interface.

An adapter is a small picklable value (its settings only); `open(directory)`
opens that system's store in a directory, in the calling process, so a
worker process handed an adapter and a directory can open its own. A store
measures the workloads: `get_rate` reads stored keys round and round,
`put_rate` writes new ones, both from a number of threads for a time, in
operations per second. The Python systems time their own `get` and `put`
with the harness's loops; the raw C++ limit runs bench/raw_io, which makes
the same system calls with nothing of a cache in the way.

To add a system: an adapter whose `open` returns a `Store` (a `HandleStore`
when it has Python get and put calls), and its durability in `DURABILITY`.
"""

from __future__ import annotations

import dataclasses
import os
from pathlib import Path
from typing import Callable, Iterable, Protocol, Sequence

import diskcache

from harness import load_native, run_tool, timed_reads, timed_writes, write_key

BUDGET = 1 << 40  # far above anything written: nothing is evicted


class Adapter(Protocol):
    """A system: its name, whether a put returns only once its data is
    synced, and how to open its store in a directory."""

    @property
    def name(self) -> str: ...

    @property
    def fsync(self) -> bool: ...

    def open(self, directory: Path) -> Store: ...


class Store:
    """One system's store, open in one directory."""

    def fill(self, items: Iterable[tuple[str, bytes]]) -> None:
        raise NotImplementedError

    def get_rate(self, keys: Sequence[str], threads: int, seconds: float) -> float:
        raise NotImplementedError

    def put_rate(self, prefix: str, payloads: Sequence[bytes], threads: int, seconds: float) -> float:
        raise NotImplementedError

    def close(self) -> None:
        pass


@dataclasses.dataclass
class HandleStore(Store):
    """A store with Python `get` and `put` calls, timed as a user would call
    them. `get` is the system's own bound method, not a wrapper, so the
    figure holds no call of ours."""

    directory: Path
    get: Callable[[str], bytes | None]
    put: Callable[[str, bytes], object]
    closer: Callable[[], object] = lambda: None

    def fill(self, items: Iterable[tuple[str, bytes]]) -> None:
        for key, payload in items:
            self.put(key, payload)

    def get_rate(self, keys: Sequence[str], threads: int, seconds: float) -> float:
        return timed_reads(self.get, keys, threads, seconds)

    def put_rate(self, prefix: str, payloads: Sequence[bytes], threads: int, seconds: float) -> float:
        return timed_writes(self.put, prefix, payloads, threads, seconds)

    def close(self) -> None:
        self.closer()


@dataclasses.dataclass(frozen=True)
class Qel:
    """`NativeBlobCache` from the module at `native` (qel._native if None);
    `durable=False` puts without fsync."""

    native: Path | None = None
    durable: bool = True

    @property
    def name(self) -> str:
        return "qel" if self.durable else "qel durable=False"

    @property
    def fsync(self) -> bool:
        return self.durable

    def open(self, directory: Path) -> HandleStore:
        native = load_native(self.native)
        options = {} if self.durable else {"durable": False}
        cache = native.NativeBlobCache(str(directory), BUDGET, 0, **options)

        def put(key: str, payload: bytes) -> None:
            if not cache.put(key, payload):
                raise SystemExit(f"qel refused {key}; the budget is meant to hold everything")

        return HandleStore(directory, cache.get, put, cache.close)

    @staticmethod
    def files(directory: Path) -> Path:
        """Where the cache in `directory` keeps its blob files."""
        return directory / "blobs"


@dataclasses.dataclass(frozen=True)
class Diskcache:
    name = "diskcache"
    fsync = False

    def open(self, directory: Path) -> HandleStore:
        cache = diskcache.Cache(str(directory), size_limit=BUDGET)
        return HandleStore(directory, cache.get, cache.set, cache.close)


@dataclasses.dataclass(frozen=True)
class PlainFiles:
    """One file per key; reads with open().read(), writes with os.replace,
    with or without an fsync before it."""

    fsync: bool

    @property
    def name(self) -> str:
        return "plain dir+fsync" if self.fsync else "plain dir"

    def open(self, directory: Path) -> HandleStore:
        root = str(directory)
        tmp_dir = os.path.join(root, ".tmp")
        os.makedirs(tmp_dir, exist_ok=True)
        fsync = self.fsync

        def get(key: str) -> bytes | None:
            try:
                with open(os.path.join(root, key), "rb") as f:
                    return f.read()
            except FileNotFoundError:
                return None

        def put(key: str, payload: bytes) -> None:
            tmp = os.path.join(tmp_dir, key)
            with open(tmp, "wb") as f:
                f.write(payload)
                if fsync:
                    f.flush()
                    os.fsync(f.fileno())
            os.replace(tmp, os.path.join(root, key))

        return HandleStore(directory, get, put)


@dataclasses.dataclass(frozen=True)
class FileReads:
    """open().read() of files named by their path under the directory
    opened: a plain read of another system's files, which it never writes."""

    name = "plain open().read()"
    fsync = False

    def open(self, directory: Path) -> HandleStore:
        root = str(directory)

        def get(path: str) -> bytes:
            with open(os.path.join(root, path), "rb") as f:
                return f.read()

        def put(path: str, payload: bytes) -> None:
            raise SystemExit(f"{self.name} only reads; asked to write {path}")

        return HandleStore(directory, get, put)


@dataclasses.dataclass(frozen=True)
class RawIO:
    """The machine's limit: bench/raw_io's loops. Reads are of every file
    under the directory opened; writes make files as long as qel's for the
    same ID and payload, into one directory or, `sharded`, into qel's two
    levels of 256 shard directories made on first use."""

    tool: Path
    header_len: int  # qel's, from the module measured beside it
    sharded: bool = False
    first_thread: int = 0  # names its writers from this one, so that processes writing into one directory differ
    fsync = True

    @property
    def name(self) -> str:
        return "raw C++ sharded" if self.sharded else "raw C++"

    def open(self, directory: Path) -> RawStore:
        return RawStore(self, directory)


@dataclasses.dataclass
class RawStore(Store):
    raw: RawIO
    directory: Path

    def get_rate(self, keys: Sequence[str], threads: int, seconds: float) -> float:
        return rate(run_tool(self.raw.tool, "read", self.directory, seconds, threads))

    def put_rate(self, prefix: str, payloads: Sequence[bytes], threads: int, seconds: float) -> float:
        file_len = self.raw.header_len + len(write_key(prefix, 0, 100_000)) + len(payloads[0])
        mode = "write-sharded" if self.raw.sharded else "write"
        return rate(run_tool(self.raw.tool, mode, self.directory, seconds, file_len, threads, self.raw.first_thread))

    def walk_seconds(self) -> float:
        """Seconds to list the tree and read every byte of every file once."""
        return run_tool(self.raw.tool, "walk", self.directory)["seconds"]


def rate(result: dict) -> float:
    return result["ops"] / result["seconds"]


def by_name(tools: Path, native: Path | None) -> dict[str, Adapter]:
    """Every system, with the tools and the module of a build."""
    header_len = load_native(native).HEADER_LEN
    adapters: list[Adapter] = [RawIO(tools / "raw_io", header_len), RawIO(tools / "raw_io", header_len, sharded=True),
                               Qel(native),
                               Qel(native, durable=False),
                               PlainFiles(fsync=True), PlainFiles(fsync=False), Diskcache()]
    return {a.name: a for a in adapters}


# What each system promises when a write returns.
DURABILITY = {
    "qel": "fsync of the file, then rename",
    "qel durable=False": "no fsync: rename of an unsynced file; a reopen drops what a crash tore",
    "raw C++": "fsync of the file, then rename",
    "raw C++ sharded": "fsync of the file, then rename",
    "plain dir+fsync": "fsync of the file, then os.replace",
    "plain dir": "no fsync: os.replace of an unsynced file",
    "diskcache": "no fsync per set: SQLite WAL with synchronous=NORMAL; values of 32 KiB and more go to unsynced files",
}
