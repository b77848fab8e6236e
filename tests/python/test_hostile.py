"""Hostile directory contents: links, foreign files, directories and FIFOs where blob files belong.
Nothing outside the cache is read into a result, written, removed or re-permissioned; each case ends
in a clear error or a dropped entry. Cases run in a forked child, killed on a hang."""

import os
import stat

import pytest

from qel._native import NativeBlobCache

import blob_files
import forked
from blob_files import path_for, payload
from forked import error_of

BUDGET = 1 << 20
MISMATCH = 'blob ID content mismatch: "x"'
PLANTS = {
    "link": lambda path, outside: os.symlink(os.path.join(outside, "canary"), path),
    "dangling link": lambda path, outside: os.symlink(os.path.join(outside, "made-by-cache"), path),
    "link to a valid blob": lambda path, outside: os.symlink(os.path.join(outside, "x.blob"), path),
    "fifo": lambda path, outside: os.mkfifo(path),
    "directory": lambda path, outside: os.mkdir(path),
}


def plant(path, kind, outside):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    PLANTS[kind](path, outside)


def planted_at_final_path(root, outside, kind):
    path = path_for(root, "x")
    plant(path, kind, outside)
    cache = NativeBlobCache(root, BUDGET, 0)
    assert cache.get("x") is None, "a planted entry was served"
    assert error_of(lambda: cache.put("x", payload("x"))) == MISMATCH
    message = error_of(lambda: cache.delete("x"))
    if kind == "directory":
        assert message.startswith("remove cache entry blobs/") and message.endswith("(os error 21)"), message
        assert cache.put("y", payload("y")), "one foreign directory wedged every later put"
    else:  # the link goes, never its target
        assert message is None and not os.path.lexists(path)
        assert cache.put("x", payload("x")) and cache.get("x") == payload("x")


def stored_file_replaced(root, outside, kind):
    cache = NativeBlobCache(root, BUDGET, 0)
    assert cache.put("x", payload("x")) and cache.put("y", payload("y"))
    path = path_for(root, "x")
    os.unlink(path)
    plant(path, kind, outside)
    assert cache.get("x") is None, "a replaced file was served"
    assert not os.path.lexists(path), "the broken entry's file stayed"
    assert cache.get("y") == payload("y")


def linked_directory(root, outside, which):
    x = path_for(root, "x")
    link = {"tmp": os.path.join(root, "tmp"), "blobs": os.path.join(root, "blobs"),
            "shard": os.path.dirname(os.path.dirname(x)), "inner shard": os.path.dirname(x)}[which]
    os.makedirs(os.path.dirname(link), exist_ok=True)
    os.symlink(outside, link)
    message = error_of(lambda: NativeBlobCache(root, BUDGET, 0).put("x", payload("x")))
    step = {"tmp": "temp directory", "blobs": "data directory"}.get(which, "shard")
    assert message.startswith(f"create blob cache {step}: "), message


def links_in_tmp(root, outside):
    NativeBlobCache(root, BUDGET, 0).close()
    tmp, canary = os.path.join(root, "tmp"), os.path.join(outside, "canary")
    os.symlink(canary, os.path.join(tmp, "blob-1-1.tmp"))
    cache = NativeBlobCache(root, BUDGET, 0)  # throws the link away
    assert os.listdir(tmp) == []
    # Links take every temp name this process reaches soon; the sequence
    # moves on 128 names per put, past them.
    for n in range(1, 4097):
        os.symlink(canary, os.path.join(tmp, f"blob-{os.getpid()}-{n}.tmp"))
    for _ in range(40):
        if (message := error_of(lambda: cache.put("x", payload("x")))) is None:
            break
        assert message == "create blob cache temp file: temporary filename attempts exhausted", message
    assert cache.get("x") == payload("x")


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
    *[pytest.param(planted_at_final_path, (kind,), id=f"{kind} at a final path") for kind in PLANTS],
    # damaged and absurd headers are the store suite's damage table and the fuzzer's
    *[pytest.param(stored_file_replaced, (kind,), id=f"stored file replaced by {kind}") for kind in ("link", "fifo")],
    *[pytest.param(linked_directory, (which,), id=f"linked {which}") for which in ("tmp", "blobs", "shard", "inner shard")],
    *[pytest.param(case, (), id=case.__name__) for case in (links_in_tmp, foreign_files)],
]


def snapshot(top):
    """Every entry under top with its type, mode and content, links unfollowed."""
    seen = {".": os.stat(top).st_mode}
    for dirpath, dirnames, filenames in os.walk(top):
        for path in (os.path.join(dirpath, name) for name in dirnames + filenames):
            st = os.lstat(path)
            seen[os.path.relpath(path, top)] = (st.st_mode, open(path, "rb").read() if stat.S_ISREG(st.st_mode) else None)
    return seen


@pytest.mark.parametrize("case, arguments", CASES)
def test_hostile_contents(tmp_path, case, arguments):
    outside = tmp_path / "outside"
    (outside / "dir").mkdir(parents=True, mode=0o750)
    (outside / "canary").write_bytes(b"precious")
    (outside / "x.blob").write_bytes(blob_files.encode("x", payload("x")))
    (outside / "dir" / "junk.blob").write_bytes(b"not a blob, and not the cache's")
    before = snapshot(outside)
    forked.run(case, str(tmp_path / "cache"), str(outside), *arguments)
    assert snapshot(outside) == before
