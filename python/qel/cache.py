"""`BlobCache`: the cache as Python code expects to use it."""

from __future__ import annotations

import functools
import hashlib
import inspect
import logging
import os
import struct
from collections.abc import Callable
from dataclasses import dataclass
from types import TracebackType
from typing import ParamSpec, TypeVar, overload

from qel._native import BlobMismatchError, CacheClosedError, NativeBlobCache

_log = logging.getLogger("qel")

P = ParamSpec("P")
T = TypeVar("T")


@dataclass(frozen=True, slots=True)
class CacheStats:
    """What a cache holds and how it has fared since it was opened."""

    blobs: int  # blobs held
    bytes: int  # their file lengths, which the budget bounds
    max_bytes: int
    hits: int  # gets that found the blob
    misses: int  # gets that did not
    puts_admitted: int  # puts after which the cache held the payload
    puts_refused: int  # puts the budget or admission turned away
    evictions: int  # blobs removed to make room for others

    @property
    def hit_ratio(self) -> float:
        """Hits over gets; 0.0 before the first get."""
        gets = self.hits + self.misses
        return self.hits / gets if gets else 0.0


class BlobCache:
    """A persistent, size-bounded blob cache over one directory.

    Use it in a `with` block, which closes it. Blob IDs are text and payloads
    `bytes`; a blob ID is write-once. `frequency_counters` 0, the default,
    sizes the admission filter by the number of blobs held (50 counters a
    blob, at most 32 MiB); any other count fixes its size. With `durable`
    False, puts skip the fsync: a crash of the machine may lose recent puts,
    and the next open drops any blob file left torn, so none is ever returned.

    Any number of processes of one user may open the same directory, with the
    same `max_bytes` and `frequency_counters` (a ValueError names both
    otherwise): they share its blobs and budget, and `len`, `in` and the
    `blobs`, `bytes`, `max_bytes` and `evictions` of `stats()` are the
    directory's, the other counters this process's. A forked child may go on
    using its parent's object.
    """

    __slots__ = ("_native",)

    def __init__(
        self, directory: str | os.PathLike[str], max_bytes: int, *, frequency_counters: int = 0, durable: bool = True
    ) -> None:
        self._native = NativeBlobCache(os.fspath(directory), max_bytes, frequency_counters, durable=durable)

    @overload
    def get(self, blob_id: str) -> bytes | None: ...
    @overload
    def get(self, blob_id: str, default: T) -> bytes | T: ...
    def get(self, blob_id: str, default: object = None) -> object:
        """The payload stored under `blob_id`, or `default` when it is not cached."""
        payload = self._native.get(blob_id)
        return default if payload is None else payload

    def put(self, blob_id: str, payload: bytes) -> bool:
        """Stores `payload`; True when the cache now holds exactly it under `blob_id`."""
        return self._native.put(blob_id, payload)

    def delete(self, blob_id: str) -> None:
        """Removes one blob; removing an absent one succeeds."""
        self._native.delete(blob_id)

    def delete_all(self) -> None:
        """Empties the cache."""
        self._native.delete_all()

    def close(self) -> None:
        """Stops the cache; its blobs stay on disk for the next open. Idempotent."""
        self._native.close()

    def __contains__(self, blob_id: str) -> bool:
        """Whether the blob is held; unlike `get`, not an access that admission counts."""
        return self._native.contains(blob_id)

    def __len__(self) -> int:
        return self._native.stats()[0]

    def stats(self) -> CacheStats:
        return CacheStats(*self._native.stats())

    def get_or_put(self, blob_id: str, make: Callable[[], bytes]) -> bytes:
        """The cached payload, or else `make()`'s result, offered to the cache.

        Once `make()` has run, the cache's own troubles do not fail the call:
        when another thread or process stored other bytes under `blob_id`
        meanwhile, those are returned, as every later get returns them; when
        the cache cannot store the result at all (a full disk, say), the
        result is returned all the same and the failure logged."""
        payload = self._native.get(blob_id)
        if payload is not None:
            return payload
        payload = make()
        try:
            self._native.put(blob_id, payload)
        except BlobMismatchError:
            held = self._native.get(blob_id)  # stored by another writer first
            return payload if held is None else held
        except CacheClosedError:
            raise
        except RuntimeError as failure:
            _log.warning("get_or_put: %r not stored: %s", blob_id, failure)
        return payload

    @overload
    def memoize(self, function: Callable[P, bytes], /, *, name: str | None = None) -> Callable[P, bytes]: ...
    @overload
    def memoize(self, function: None = None, /, *, name: str) -> Callable[[Callable[P, bytes]], Callable[P, bytes]]: ...
    def memoize(
        self, function: Callable[..., bytes] | None = None, /, *, name: str | None = None
    ) -> Callable[..., object]:
        """Decorates a function returning `bytes` so that its results are cached.

        The blob ID is `name` with a digest of the bound arguments, the same in
        every process. Without a name, a plain function defined at the top
        level of a module or class is named by its module and qualified name;
        anything else (a lambda, a function defined inside another, a bound
        method, a partial, a callable object) could share that name with
        another function, and needs `name`. Arguments must be None, bool, int,
        float, str, bytes, or tuples and frozensets of these.
        """
        if name is not None and (not isinstance(name, str) or not name):
            raise TypeError(f"memoize: name must be a non-empty str, not {name!r}")
        if function is None:
            if name is None:
                raise TypeError("memoize: pass the function to cache, or name=")
            given = name
            return lambda function: self._memoized(function, given)
        return self._memoized(function, name if name is not None else _stable_name(function))

    def _memoized(self, function: Callable[P, bytes], name: str) -> Callable[P, bytes]:
        signature = inspect.signature(function)

        @functools.wraps(function)
        def memoized(*args: P.args, **kwargs: P.kwargs) -> bytes:
            bound = signature.bind(*args, **kwargs)
            bound.apply_defaults()
            digest = hashlib.sha256()
            for parameter, value in bound.arguments.items():
                if signature.parameters[parameter].kind is inspect.Parameter.VAR_KEYWORD:
                    # Each keyword is checked under its own name, which is the one the caller wrote.
                    items = b"".join(_encode((key, item), key) for key, item in sorted(value.items()))
                    digest.update(_frame(b"T", _encode(parameter, parameter) + _frame(b"T", items)))
                else:
                    digest.update(_encode((parameter, value), parameter))
            return self.get_or_put(f"{name}/{digest.hexdigest()}", lambda: function(*args, **kwargs))

        return memoized

    def __enter__(self) -> BlobCache:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


