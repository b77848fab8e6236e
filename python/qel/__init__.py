"""qel: a persistent, size-bounded blob cache on local disk.

`BlobCache` is the cache as Python code uses it; `NativeBlobCache` is the
low-level class under it. Cache failures are `RuntimeError`s; those a caller
may want to tell apart have classes of their own under it:
`BlobMismatchError` (the ID is stored with other content),
`CacheClosedError` and `DirectoryInUseError` (the directory's lock is held
by a process that does not serve it: a tool, or a cache in another network
namespace). Any
number of processes of one user may open a directory at once. `PanicException` is raised when an internal invariant of the core
breaks; it derives from `BaseException`, so `except Exception` does not catch
it.
"""

from qel._native import (
    BlobMismatchError,
    CacheClosedError,
    DirectoryInUseError,
    NativeBlobCache,
    PanicException,
)
from qel.cache import BlobCache, CacheStats

__version__ = "0.2.0"

__all__ = [
    "BlobCache",
    "BlobMismatchError",
    "CacheClosedError",
    "CacheStats",
    "DirectoryInUseError",
    "NativeBlobCache",
    "PanicException",
    "__version__",
]
