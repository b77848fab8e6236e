"""qel: a persistent, size-bounded blob cache on local disk.

`NativeBlobCache` is the cache itself; `BlobCache` wraps it for use in a
`with` block. `PanicException` is raised when an internal invariant of the
core breaks; it derives from `BaseException`, so `except Exception` does not
catch it.
"""

from qel._native import NativeBlobCache, PanicException
from qel.cache import BlobCache

__all__ = ["BlobCache", "NativeBlobCache", "PanicException"]
