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

import io
import json
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

HEADER_LEN = 24  # a blob file's length is this, plus the ID, plus the payload
# Keys of `info` that identify one version of an object, and failing those,
# the keys under which targets report when it was last written.
TAG_KEYS = ("ETag", "etag", "VersionId")
MODIFIED_KEYS = ("mtime", "LastModified", "last_modified", "updated", "modified", "created")
# Version look-ups remembered per cache directory before expired ones are dropped.
REMEMBERED_VERSIONS = 4096


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

    def __init__(self, key: str, cache: BlobCache, max_bytes: int, frequency_counters: int, durable: bool) -> None:
        self.key = key
        self.cache = cache
        self.max_bytes = max_bytes
        self.frequency_counters = frequency_counters
        self.durable = durable
        self.users = 1  # GUARDED_BY(_tiers_lock)
        # Never held together with _tiers_lock, nor across a call to the
        # cache or the target.
        self.lock = threading.Lock()
        self.fetches: dict[str, _Fetch] = {}  # by blob ID; GUARDED_BY(lock)
        self.remotes: dict[tuple[str, str], _Remote] = {}  # by (protocol, path); GUARDED_BY(lock)

    def read(self, blob_id: str, size: int, fetch: Callable[[], bytes]) -> bytes:
        """The payload under `blob_id`, else `fetch()`'s, kept when it is `size` long.
        Concurrent readers of one missing blob wait for a single fetch."""
        payload = self.cache.get(blob_id)
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
                payload = self.cache.get(blob_id) if blob_id in self.cache else None
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

    def keep(self, blob_id: str, payload: bytes) -> None:
        """Offers a fetched payload to the cache."""
        try:
            self.cache.put(blob_id, payload)
        except RuntimeError:
            # Other bytes under the same version (a remote rewritten within its
            # clock's tick, say): neither copy can be trusted to be current.
            if blob_id not in self.cache:
                raise
            self.cache.delete(blob_id)

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


def _acquire(directory: str | os.PathLike[str], max_bytes: int, frequency_counters: int, durable: bool) -> _Tier:
    key = os.path.realpath(os.fspath(directory))
    with _tiers_lock:
        tier = _tiers.get(key)
        if tier is None:
            cache = BlobCache(key, max_bytes, frequency_counters=frequency_counters, durable=durable)
            tier = _tiers[key] = _Tier(key, cache, max_bytes, frequency_counters, durable)
            return tier
        tier.users += 1  # before anything allocates, so a finalizer cannot close it meanwhile
        if (tier.max_bytes, tier.frequency_counters, tier.durable) != (max_bytes, frequency_counters, durable):
            _release(tier)
            raise ValueError(
                f"qel cache directory {key} is already open in this process with max_bytes={tier.max_bytes}, "
                f"frequency_counters={tier.frequency_counters} and durable={tier.durable}"
            )
        return tier


def _release(tier: _Tier) -> None:
    with _tiers_lock:
        tier.users -= 1
        if not tier.users:
            # Closed under the lock: a filesystem opening the directory again
            # waits until this cache has let go of it.
            del _tiers[tier.key]
            tier.cache.close()


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


def _mutating(name: str) -> Callable[..., Any]:
    """The target's method `name`, after which the versions looked up are
    forgotten, so reads through this filesystem see its own writes."""

    def method(self: QelFileSystem, *args: Any, **kwargs: Any) -> Any:
        try:
            return getattr(self.target, name)(*args, **kwargs)
        finally:
            self._tier.forget()

    method.__name__ = method.__qualname__ = name
    return method


class QelFileSystem(ChainedFileSystem):  # type: ignore[misc]
    """A target filesystem with a qel `BlobCache` in front of its whole-file reads.

    The target is `fs` (an instance) or `target_protocol` with
    `target_options`. The cache is opened over `directory` with `max_bytes`,
    `frequency_counters` and `durable` as `BlobCache` takes them; filesystems
    over the same directory in one process share it and must agree on all. `close()`
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
        durable: bool = True,
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
        if check_interval < 0:
            raise ValueError("qel filesystem: check_interval must not be negative")
        self.target: AbstractFileSystem = fs if fs is not None else filesystem(target_protocol, **(target_options or {}))
        protocol = self.target.protocol
        self.target_protocol: str = protocol if isinstance(protocol, str) else protocol[0]
        self.check_interval = check_interval
        self._tier = _acquire(directory, max_bytes, frequency_counters, durable)
        self._closed = False
        self._release = weakref.finalize(self, _release, self._tier)
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

    def stats(self) -> CacheStats:
        """The cache's statistics: shared by every filesystem over its directory."""
        return self._blob_cache().stats()

    def close(self) -> None:
        """Lets go of the cache (closed with its last filesystem); idempotent."""
        self._closed = True
        self._release()
        cached = type(self)._cache
        if cached.get(getattr(self, "_fs_token_", None)) is self:
            del cached[self._fs_token_]

    def open(self, path: str, mode: str = "rb", **kwargs: Any) -> Any:
        if mode not in ("r", "rb", "rt"):
            try:
                return self.target.open(path, mode, **kwargs)
            finally:
                self._tier.forget(self.target_protocol, self._strip_protocol(path))
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

    pipe_file = _mutating("pipe_file")
    pipe = _mutating("pipe")
    put_file = _mutating("put_file")
    put = _mutating("put")
    rm_file = _mutating("rm_file")
    rm = _mutating("rm")
    cp_file = _mutating("cp_file")
    copy = _mutating("copy")
    mv = _mutating("mv")
    touch = _mutating("touch")
    write_bytes = _mutating("write_bytes")
    write_text = _mutating("write_text")

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
