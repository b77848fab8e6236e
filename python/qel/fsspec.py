"""`QelFileSystem`: qel as the local tier of any fsspec filesystem.

Registered with fsspec under the protocol "qel", so
``fsspec.open("qel::s3://bucket/key", qel={"directory": ..., "max_bytes": ...})``
reads the object through a `BlobCache` on local disk. Whole-file reads
(`open` for reading, `cat_file`, `cat`) are served from the cache; everything
else, writes included, goes to the target filesystem as it is.

A remote file's blob ID names its protocol, its path and its version (ETag,
else size and modification time, as the target's `info` reports them), so a
changed object gets a new ID and is fetched again. The version is looked up
with `info` at most once per `check_interval` seconds per path; writes and
removals through this filesystem and `invalidate_cache` forget it at once.

Thread safety: every filesystem over one cache directory in a process shares
one `BlobCache` and one table of fetches in flight, so threads (which fsspec
gives instances of their own) reading the same missing file fetch it once.
"""

from __future__ import annotations

import dataclasses
import io
import json
import logging
import math
import os
import threading
import time
import weakref
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from fsspec import AbstractFileSystem, filesystem  # type: ignore[import-untyped]
from fsspec.implementations.chained import ChainedFileSystem  # type: ignore[import-untyped]

from qel.cache import BlobCache, CacheStats

log = logging.getLogger(__name__)

HEADER_LEN = 24  # a blob file's length is this, plus the ID, plus the payload
# Keys of `info` that identify one version of an object, and failing those,
# the keys under which targets report when it was last written.
TAG_KEYS = ("ETag", "etag", "VersionId")
MODIFIED_KEYS = ("mtime", "LastModified", "last_modified", "updated", "modified", "created")
# Version look-ups remembered per cache directory before expired ones are dropped.
REMEMBERED_VERSIONS = 4096


@dataclass(frozen=True, slots=True)
class TierStats(CacheStats):
    """The cache's statistics, and what the tier could not do with it."""

    cache_failures: int  # cache calls that failed (a full or broken volume), their reads served from the target


@dataclass
class _Fetch:
    """One read of a missing file from the target, awaited by other readers."""

    done: threading.Event = field(default_factory=threading.Event)
    payload: bytes | None = None  # None when the fetch failed


@dataclass(frozen=True)
class _Remote:
    """What a target's `info` said about one file, and when it was asked."""

    blob_id: str | None  # None when the target reports no version to key it by
    size: int
    checked: float  # time.monotonic() of the look-up