def _stable_name(function: Callable[..., object]) -> str:
    """The module and qualified name of a function that names it alone in
    every process; TypeError for anything that could share its name."""
    qualname = getattr(function, "__qualname__", None)
    module = getattr(function, "__module__", None)
    if inspect.ismethod(function) or (inspect.isbuiltin(function) and not inspect.ismodule(function.__self__)):
        why = "a bound method, named alike for every instance"
    elif not (inspect.isfunction(function) or inspect.isbuiltin(function)):
        why = f"a {type(function).__qualname__} object, not a function"
    elif not isinstance(qualname, str) or not isinstance(module, str):
        why = "a function without a module and qualified name"
    elif "<lambda>" in qualname:
        why = "a lambda, named alike with every other"
    elif "<locals>" in qualname:
        why = "defined inside a function, named alike for every call of it"
    else:
        return f"{module}.{qualname}"
    raise TypeError(f"memoize: cannot name {function!r} stably ({why}); pass an explicit name: memoize(name=...)")


def _frame(tag: bytes, body: bytes) -> bytes:
    return tag + struct.pack("<Q", len(body)) + body


def _encode(value: object, where: str) -> bytes:
    """A tagged, length-prefixed encoding of `value`: the same value encodes
    alike in every process, which hash() does not promise for text."""
    if value is None:
        body, tag = b"", b"N"
    elif isinstance(value, bool):
        body, tag = bytes([value]), b"B"
    elif isinstance(value, int):
        body, tag = str(int(value)).encode(), b"I"
    elif isinstance(value, float):
        body, tag = struct.pack("<d", value), b"F"
    elif isinstance(value, str):
        body, tag = value.encode("utf-8", "surrogatepass"), b"S"
    elif isinstance(value, bytes):
        body, tag = bytes(value), b"Y"
    elif isinstance(value, tuple):
        body, tag = b"".join(_encode(item, where) for item in value), b"T"
    elif isinstance(value, frozenset):
        body, tag = b"".join(sorted(_encode(item, where) for item in value)), b"Z"
    else:
        kind = type(value).__qualname__
        if type(value).__hash__ is None:
            raise TypeError(f"memoize: argument {where!r} is unhashable ({kind}); pass a tuple or frozenset instead")
        raise TypeError(f"memoize: argument {where!r} ({kind}) has no hash that is stable across processes")
    return _frame(tag, body)
