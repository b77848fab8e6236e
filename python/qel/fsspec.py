"""`QelFileSystem`: qel as the local tier of any fsspec filesystem.

Registered with fsspec under the protocol "qel", so
``fsspec.open("qel::s3://bucket/key", qel={"directory": ..., "max_bytes": ...})``
reads the object through a `BlobCache` on local disk. Every read (`open` for
reading, `cat_file`, `cat_ranges`, `get_file`, and what fsspec builds on
them) is served from the cache; everything else, writes included, goes to
the target filesystem as it is.

A file up to a block is one blob, a larger one a blob per block. A blob ID
names the protocol, the path and the version (ETag, else size and
modification time, as the target's `info` reports them), and the block, so
a changed object gets new IDs and is fetched again. `info` is asked at most
once per `check_interval` seconds per path; writes and removals through
this filesystem and `invalidate_cache` forget it at once.

Blocks and small files lately read from the cache (which checks each
against its checksum) or fetched and stored in it are kept in memory too,
up to `memory_bytes` for the directory in this process, so that a file
opened again, or a footer read twice, costs no disk read.

Thread safety: every filesystem over one cache directory in a process shares
one `BlobCache`, its payloads in memory and one table of fetches in flight,
so threads (which fsspec gives instances of their own) reading the same
missing blob fetch it once. Processes over one directory fetch it once too:
the first takes the blob's fetch lock (a file locked in the directory's
`tmp/`), the others wait for it and then read the blob from the cache; when
its fetch fails, they fetch for themselves.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import functools
import json
import logging
import math
import mmap
import os
import threading
import time
import weakref
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from fsspec import AbstractFileSystem, filesystem  # type: ignore[import-untyped]
# fsspec's base of read files, as its async module names it.
from fsspec.asyn import AbstractBufferedFile  # type: ignore[import-untyped]
from fsspec.callbacks import DEFAULT_CALLBACK  # type: ignore[import-untyped]
from fsspec.implementations.asyn_wrapper import AsyncFileSystemWrapper  # type: ignore[import-untyped]
from fsspec.implementations.chained import ChainedFileSystem  # type: ignore[import-untyped]
from fsspec.utils import isfilelike  # type: ignore[import-untyped]

from qel._fetch_lock import FetchLock
from qel._native import HEADER_LEN, BlobMismatchError, CacheClosedError
from qel.cache import BlobCache, CacheStats

log = logging.getLogger(__name__)

# Keys of `info` that identify one version of an object, and failing those,
# the keys under which targets report when it was last written.
TAG_KEYS = ("ETag", "etag", "VersionId")
MODIFIED_KEYS = ("mtime", "LastModified", "last_modified", "updated", "modified", "created")
# Paths whose `info` is remembered per cache directory; past it, the
# expired go first, then the oldest.
REMEMBERED_PATHS = 16384
# Files larger than this are cached by blocks of this size; see the README
# for the measurement behind it.
DEFAULT_BLOCK_SIZE = 4 << 20
# Bytes of payloads kept in memory per cache directory and process: the
# blocks a column of a large columnar file touches, and then some.
DEFAULT_MEMORY_BYTES = 128 << 20
# What a payload kept in memory costs beside its bytes and its ID: the
# entries that find it. Counted, so that many small files stay bounded too.
MEMORY_ENTRY_BYTES = 256
# Payloads kept in memory from this size up live in mappings of their own.
# On the allocator's heap such long-lived buffers pin its top, and the
# reader's own large allocations (a parser's, a decoder's) would grow the
# heap afresh, page by page, on every pass.
MAPPED_PAYLOAD_BYTES = 1 << 20
# Blocks fetched beyond a read that goes on where the last one ended.
READ_AHEAD_BLOCKS = 1
# Blocks fetched by one request when a whole large file is copied out.
COPY_BLOCKS = 16
# Keywords of a read that change what the target returns: such reads go to
# the target as they are, uncached. Any other keyword is the reader's
# business (block_size, cache_type, ...) and means nothing to the tier.
UNCACHED_KEYWORDS = frozenset({"version_id", "generation", "s3_additional_kwargs", "headers"})


# A blob's payload: bytes, or a read-only view of a mapping kept in memory.
Payload = bytes | memoryview


@dataclass(frozen=True, slots=True)
class TierStats(CacheStats):
    """The cache's statistics, and what the tier did beside it."""

    cache_failures: int  # cache calls that failed (a full or broken volume), their reads served from the target
    memory_hits: int  # reads of a blob served from memory, counted in neither hits nor misses
    memory_bytes: int  # held in memory: the payloads, their IDs and entries

    @property
    def hit_ratio(self) -> float:
        """Reads of a blob served from the cache or memory over all; 0.0 before the first."""
        reads = self.hits + self.memory_hits + self.misses
        return (self.hits + self.memory_hits) / reads if reads else 0.0