class _Tier:
    """The state of one cache directory, shared by every filesystem over it
    in this process; safe to use from any thread."""

    def __init__(self, key: str, cache: BlobCache, max_bytes: int, frequency_counters: int) -> None:
        self.key = key
        self.cache = cache
        self.max_bytes = max_bytes
        self.frequency_counters = frequency_counters
        self.users = 1  # GUARDED_BY(_tiers_lock)
        # Never held together with _tiers_lock, nor across a call to the
        # cache or the target.
        self.lock = threading.Lock()
        self.fetches: dict[str, _Fetch] = {}  # by blob ID; GUARDED_BY(lock)
        self.remotes: dict[tuple[str, str], _Remote] = {}  # by (protocol, path); GUARDED_BY(lock)
        self.cache_failures = 0  # GUARDED_BY(lock)

    def read(self, blob_id: str, size: int, fetch: Callable[[], bytes]) -> bytes:
        """The payload under `blob_id`, else `fetch()`'s, kept when it is `size` long.
        Concurrent readers of one missing blob wait for a single fetch."""
        payload = self.get(blob_id)
        if payload is not None:
            return payload
        while True:
            with self.lock:
                flight = self.fetches.get(blob_id)
                leading = flight is None
                if flight is None:
                    flight = self.fetches[blob_id] = _Fetch()
            if not leading:
                flight.done.wait()
                if flight.payload is not None:
                    return flight.payload
                continue  # the fetch failed; this reader tries on its own account
            try:
                # Another leader may have stored it since this reader's miss.
                payload = self.get(blob_id) if self.holds(blob_id) else None
                if payload is None:
                    payload = fetch()
                    if len(payload) == size:
                        self.keep(blob_id, payload)
                flight.payload = payload
                return payload
            finally:
                with self.lock:
                    del self.fetches[blob_id]
                flight.done.set()

    # The cache's calls, where a failure of the volume under it (full,
    # unwritable, unreadable) costs the cache's help, never the read. Only
    # open filesystems call them, so the cache is not closed.
    def get(self, blob_id: str) -> bytes | None:
        try:
            return self.cache.get(blob_id)
        except RuntimeError as error:
            self.failed("read", blob_id, error)
            return None

    def holds(self, blob_id: str) -> bool:
        try:
            return blob_id in self.cache
        except RuntimeError as error:
            self.failed("look up", blob_id, error)
            return False

    def keep(self, blob_id: str, payload: bytes) -> None:
        """Offers a fetched payload to the cache."""
        try:
            self.cache.put(blob_id, payload)
        except RuntimeError as error:
            if not self.holds(blob_id):
                self.failed("store", blob_id, error)
                return
            # Other bytes under the same version (a remote rewritten within its
            # clock's tick, say): neither copy can be trusted to be current.
            self.drop(blob_id)

    def drop(self, blob_id: str) -> None:
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
            if len(self.remotes) >= REMEMBERED_VERSIONS:
                now = time.monotonic()
                self.remotes = {k: r for k, r in self.remotes.items() if now - r.checked < check_interval}
                if len(self.remotes) >= REMEMBERED_VERSIONS:
                    self.remotes.clear()
            self.remotes[(protocol, path)] = remote

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


