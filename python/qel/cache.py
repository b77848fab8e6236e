"""`BlobCache`: the cache as Python code expects to use it."""

from __future__ import annotations

import functools
import hashlib
import inspect
import os
import struct
from collections.abc import Callable
from dataclasses import dataclass
from types import TracebackType
from typing import ParamSpec, TypeVar, overload

from qel._native import NativeBlobCache

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
        """The cached payload, or else `make()`'s result, offered to the cache."""
        payload = self._native.get(blob_id)
        if payload is None:
            payload = make()
            self._native.put(blob_id, payload)
        return payload

    def memoize(self, function: Callable[P, bytes]) -> Callable[P, bytes]:
        """Decorates a function returning `bytes` so that its results are cached.

        The blob ID is the function's module and qualified name with a digest
        of its bound arguments, the same in every process. Arguments must be
        None, bool, int, float, str, bytes, or tuples and frozensets of these.
        """
        signature = inspect.signature(function)
        prefix = f"{function.__module__}.{function.__qualname__}"

        @functools.wraps(function)
        def memoized(*args: P.args, **kwargs: P.kwargs) -> bytes:
            bound = signature.bind(*args, **kwargs)
            bound.apply_defaults()
            digest = hashlib.sha256()
            for name, value in bound.arguments.items():
                if signature.parameters[name].kind is inspect.Parameter.VAR_KEYWORD:
                    value = tuple(sorted(value.items()))
                digest.update(_encode((name, value), name))
            return self.get_or_put(f"{prefix}/{digest.hexdigest()}", lambda: function(*args, **kwargs))

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
    return tag + struct.pack("<Q", len(body)) + body