@dataclass
class _Fetch:
    """One read of a missing file from the target, awaited by other readers."""

    done: threading.Event = field(default_factory=threading.Event)
    payload: Payload | None = None  # None when the fetch failed


@dataclass(frozen=True)
class _Remote:
    """What a target's `info` said about one path, and when it was asked."""

    info: dict[str, Any]  # empty when the target said there is no such path
    # (protocol, path, version) of a file whose target reports a version, else None.
    key: tuple[str, str, str] | None
    checked: float  # time.monotonic() of the look-up

    @property
    def size(self) -> int:
        size = self.info.get("size")
        return size if isinstance(size, int) else -1


@dataclass(frozen=True)
class _Layout:
    """How one version of a file is cut into blobs: whole up to one block,
    else by blocks, each blob's ID naming the version and the block."""

    key: tuple[str, str, str]
    size: int
    unit: int  # the block size: what each blob holds, the last one excepted
    count: int

    @staticmethod
    def of(key: tuple[str, str, str], size: int, block_size: int) -> _Layout:
        return _Layout(key, size, block_size, max(1, -(-size // block_size)))

    @functools.cached_property
    def _block_prefix(self) -> str:
        # The encoding of [*key, "block ..."] up to the index: a file read in
        # small pieces names its blocks on every read.
        return "fsspec:" + json.dumps([*self.key, "block "])[:-2]

    def blob_id(self, index: int) -> str:
        if self.count == 1:
            return "fsspec:" + json.dumps(self.key)
        return f'{self._block_prefix}{index} of {self.unit}"]'

    def length(self, index: int) -> int:
        return min(self.unit, self.size - index * self.unit)

    def fits(self, max_bytes: int) -> bool:
        """Whether the largest blob's file fits within the budget."""
        return HEADER_LEN + len(self.blob_id(self.count - 1).encode()) + self.length(0) <= max_bytes


class _Recent:
    """Payloads lately read from the cache, which checked them, or fetched
    and stored in it, by blob ID; the least recently used go once they
    (with their IDs and entries) add up to more than `max_bytes`. Safe to
    use from any thread."""

    def __init__(self, max_bytes: int) -> None:
        self.max_bytes = max_bytes
        self.lock = threading.Lock()
        # (protocol, path) and payload by blob ID, least recently used first; GUARDED_BY(lock)
        self.payloads: OrderedDict[str, tuple[tuple[str, str], Payload]] = OrderedDict()
        self.by_path: dict[tuple[str, str], set[str]] = {}  # the blob IDs of each path's payloads; GUARDED_BY(lock)
        self.bytes = 0  # of the payloads, their IDs and entries; GUARDED_BY(lock)
        self.hits = 0  # GUARDED_BY(lock)

    def get(self, blob_id: str) -> Payload | None:
        with self.lock:
            entry = self.payloads.get(blob_id)
            if entry is None:
                return None
            self.payloads.move_to_end(blob_id)
            self.hits += 1
            return entry[1]

    def __contains__(self, blob_id: str) -> bool:
        with self.lock:
            return blob_id in self.payloads

    def add(self, owner: tuple[str, str], blob_id: str, payload: Payload) -> None:
        if _cost(blob_id, payload) > self.max_bytes:
            return
        kept = _kept(payload)  # copied before the lock: reads from memory need not wait for it
        with self.lock:
            if blob_id in self.payloads:
                self.payloads.move_to_end(blob_id)
                return
            self.payloads[blob_id] = (owner, kept)
            self.by_path.setdefault(owner, set()).add(blob_id)
            self.bytes += _cost(blob_id, payload)
            while self.bytes > self.max_bytes:
                self._remove(next(iter(self.payloads)))
            assert 0 <= self.bytes <= self.max_bytes, self.bytes

    def discard(self, blob_id: str) -> None:
        with self.lock:
            if blob_id in self.payloads:
                self._remove(blob_id)

    def forget(self, protocol: str | None = None, path: str | None = None) -> None:
        """Drops the payloads of `path` and what lies under it, or all of them."""
        with self.lock:
            if path is None:
                self.payloads.clear()
                self.by_path.clear()
                self.bytes = 0
                return
            prefix = path.rstrip("/") + "/"
            for owner in [(p, q) for p, q in self.by_path if p == protocol and (q == path or q.startswith(prefix))]:
                for blob_id in list(self.by_path[owner]):
                    self._remove(blob_id)

    def _remove(self, blob_id: str) -> None:  # REQUIRES(lock)
        owner, payload = self.payloads.pop(blob_id)
        self.bytes -= _cost(blob_id, payload)
        ids = self.by_path[owner]
        ids.discard(blob_id)
        if not ids:
            del self.by_path[owner]


def _kept(payload: Payload) -> Payload:
    """`payload` as memory keeps it: a large one copied into a mapping."""
    if len(payload) < MAPPED_PAYLOAD_BYTES:
        return payload
    try:
        mapping = mmap.mmap(-1, len(payload), flags=mmap.MAP_PRIVATE)
    except OSError:  # out of mappings (vm.max_map_count) or memory: the heap it is
        return payload
    mapping[:] = payload
    return memoryview(mapping).toreadonly()  # readers get views of it: none may write


def _cost(blob_id: str, payload: Payload) -> int:
    return len(payload) + len(blob_id) + MEMORY_ENTRY_BYTES


class _Tier:
    """The state of one cache directory, shared by every filesystem over it
    in this process; safe to use from any thread."""

    def __init__(self, key: str, cache: BlobCache, max_bytes: int, frequency_counters: int, durable: bool,
                 memory_bytes: int) -> None:
        self.key = key
        self.cache = cache
        self.max_bytes = max_bytes
        self.frequency_counters = frequency_counters
        self.durable = durable
        self.recent = _Recent(memory_bytes)
        self.users = 1  # GUARDED_BY(_tiers_lock)
        # Never held together with _tiers_lock, nor across a call to the
        # cache or the target.
        self.lock = threading.Lock()
        self.fetches: dict[str, _Fetch] = {}  # by blob ID; GUARDED_BY(lock)
        self.remotes: dict[tuple[str, str], _Remote] = {}  # by (protocol, path); GUARDED_BY(lock)
        self.cache_failures = 0  # GUARDED_BY(lock)

    def read(self, owner: tuple[str, str], blobs: list[tuple[str, int]], fetch: Callable[[int, int], bytes],
             held: dict[str, Payload] | None = None) -> list[Payload]:
        """The payloads of `blobs`, (ID, length) of adjacent stretches of the
        file `owner` (protocol, path) in order: each from `held` or the
        cache, else fetched, and kept when it has its length. `fetch(i, j)`
        returns the bytes of blobs[i:j] in one piece, so neighbours missing
        together are fetched together. Concurrent readers of one missing
        blob wait for a single fetch."""
        held = held or {}
        found = [held.get(blob_id) or self.get(owner, blob_id) for blob_id, _ in blobs]
        while True:
            missing = [i for i, payload in enumerate(found) if payload is None]
            if not missing:
                return [payload for payload in found if payload is not None]
            leading: list[tuple[int, _Fetch]] = []
            waiting: list[tuple[int, _Fetch]] = []
            with self.lock:
                for i in missing:
                    flight = self.fetches.get(blobs[i][0])
                    if flight is None:
                        leading.append((i, self.fetches.setdefault(blobs[i][0], _Fetch())))
                    else:
                        waiting.append((i, flight))
            try:
                self.lead(owner, blobs, fetch, leading, found)
            finally:
                with self.lock:
                    for i, _ in leading:
                        del self.fetches[blobs[i][0]]
                for _, flight in leading:
                    flight.done.set()
            for i, flight in waiting:
                flight.done.wait()
                found[i] = flight.payload  # None when that fetch failed: this reader tries on its own account

    def lead(self, owner: tuple[str, str], blobs: list[tuple[str, int]], fetch: Callable[[int, int], bytes],
             leading: list[tuple[int, _Fetch]], found: list[Payload | None]) -> None:
        """Fetches the blobs this reader leads, neighbours in one request,
        each under its lock across processes. The locks are taken in the
        file's order, as every reader takes them, so none waits in a circle."""
        with contextlib.ExitStack() as locks:
            runs: list[list[tuple[int, _Fetch]]] = []
            for i, flight in leading:
                with contextlib.ExitStack() as lock:
                    self.lock_fetch(blobs[i][0], lock)
                    # Another leader, here or in another process, may have stored it since this reader's miss.
                    if self.holds(blobs[i][0]) and (payload := self.get(owner, blobs[i][0])) is not None:
                        found[i] = flight.payload = payload
                        continue
                    locks.enter_context(lock.pop_all())  # held until the fetch is over
                if runs and runs[-1][-1][0] == i - 1:
                    runs[-1].append((i, flight))
                else:
                    runs.append([(i, flight)])
            self.fetch_runs(owner, blobs, fetch, runs, found)

    def lock_fetch(self, blob_id: str, held: contextlib.ExitStack) -> None:
        """Waits until no other process fetches the blob, then keeps the
        others out until `held` closes; when `tmp/` cannot hold the lock,
        the fetch goes on without it."""
        lock = FetchLock(self.key, blob_id)
        try:
            lock.acquire()
        except OSError as error:
            log.warning("qel cache at %s could not lock the fetch of %s; fetching without: %s", self.key, blob_id, error)
            return
        held.callback(lock.release)

    def fetch_runs(self, owner: tuple[str, str], blobs: list[tuple[str, int]], fetch: Callable[[int, int], bytes],
                   runs: list[list[tuple[int, _Fetch]]], found: list[Payload | None]) -> None:
        for run in runs:
            first, last = run[0][0], run[-1][0] + 1
            data = fetch(first, last)
            intact = len(data) == sum(length for _, length in blobs[first:last])
            offset = 0
            for i, flight in run:
                blob_id, length = blobs[i]
                payload = data[offset:offset + length] if len(run) > 1 else data
                offset += length
                found[i] = flight.payload = payload
                if intact:
                    self.keep(owner, blob_id, payload)

    # The cache's calls, where a failure of the volume under it (full,
    # unwritable, unreadable) costs the cache's help, never the read. Only
    # open filesystems call them, so the cache is not closed. What the cache
    # returns or holds after a put is kept in memory too.
    def get(self, owner: tuple[str, str], blob_id: str) -> Payload | None:
        payload = self.recent.get(blob_id)
        if payload is not None:
            return payload
        try:
            payload = self.cache.get(blob_id)
        except RuntimeError as error:
            self.failed("read", blob_id, error)
            return None
        if payload is not None:
            self.recent.add(owner, blob_id, payload)
        return payload

    def holds(self, blob_id: str) -> bool:
        if blob_id in self.recent:
            return True
        try:
            return blob_id in self.cache
        except RuntimeError as error:
            self.failed("look up", blob_id, error)
            return False

    def keep(self, owner: tuple[str, str], blob_id: str, payload: bytes) -> None:
        """Offers a fetched payload to the cache."""
        try:
            if self.cache.put(blob_id, payload):
                self.recent.add(owner, blob_id, payload)
        except BlobMismatchError:
            # Other bytes under the same version (a remote rewritten within its
            # clock's tick, say): neither copy can be trusted to be current.
            self.drop(blob_id)
        except RuntimeError as error:
            self.failed("store", blob_id, error)

    def drop(self, blob_id: str) -> None:
        self.recent.discard(blob_id)
        try:
            self.cache.delete(blob_id)
        except RuntimeError as error:
            self.failed("remove", blob_id, error)

    def failed(self, step: str, blob_id: str, error: RuntimeError) -> None:
        with self.lock:
            self.cache_failures += 1
        log.warning("qel cache at %s could not %s %s; the read goes on without it: %s",
                    self.key, step, blob_id, error)

    def remembered(self, protocol: str, path: str, check_interval: float) -> _Remote | None:
        with self.lock:
            remote = self.remotes.get((protocol, path))
        if remote is None or time.monotonic() - remote.checked >= check_interval:
            return None
        return remote

    def remember(self, protocol: str, path: str, remote: _Remote, check_interval: float) -> None:
        with self.lock:
            if len(self.remotes) >= REMEMBERED_PATHS:
                now = time.monotonic()
                self.remotes = {k: r for k, r in self.remotes.items() if now - r.checked < check_interval}
                while len(self.remotes) >= REMEMBERED_PATHS:
                    del self.remotes[next(iter(self.remotes))]
            known = self.remotes.pop((protocol, path), None)  # to the end of the order
            self.remotes[(protocol, path)] = remote
        if known is not None and known.key != remote.key:
            self.recent.forget(protocol, path)  # an old version's payloads would only take room

    def forget(self, protocol: str | None = None, path: str | None = None) -> None:
        """Forgets the versions of `path` and what lies under it, or all of them."""
        with self.lock:
            if path is None:
                self.remotes.clear()
            else:
                prefix = path.rstrip("/") + "/"
                self.remotes = {
                    (p, q): r
                    for (p, q), r in self.remotes.items()
                    if p != protocol or (q != path and not q.startswith(prefix))
                }


_tiers: dict[str, _Tier] = {}  # by real directory path; GUARDED_BY(_tiers_lock)
# Reentrant: garbage collection may run a filesystem's finalizer, which
# releases its tier, on a thread that holds the lock.
_tiers_lock = threading.RLock()


def _acquire(directory: str | os.PathLike[str], max_bytes: int, frequency_counters: int, durable: bool,
             memory_bytes: int) -> _Tier:
    key = os.path.realpath(os.fspath(directory))
    with _tiers_lock:
        tier = _tiers.get(key)
        if tier is None:
            cache = BlobCache(key, max_bytes, frequency_counters=frequency_counters, durable=durable)
            tier = _tiers[key] = _Tier(key, cache, max_bytes, frequency_counters, durable, memory_bytes)
            return tier
        tier.users += 1  # before anything allocates, so a finalizer cannot close it meanwhile
        held = (tier.max_bytes, tier.frequency_counters, tier.durable, tier.recent.max_bytes)
        if held != (max_bytes, frequency_counters, durable, memory_bytes):
            _release(tier)
            raise ValueError(
                f"qel cache directory {key} is already open in this process with max_bytes={tier.max_bytes}, "
                f"frequency_counters={tier.frequency_counters}, durable={tier.durable} "
                f"and memory_bytes={tier.recent.max_bytes}"
            )
        return tier


def _release(tier: _Tier) -> None:
    with _tiers_lock:
        tier.users -= 1
        if not tier.users and _tiers.get(tier.key) is tier:  # not a tier inherited through fork
            # Closed under the lock: a filesystem opening the directory again
            # waits until this cache has let go of it.
            del _tiers[tier.key]
            tier.cache.close()


def _forget_tiers_after_fork() -> None:
    # The parent's caches are closed in a forked child, and its locks may have
    # been held by threads the child does not have: start afresh.
    global _tiers, _tiers_lock
    _tiers = {}
    _tiers_lock = threading.RLock()


os.register_at_fork(after_in_child=_forget_tiers_after_fork)


def _version(info: dict[str, Any]) -> str | None:
    """The object's version as `info` reports it, or None if it reports none."""
    tags = [f"{key}={info[key]}" for key in TAG_KEYS if info.get(key)]
    if tags:
        return " ".join(tags)
    modified = next((key for key in MODIFIED_KEYS if info.get(key) is not None), None)
    return None if modified is None else f"{modified}={info[modified]}"


def _key(protocol: str, path: str, info: dict[str, Any]) -> tuple[str, str, str] | None:
    """What names the version of the file `info` describes, None if nothing does."""
    version = _version(info)
    if version is None or info.get("type") != "file" or not isinstance(info.get("size"), int):
        return None
    return (protocol, path, f"size={info['size']} {version}")


def _uncached(kwargs: dict[str, Any]) -> bool:
    """Whether a read's keywords change what the target returns."""
    return any(kwargs.get(name) is not None for name in UNCACHED_KEYWORDS)


def _reads(mode: str) -> bool:
    return set(mode) <= set("rbt") and "r" in mode


def _mutating(name: str, written: tuple[int, str] | None = None) -> Callable[..., Any]:
    """The target's method `name`, after which the versions looked up are
    forgotten, so reads through this filesystem see its own writes. When its
    argument `written` (position, name) is one path, what the cache holds of
    that file is dropped too: a rewrite may leave its version as it was."""

    def method(self: QelFileSystem, *args: Any, **kwargs: Any) -> Any:
        try:
            return getattr(self.target, name)(*args, **kwargs)
        finally:
            self._tier.forget()
            if written is not None:
                position, keyword = written
                path = args[position] if len(args) > position else kwargs.get(keyword)
                if isinstance(path, str):
                    self._drop(path)

    method.__name__ = method.__qualname__ = name
    return method


class _Written:
    """A target's file open for writing: closing it drops what the cache
    holds of the file, as the written bytes may keep the old version."""

    def __init__(self, file: Any, closed: Callable[[], None]) -> None:
        self._file = file
        self._closed = closed

    def __getattr__(self, name: str) -> Any:
        return getattr(self._file, name)

    def __iter__(self) -> Any:
        return iter(self._file)

    def close(self) -> None:
        try:
            self._file.close()
        finally:
            self._closed()

    def __enter__(self) -> _Written:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class QelFileSystem(ChainedFileSystem):  # type: ignore[misc]
    """A target filesystem with a qel `BlobCache` in front of its reads.

    The target is `fs` (an instance) or `target_protocol` with
    `target_options`. The cache is opened over `directory` with `max_bytes`,
    `frequency_counters` and `durable` as `BlobCache` takes them; filesystems
    over the same directory in one process share it and must agree on all,
    and other processes over it on `max_bytes` and `frequency_counters`.
    `close()` (or garbage collection) lets go of it. Files larger than
    `block_size` bytes are cached by blocks of that size. Up to
    `memory_bytes` of the payloads lately read are kept in memory as well
    (per directory and process; 0 keeps none). A file whose blobs
    would exceed the budget, or whose target reports no version, is read from
    the target every time; a blob admission refuses is still served.
    """

    protocol = "qel"
    # Synchronous, whatever the target is: fsspec would otherwise bind this
    # filesystem's read methods to the target's coroutines.
    async_impl = False
    mirror_sync_methods = False
    # One instance for every path of a chained URL ("qel::s3://b/k" hands the
    # path over as `fo`), not one per path kept by fsspec for good.
    _strip_tokenize_options = ("fo",)

    def __init__(
        self,
        *,
        directory: str | os.PathLike[str],
        max_bytes: int,
        frequency_counters: int = 0,
        durable: bool = True,
        check_interval: float = 60.0,
        block_size: int = DEFAULT_BLOCK_SIZE,
        memory_bytes: int = DEFAULT_MEMORY_BYTES,
        target_protocol: str | None = None,
        target_options: dict[str, Any] | None = None,
        fs: AbstractFileSystem | None = None,
        **kwargs: Any,
    ) -> None:
        kwargs.pop("fo", None)  # paths come with each call
        super().__init__(**kwargs)
        if (fs is None) == (target_protocol is None):
            raise ValueError("qel filesystem: give exactly one of fs and target_protocol")
        if not 0 <= check_interval < math.inf:  # nan too
            raise ValueError("qel filesystem: check_interval must be a finite number of seconds, not negative")
        if isinstance(block_size, bool) or not isinstance(block_size, int) or block_size <= 0:
            raise ValueError(f"qel filesystem: block_size must be a positive number of bytes, not {block_size!r}")
        if isinstance(memory_bytes, bool) or not isinstance(memory_bytes, int) or memory_bytes < 0:
            raise ValueError(f"qel filesystem: memory_bytes must be a number of bytes, not {memory_bytes!r}")
        self.target: AbstractFileSystem = fs if fs is not None else filesystem(target_protocol, **(target_options or {}))
        protocol = self.target.protocol
        self.target_protocol: str = protocol if isinstance(protocol, str) else protocol[0]
        self.check_interval = check_interval
        self.block_size = block_size
        self._closed = False
        self._opened = (directory, max_bytes, frequency_counters, durable, memory_bytes)
        self._hold()
        own_strip, target_strip = type(self)._strip_protocol, self.target._strip_protocol
        # An instance attribute, as fsspec's own layered filesystems have: paths
        # may carry this protocol or the target's.
        self.__dict__["_strip_protocol"] = lambda path: target_strip(own_strip(path))

    def __getattribute__(self, name: str) -> Any:
        # Whatever this class does not define is the target's, so the target's
        # own listing, writing and bulk operations run unchanged.
        if name.startswith("__") or name in _OWN:
            return object.__getattribute__(self, name)
        attributes = object.__getattribute__(self, "__dict__")
        if name in attributes:
            return attributes[name]
        target = attributes.get("target")
        if target is None:  # still being built
            return object.__getattribute__(self, name)
        return getattr(target, name)

    @property
    def _tier(self) -> _Tier:
        if self._pid != os.getpid():
            # Inherited through fork: the parent's cache is closed here, and
            # the child opens the directory for itself.
            self._release.detach()
            self._hold()
        return self._held

    def _hold(self) -> None:
        self._held = _acquire(*self._opened)
        self._pid = os.getpid()  # once held: a child that fails to open tries again on its next call
        self._release = weakref.finalize(self, _release, self._held)

    def stats(self) -> TierStats:
        """The cache's statistics, shared by every filesystem over its directory."""
        tier = self._tier
        self._blob_cache()
        with tier.recent.lock:
            memory_hits, memory_bytes = tier.recent.hits, tier.recent.bytes
        return TierStats(**dataclasses.asdict(tier.cache.stats()), cache_failures=tier.cache_failures,
                         memory_hits=memory_hits, memory_bytes=memory_bytes)

    def close(self) -> None:
        """Lets go of the cache (closed with its last filesystem); idempotent."""
        self._closed = True
        if self._pid == os.getpid():
            self._release()
        cached = type(self)._cache
        if cached.get(getattr(self, "_fs_token_", None)) is self:
            del cached[self._fs_token_]

    def open(self, path: str, mode: str = "rb", **kwargs: Any) -> Any:
        if not _reads(mode):
            file = self.target.open(path, mode, **kwargs)
            self._tier.forget(self.target_protocol, self._strip_protocol(path))
            return _Written(file, lambda: self._drop(path))
        return super().open(path, "rb" if "b" in mode else "r", **kwargs)

    def _open(self, path: str, mode: str = "rb", **kwargs: Any) -> Any:
        assert mode == "rb", mode
        cached = self._cached(path, kwargs)
        if cached is None:
            return self.target.open(path, "rb", **kwargs)
        return QelFile(self, self._strip_protocol(path), *cached)

    def cat_file(self, path: str, start: int | None = None, end: int | None = None, **kwargs: Any) -> bytes:
        cached = self._cached(path, kwargs)
        if cached is None:
            return bytes(self.target.cat_file(path, start=start, end=end, **kwargs))
        layout = cached[1]
        first, last, _ = slice(start, end).indices(layout.size)
        return _joined(self._views(self._strip_protocol(path), layout, first, last))

    def info(self, path: str, **kwargs: Any) -> dict[str, Any]:
        """The target's `info`, remembered for `check_interval` seconds."""
        if kwargs:
            return dict(self.target.info(path, **kwargs))
        return dict(self._remote(path).info)

    def get_file(self, rpath: str, lpath: Any, callback: Any = DEFAULT_CALLBACK, outfile: Any = None,
                 **kwargs: Any) -> None:
        """Copies a file to `lpath` (a path or a file object), through the cache."""
        if outfile is None and isfilelike(lpath):
            outfile = lpath
        if outfile is None and not _uncached(kwargs) and self._remote(rpath).info.get("type") == "directory":
            os.makedirs(lpath, exist_ok=True)
            return
        cached = self._cached(rpath, kwargs)
        if cached is None:
            self.target.get_file(rpath, lpath, callback=callback, outfile=outfile, **kwargs)
            return
        layout = cached[1]
        if outfile is None:
            os.makedirs(os.path.dirname(os.path.abspath(lpath)), exist_ok=True)
        with contextlib.nullcontext(outfile) if outfile is not None else open(lpath, "wb") as out:
            callback.set_size(layout.size)
            path = self._strip_protocol(rpath)
            for first in range(0, layout.count, COPY_BLOCKS):
                for payload in self._blocks(path, layout, first, min(layout.count, first + COPY_BLOCKS)):
                    out.write(payload)
                    callback.relative_update(len(payload))

    def to_async(self) -> AsyncFileSystemWrapper:
        """This filesystem for async users, zarr's `FsspecStore` for one: its
        calls run this filesystem's methods in worker threads."""
        return AsyncFileSystemWrapper(self, asynchronous=True)

    def invalidate_cache(self, path: str | None = None) -> None:
        """Forgets the versions looked up for `path` (all when None) and the
        payloads held in memory there, and clears the target's listing cache
        there."""
        stripped = None if path is None else self._strip_protocol(path)
        self._tier.forget(self.target_protocol, stripped)
        self._tier.recent.forget(self.target_protocol, stripped)
        self.target.invalidate_cache(path)

    # Every writer fsspec's filesystems share, under each of its names.
    pipe_file = _mutating("pipe_file", (0, "path"))
    pipe = _mutating("pipe", (0, "path"))
    put_file = _mutating("put_file", (1, "rpath"))
    put = _mutating("put", (1, "rpath"))
    upload = _mutating("upload", (1, "rpath"))
    rm_file = _mutating("rm_file")
    rm = _mutating("rm")
    delete = _mutating("delete")
    rmdir = _mutating("rmdir")
    cp_file = _mutating("cp_file", (1, "path2"))
    copy = _mutating("copy", (1, "path2"))
    cp = _mutating("cp", (1, "path2"))
    mv = _mutating("mv", (1, "path2"))
    move = _mutating("move", (1, "path2"))
    rename = _mutating("rename", (1, "path2"))
    touch = _mutating("touch", (0, "path"))
    write_bytes = _mutating("write_bytes", (0, "path"))
    write_text = _mutating("write_text", (0, "path"))

    def _drop(self, path: str) -> None:
        """Forgets the file at `path` and drops its blobs."""
        path = self._strip_protocol(path)
        self._tier.forget(self.target_protocol, path)
        self._tier.recent.forget(self.target_protocol, path)
        try:
            remote = self._remote(path)
        except FileNotFoundError:
            return
        self._tier.forget(self.target_protocol, path)
        layout = self._layout(remote)
        if layout is not None:
            for index in range(layout.count):
                self._tier.drop(layout.blob_id(index))

    def _blob_cache(self) -> BlobCache:
        if self._closed:
            raise CacheClosedError("blob cache is closed")
        return self._tier.cache

    def _remote(self, path: str) -> _Remote:
        """What the target's `info` says of `path`, asked at most once per check_interval."""
        path = self._strip_protocol(path)
        tier = self._tier
        remote = tier.remembered(self.target_protocol, path, self.check_interval)
        if remote is None:
            try:
                info = dict(self.target.info(path))
            except FileNotFoundError:
                # Remembered too: readers probe for files that are not there
                # (a dataset's optional metadata), and would ask every time.
                remote = _Remote({}, None, time.monotonic())
            else:
                remote = _Remote(info, _key(self.target_protocol, path, info), time.monotonic())
            tier.remember(self.target_protocol, path, remote, self.check_interval)
        if not remote.info:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
        return remote

    def _file(self, path: str) -> _Remote:
        remote = self._remote(path)
        if remote.info.get("type") == "directory":
            raise IsADirectoryError(path)
        return remote

    def _cached(self, path: str, kwargs: dict[str, Any]) -> tuple[_Remote, _Layout] | None:
        """What is known of the file a read is for, and how it is cached;
        None when it is read from the target as it is."""
        if _uncached(kwargs):
            return None
        remote = self._file(path)
        layout = self._layout(remote)
        return None if layout is None else (remote, layout)

    def _layout(self, remote: _Remote) -> _Layout | None:
        """How the file is cached, or None when it is read from the target
        as it is (no version to key it by, or a blob would exceed the budget)."""
        tier = self._tier
        self._blob_cache()  # refuses a closed filesystem
        if remote.key is None:
            return None
        layout = _Layout.of(remote.key, remote.size, self.block_size)
        return layout if layout.fits(tier.max_bytes) else None

    def _blocks(self, path: str, layout: _Layout, first: int, last: int,
                held: dict[str, Payload] | None = None) -> list[Payload]:
        """The payloads of blocks first to last (excluded) of the file at `path`."""
        def fetch(i: int, j: int) -> bytes:
            if not layout.size:
                return bytes(self.target.cat_file(path))
            # A range even for a whole file: s3fs asks for the size first without one.
            start = (first + i) * layout.unit
            return bytes(self.target.cat_file(path, start=start, end=min(layout.size, (first + j) * layout.unit)))

        blobs = [(layout.blob_id(i), layout.length(i)) for i in range(first, last)]
        payloads = self._tier.read((self.target_protocol, path), blobs, fetch, held)
        if [len(p) for p in payloads] != [length for _, length in blobs]:
            # Changed since its version was looked up: served, not kept, asked again next time.
            self._tier.forget(self.target_protocol, path)
        return payloads

    def _views(self, path: str, layout: _Layout, start: int, end: int, ahead: int = 0,
               held: dict[str, Payload] | None = None) -> list[memoryview]:
        """Bytes start to end of the file at `path`, a view into each block
        they lie in, and `ahead` blocks more fetched into the cache; `held`
        (ID to payload) is searched before the cache, and left holding the
        blocks this read touched."""
        end = min(end, layout.size)
        if end <= start:
            return []
        first, last = start // layout.unit, (end - 1) // layout.unit + 1
        # Ahead only when the read must fetch anyway: a block fetched ahead
        # then spares the next read a request.
        end_id = layout.blob_id(last - 1)
        if ahead and (held is None or end_id not in held) and not self._tier.holds(end_id):
            last_fetched = min(layout.count, last + ahead)
        else:
            last_fetched = last
        payloads = self._blocks(path, layout, first, last_fetched, held)[:last - first]
        if held is not None:
            held.clear()
            held.update((layout.blob_id(first + i), payload) for i, payload in enumerate(payloads))
        return _cut(payloads, first * layout.unit, (last - 1) * layout.unit, start, end)


class QelFile(AbstractBufferedFile):  # type: ignore[misc]
    """A file opened for reading through the tier: its blocks come from the
    cache as reads reach them, fetched on a miss, with a block of read-ahead
    once reads have gone on, each where the last ended, for more than a
    block. Not safe to share among threads, as no file object is."""

    def __init__(self, fs: QelFileSystem, path: str, remote: _Remote, layout: _Layout) -> None:
        super().__init__(fs, path, mode="rb", block_size=layout.unit, cache_type="none", size=layout.size)
        self.details = dict(remote.info)
        self._layout = layout
        self._held: dict[str, Payload] = {}  # the blocks of the last read, by blob ID
        self._ended = -1  # where the last read ended
        self._streak = 0  # bytes read in a row, each read where the last ended

    def _fetch_range(self, start: int, end: int) -> bytes:
        return _joined(self._views(start, end))

    def read_buffer(self, length: int = -1) -> memoryview | bytes:
        """What `read` returns, as a view of the block where the bytes lie
        in one: pyarrow reads through this when a file has it, and then
        nothing is copied."""
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        views = self._views(self.loc, self.size if length is None or length < 0 else self.loc + length)
        out = views[0] if len(views) == 1 else b"".join(views)
        self.loc += len(out)
        return out

    def _views(self, start: int, end: int) -> list[memoryview]:
        # A reader that has read a block's worth in a row is streaming; one
        # that seeks (a columnar format's footer, then its columns) is not.
        self._streak = (self._streak if start == self._ended else 0) + end - start
        self._ended = end
        layout = self._layout
        stop = min(end, layout.size)
        if start < stop:
            # Within the blocks of the last read (small reads of a stream):
            # served as they are, with no look at the cache or memory.
            first, last = start // layout.unit, (stop - 1) // layout.unit + 1
            held = [payload for i in range(first, last) if (payload := self._held.get(layout.blob_id(i)))]
            if len(held) == last - first:
                return _cut(held, first * layout.unit, (last - 1) * layout.unit, start, stop)
        ahead = READ_AHEAD_BLOCKS if self._streak > layout.unit else 0
        fs: QelFileSystem = self.fs
        return fs._views(self.path, layout, start, end, ahead, self._held)


def _cut(payloads: list[Payload], first: int, last: int, start: int, end: int) -> list[memoryview]:
    """Views of bytes start to end of a file in `payloads`, its adjacent
    blocks from the one at offset `first` to the one at `last`."""
    views = [memoryview(payload) for payload in payloads]
    views[-1] = views[-1][:end - last]
    views[0] = views[0][start - first:]
    return views


def _joined(views: list[memoryview]) -> bytes:
    """The bytes of `views`; a view of a whole `bytes` payload is that payload, uncopied."""
    if len(views) == 1 and isinstance(views[0].obj, bytes) and views[0].nbytes == len(views[0].obj):
        return views[0].obj
    return b"".join(views)


# Names resolved on this filesystem rather than the target: its own methods,
# and what fsspec's base class builds on them (reads through `open`,
# `cat_file` and `info`) or needs to identify it.
_OWN = frozenset(vars(QelFileSystem)) | {
    "cat", "cat_ranges", "read_bytes", "read_text", "read_block", "head", "tail", "get", "download",
    "get_mapper", "exists", "isfile", "isdir", "size", "sizes", "_fs_token", "to_json", "to_dict"}
