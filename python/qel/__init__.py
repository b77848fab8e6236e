"""qel: a persistent, size-bounded blob cache on local disk.

`BlobCache` is the cache as Python code uses it; `NativeBlobCache` is the
low-level class under it. `PanicException` is raised when an internal
invariant of the core breaks; it derives from `BaseException`, so
`except Exception` does not catch it.
"""

from qel._native import NativeBlobCache, PanicException
from qel.cache import BlobCache, CacheStats

__version__ = "0.2.0"

__all__ = ["BlobCache", "CacheStats", "NativeBlobCache", "PanicException", "__version__"]
