"""The systems the fsspec benchmarks compare, over one local S3 server on
127.0.0.1: plain s3fs, fsspec's own caches and qel's tier, each reachable as a
filesystem object and as a chained URL with its storage options, the two ways
users reach them.

Not thread-safe: a benchmark drives one system at a time.
"""

from __future__ import annotations

import contextlib
import logging
import os
import sys
from pathlib import Path
from typing import Any, Iterator

import fsspec

ROOT = Path(__file__).resolve().parent.parent

SYSTEMS = ("s3fs", "filecache", "simplecache", "blockcache", "qel")
CACHES = ("filecache", "simplecache", "blockcache")  # fsspec's own
QEL_BUDGET = 1 << 40  # larger than anything a benchmark reads


@contextlib.contextmanager
def serve() -> Iterator[tuple[dict, Any]]:
    """s3fs's options for a fresh local S3 server, and the server's count of
    what it served (an s3_server.Counting). qel's tier is registered from the
    package on the path, so "qel::" URLs work without an installed
    distribution. The server's module is imported here, not above: worker
    processes that only reach the server need none of it."""
    if str(ROOT / "tests/python") not in sys.path:
        sys.path.insert(0, str(ROOT / "tests/python"))
    import s3_server

    from qel.fsspec import QelFileSystem

    fsspec.register_implementation("qel", QelFileSystem, clobber=True)
    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    with s3_server.serve(os.environ) as (endpoint, counting):
        yield s3_server.s3_options(endpoint), counting


def filesystem(system: str, options: dict, directory: Path) -> fsspec.AbstractFileSystem:
    """`system` over s3 as a filesystem object, caching in `directory`."""
    if system == "s3fs":
        return fsspec.filesystem("s3", **options)
    if system == "qel":
        return fsspec.filesystem("qel", target_protocol="s3", target_options=options, directory=str(directory),
                                 max_bytes=QEL_BUDGET)
    return fsspec.filesystem(system, target_protocol="s3", target_options=options, cache_storage=str(directory))


def url(system: str, path: str, options: dict, directory: Path) -> tuple[str, dict]:
    """The URL of s3 `path` through `system`, and the storage options to pass with it."""
    if system == "s3fs":
        return f"s3://{path}", dict(options)
    layer = {"directory": str(directory), "max_bytes": QEL_BUDGET} if system == "qel" \
        else {"cache_storage": str(directory)}
    return f"{system}::s3://{path}", {"s3": options, system: layer}


def forget() -> None:
    """Closes qel's filesystems and drops every instance fsspec keeps, so the
    next pass through any system starts as a new process would."""
    qel = fsspec.get_filesystem_class("qel")
    for fs in list(qel._cache.values()):
        fs.close()
    for protocol in ("s3", *CACHES, "qel"):
        fsspec.get_filesystem_class(protocol).clear_instance_cache()
