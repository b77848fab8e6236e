"""A `with`-friendly face on `NativeBlobCache`."""

from __future__ import annotations

import os
from types import TracebackType

from qel._native import NativeBlobCache


class BlobCache:
    """A blob cache over one directory, closed when its `with` block ends.

    `frequency_counters` 0, the default, sizes the admission filter by the
    number of blobs held (50 counters a blob, at most 32 MiB); any
    other count fixes its size.
    The directory may be any path-like object naming a text path.
    """

    __slots__ = ("_native",)

    def __init__(self, directory: str | os.PathLike[str], max_bytes: int, frequency_counters: int = 0) -> None:
        self._native = NativeBlobCache(os.fspath(directory), max_bytes, frequency_counters)

    def get(self, blob_id: str) -> bytes | None:
        """The payload stored under `blob_id`, or None when it is not cached."""
        return self._native.get(blob_id)

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

    def __enter__(self) -> BlobCache:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()