def _acquire(directory: str | os.PathLike[str], max_bytes: int, frequency_counters: int) -> _Tier:
    key = os.path.realpath(os.fspath(directory))
    with _tiers_lock:
        tier = _tiers.get(key)
        if tier is None:
            cache = BlobCache(key, max_bytes, frequency_counters=frequency_counters)
            tier = _tiers[key] = _Tier(key, cache, max_bytes, frequency_counters)
            return tier
        tier.users += 1  # before anything allocates, so a finalizer cannot close it meanwhile
        if (tier.max_bytes, tier.frequency_counters) != (max_bytes, frequency_counters):
            _release(tier)
            raise ValueError(
                f"qel cache directory {key} is already open in this process with max_bytes={tier.max_bytes} "
                f"and frequency_counters={tier.frequency_counters}"
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


def blob_id_for(protocol: str, path: str, info: dict[str, Any]) -> str | None:
    """The blob ID of the file `info` describes, None if it has no version."""
    version = _version(info)
    if version is None:
        return None
    return "fsspec:" + json.dumps([protocol, path, f"size={info['size']} {version}"])


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
    """A target filesystem with a qel `BlobCache` in front of its whole-file reads.

    The target is `fs` (an instance) or `target_protocol` with
    `target_options`. The cache is opened over `directory` with `max_bytes`
    and `frequency_counters` as `BlobCache` takes them; filesystems over the
    same directory in one process share it and must agree on both. `close()`
    (or garbage collection) lets go of it. A file whose blob would exceed the
    budget, or whose target reports no version, is read from the target
    every time; a file admission refuses is still served.
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
        check_interval: float = 60.0,
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
        self.target: AbstractFileSystem = fs if fs is not None else filesystem(target_protocol, **(target_options or {}))
        protocol = self.target.protocol
        self.target_protocol: str = protocol if isinstance(protocol, str) else protocol[0]
        self.check_interval = check_interval
        self._closed = False
        self._opened = (directory, max_bytes, frequency_counters)
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
        self._pid = os.getpid()
        self._held = _acquire(*self._opened)
        self._release = weakref.finalize(self, _release, self._held)

    def stats(self) -> TierStats:
        """The cache's statistics, shared by every filesystem over its directory."""
        tier = self._tier
        self._blob_cache()
        return TierStats(**dataclasses.asdict(tier.cache.stats()), cache_failures=tier.cache_failures)

    def close(self) -> None:
        """Lets go of the cache (closed with its last filesystem); idempotent."""
        self._closed = True
        if self._pid == os.getpid():
            self._release()
        cached = type(self)._cache
        if cached.get(getattr(self, "_fs_token_", None)) is self:
            del cached[self._fs_token_]

    def open(self, path: str, mode: str = "rb", **kwargs: Any) -> Any:
        if mode not in ("r", "rb", "rt"):
            file = self.target.open(path, mode, **kwargs)
            self._tier.forget(self.target_protocol, self._strip_protocol(path))
            return _Written(file, lambda: self._drop(path))
        return super().open(path, mode, **kwargs)

    def _open(
        self,
        path: str,
        mode: str = "rb",
        block_size: int | None = None,
        autocommit: bool = True,
        cache_options: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> Any:
        assert mode == "rb", mode
        payload = None if kwargs else self._whole(path)
        if payload is None:
            return self.target.open(path, "rb", block_size=block_size, cache_options=cache_options, **kwargs)
        return io.BytesIO(payload)

    def cat_file(self, path: str, start: int | None = None, end: int | None = None, **kwargs: Any) -> bytes:
        payload = None if kwargs else self._whole(path)
        if payload is None:
            return bytes(self.target.cat_file(path, start=start, end=end, **kwargs))
        return payload[start:end]

    def invalidate_cache(self, path: str | None = None) -> None:
        """Forgets the versions looked up for `path` (all when None), and
        clears the target's listing cache there."""
        self._tier.forget(self.target_protocol, None if path is None else self._strip_protocol(path))
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
        """Forgets the file at `path` and drops its blob."""
        path = self._strip_protocol(path)
        self._tier.forget(self.target_protocol, path)
        try:
            info = self.target.info(path)
        except FileNotFoundError:
            return
        blob_id = blob_id_for(self.target_protocol, path, info) if info.get("type") == "file" else None
        if blob_id is not None:
            self._tier.drop(blob_id)

    def _blob_cache(self) -> BlobCache:
        if self._closed:
            raise RuntimeError("blob cache is closed")
        return self._tier.cache

    def _whole(self, path: str) -> bytes | None:
        """The whole file through the cache, or None when it is to be read
        from the target as usual (too large, or no version to key it by)."""
        tier = self._tier
        self._blob_cache()  # refuses a closed filesystem
        path = self._strip_protocol(path)
        remote = tier.remembered(self.target_protocol, path, self.check_interval)
        if remote is None:
            info = self.target.info(path)
            if info.get("type") == "directory":
                raise IsADirectoryError(path)
            size = info.get("size")
            blob_id = blob_id_for(self.target_protocol, path, info) if isinstance(size, int) else None
            remote = _Remote(blob_id, size if isinstance(size, int) else -1, time.monotonic())
            tier.remember(self.target_protocol, path, remote, self.check_interval)
        if remote.blob_id is None or HEADER_LEN + len(remote.blob_id.encode()) + remote.size > tier.max_bytes:
            return None
        payload = tier.read(remote.blob_id, remote.size, lambda: bytes(self.target.cat_file(path)))
        if len(payload) != remote.size:
            # Changed since its version was looked up: served, not kept, asked again next time.
            tier.forget(self.target_protocol, path)
        return payload


# Names resolved on this filesystem rather than the target: its own methods,
# and what fsspec's base class builds on them or needs to identify it.
_OWN = frozenset(vars(QelFileSystem)) | {"cat", "read_bytes", "read_text", "_fs_token", "to_json", "to_dict"}
