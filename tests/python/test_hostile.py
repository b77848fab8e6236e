"""Hostile directory contents: links, foreign files, directories and FIFOs where blob files belong.
Nothing outside the cache is read into a result, written, removed or re-permissioned; each case ends
in a clear error or a dropped entry. Cases run in a forked child, killed on a hang."""

import os
import pathlib
import shutil
import stat

import pytest

from qel._native import NativeBlobCache

import blob_files
import forked
from blob_files import path_for, payload, snapshot
from forked import error_of

BUDGET = 1 << 20
SHARD_TARGET = "shard"  # under outside: what a linked first-level shard leads to


PLANTS = {
    "link": lambda path, outside: os.symlink(os.path.join(outside, "canary"), path),
    "dangling link": lambda path, outside: os.symlink(os.path.join(outside, "made-by-cache"), path),
    "link to a valid blob": lambda path, outside: os.symlink(os.path.join(outside, "x.blob"), path),
    "fifo": lambda path, outside: os.mkfifo(path),
    "socket": lambda path, outside: os.mknod(path, stat.S_IFSOCK | 0o600),
    "directory": lambda path, outside: os.makedirs(os.path.join(path, "inner")),
}


def plant(path, kind, outside):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    PLANTS[kind](path, outside)


def planted(root, outside, kind):
    """Something that cannot be a blob file where one belongs, stored there before or not: never served nor
    followed, gone at the open, get or delete that meets it, and its ID stored again at once."""
    plant(path_for(root, "x"), kind, outside)
    cache = NativeBlobCache(root, BUDGET, 0)
    assert not os.path.lexists(path_for(root, "x")), "reconciliation left it"
    assert all(cache.put(blob_id, payload(blob_id)) for blob_id in ("x", "t", "u"))
    for blob_id in ("x", "t", "y", "z"):  # x and t replace stored files
        pathlib.Path(path_for(root, blob_id)).unlink(missing_ok=True)
        plant(path_for(root, blob_id), kind, outside)
    assert cache.get("x") is None and cache.get("y") is None, "a planted entry was served"
    assert not os.path.lexists(path_for(root, "x")), "the broken entry's file stayed"
    assert cache.delete("z") is None and not os.path.lexists(path_for(root, "z"))
    assert all(cache.put(blob_id, payload(blob_id)) and cache.get(blob_id) == payload(blob_id) for blob_id in "xy")
    cache.close()
    cache = NativeBlobCache(root, BUDGET, 0)
    assert not os.path.lexists(path_for(root, "t")) and cache.get("t") is None
    assert [cache.get(blob_id) for blob_id in "xuy"] == [payload(blob_id) for blob_id in "xuy"]


def linked_shard(root, outside, when):
    """Nothing reached through a link that replaced a shard, to a valid file of the ID, is read or removed."""
    cache = NativeBlobCache(root, 4 * len(blob_files.encode("x", payload("x"))), 0)
    assert cache.put("x", payload("x"))
    shard = os.path.dirname(os.path.dirname(path_for(root, "x")))
    if when == "reopen":
        cache.close()
    shutil.rmtree(shard)
    os.symlink(os.path.join(outside, SHARD_TARGET), shard)
    if when == "reopen":
        cache = NativeBlobCache(root, BUDGET, 0)
        assert not os.path.lexists(shard), "reconciliation left the link"
    elif when == "delete":
        assert cache.delete("x") is None
    elif when == "eviction":  # each put evicts one: x goes first, whatever the admission
        for n in range(40):
            cache.put(f"other-{n}", payload("x"))
    assert cache.get("x") is None
    assert cache.put("x", payload("x")) and cache.get("x") == payload("x")


def linked_directory(root, outside, which, step):
    os.makedirs(root)
    os.symlink(outside, os.path.join(root, which))
    message = error_of(lambda: NativeBlobCache(root, BUDGET, 0).put("x", payload("x")))
    assert message.startswith(f"create blob cache {step}: "), message


def removed_under_the_cache(root, outside, which):
    """tmp/, blobs/ or the whole directory removed while open: made again on
    demand, still private, and another open joins this cache there."""
    cache = NativeBlobCache(root, BUDGET, 0)
    assert cache.put("x", payload("x"))
    shutil.rmtree(os.path.normpath(os.path.join(root, which)))
    assert cache.put("y", payload("y")) and cache.get("y") == payload("y")
    assert cache.get("x") is None if which != "tmp" else cache.get("x") == payload("x")
    assert stat.S_IMODE(os.stat(os.path.join(root, which)).st_mode) == 0o700
    # Another opener joins this cache, over the directory as it is now.
    joined = NativeBlobCache(root, BUDGET, 0)
    assert joined.get("y") == payload("y") and joined.put("z", payload("z")) and cache.get("z") == payload("z")
    joined.close()
    cache.close()
    assert NativeBlobCache(root, BUDGET, 0).get("y") == payload("y")


def links_in_tmp(root, outside):
    """A link in tmp is thrown away at open, unfollowed. Links that take a writer's own temp names are the
    fault suite's: the fresh process it runs in knows which names come next."""
    NativeBlobCache(root, BUDGET, 0).close()
    os.symlink(os.path.join(outside, "canary"), os.path.join(root, "tmp", "blob-1-1.tmp"))
    cache = NativeBlobCache(root, BUDGET, 0)  # throws the link away
    assert os.listdir(os.path.join(root, "tmp")) == [] and cache.put("x", payload("x"))


def foreign_files(root, outside):
    shard = os.path.dirname(path_for(root, "x"))
    os.makedirs(shard)
    foreign = [os.path.join(root, "notes.txt"), os.path.join(root, "blobs", "README"), os.path.join(shard, "x.txt")]
    for path in foreign:
        open(path, "w").write("not ours")
    assert NativeBlobCache(root, BUDGET, 0).put("x", payload("x"))
    cache = NativeBlobCache(root, BUDGET, 0)
    assert all(map(os.path.exists, foreign)) and cache.get("x") == payload("x"), "a foreign file was removed"
    cache.delete_all()
    assert os.path.exists(foreign[0]), "delete_all reached beyond its directories"


CASES = [
    # damaged and absurd headers are the store suite's damage table and the fuzzer's
    *[pytest.param(planted, (kind,), id=f"{kind} planted") for kind in PLANTS],
    *[pytest.param(linked_shard, (when,), id=f"linked shard, {when}") for when in ("delete", "eviction", "reopen")],
    *[pytest.param(linked_directory, (which, step), id=f"linked {which}")
      for which, step in (("tmp", "temp directory"), ("blobs", "data directory"))],
    *[pytest.param(removed_under_the_cache, (which,), id=f"{which} removed") for which in ("tmp", "blobs", ".")],
    *[pytest.param(case, (), id=case.__name__) for case in (links_in_tmp, foreign_files)],
]


@pytest.mark.parametrize("case, arguments", CASES)
def test_hostile_contents(tmp_path, case, arguments):
    outside = tmp_path / "outside"
    (outside / "dir").mkdir(parents=True, mode=0o750)
    (outside / "canary").write_bytes(b"precious")
    (outside / "x.blob").write_bytes(blob_files.encode("x", payload("x")))
    (outside / "dir" / "junk.blob").write_bytes(b"not a blob, and not the cache's")
    shard_file = outside / SHARD_TARGET / path_for("/", "x").split("/", 3)[3]  # below the first-level shard
    shard_file.parent.mkdir(parents=True)
    shard_file.write_bytes(blob_files.encode("x", payload("x")))
    before = snapshot(outside)
    forked.run(case, str(tmp_path / "cache"), str(outside), *arguments)
    assert snapshot(outside) == before
