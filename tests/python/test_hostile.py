"""Hostile directory contents: links out of the cache, foreign files,
directories and FIFOs where blob files belong, absurd header fields. Nothing
outside the cache directory is read into a result, written, removed or
re-permissioned, and each case ends in a clear error or a dropped entry.

Each case runs in a forked child that is killed if it hangs."""

import os
import stat

import pytest

from qel._native import NativeBlobCache

import blob_files
import forked

BUDGET = 1 << 20
MISMATCH = 'blob ID content mismatch: "x"'


def payload(blob_id):
    return blob_id.encode() * 30


def snapshot(top):
    """Every entry under top with its type, mode and content, links unfollowed."""
    seen = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            content = open(path, "rb").read() if stat.S_ISREG(st.st_mode) else None
            seen[os.path.relpath(path, top)] = (st.st_mode, content)
    return seen


def plant_link(path, target):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    os.symlink(target, path)


def refused(call):
    with pytest.raises(RuntimeError) as raised:
        call()
    return str(raised.value)


def link_at_final_path(root, outside):
    path = blob_files.path_for(root, "x")
    plant_link(path, os.path.join(outside, "canary"))
    cache = NativeBlobCache(root, BUDGET, 0)
    assert refused(lambda: cache.put("x", payload("x"))) == MISMATCH
    assert cache.get("x") is None
    cache.delete("x")  # takes the link away, never its target
    assert not os.path.lexists(path)
    assert cache.put("x", payload("x")) and cache.get("x") == payload("x")


def dangling_link_at_final_path(root, outside):
    plant_link(blob_files.path_for(root, "x"), os.path.join(outside, "made-by-cache"))
    cache = NativeBlobCache(root, BUDGET, 0)
    assert refused(lambda: cache.put("x", payload("x"))) == MISMATCH


def link_to_a_valid_blob_outside(root, outside):
    elsewhere = os.path.join(os.path.dirname(root), "x.blob")
    with open(elsewhere, "wb") as f:
        f.write(blob_files.encode("x", payload("x")))
    plant_link(blob_files.path_for(root, "x"), elsewhere)
    cache = NativeBlobCache(root, BUDGET, 0)
    assert cache.get("x") is None, "a link was followed out of the cache"


def linked_shard_directories(root, outside):
    path = blob_files.path_for(root, "x")
    top = os.path.dirname(os.path.dirname(path))
    plant_link(top, outside)  # blobs/H1 -> outside
    plant_link(os.path.dirname(blob_files.path_for(root, "y")), outside)  # blobs/H1'/H2' -> outside
    cache = NativeBlobCache(root, BUDGET, 0)
    for blob_id in ("x", "y"):
        try:
            stored = cache.put(blob_id, payload(blob_id))
        except RuntimeError as e:
            assert str(e).startswith("create blob cache shard: "), e
            stored = False
        assert not stored and cache.get(blob_id) is None


def links_in_tmp(root, outside):
    NativeBlobCache(root, BUDGET, 0).close()
    tmp = os.path.join(root, "tmp")
    canary = os.path.join(outside, "canary")
    os.symlink(canary, os.path.join(tmp, "blob-1-1.tmp"))
    cache = NativeBlobCache(root, BUDGET, 0)  # throws the link away
    assert os.listdir(tmp) == []
    # Every temp name this process can reach soon is taken by a link; the
    # sequence goes on 128 names per put, past them.
    for n in range(1, 4097):
        os.symlink(canary, os.path.join(tmp, f"blob-{os.getpid()}-{n}.tmp"))
    for attempt in range(40):
        try:
            if cache.put("x", payload("x")):
                break
        except RuntimeError as e:
            assert str(e) == "create blob cache temp file: temporary filename attempts exhausted", e
    assert cache.get("x") == payload("x")


def linked_tmp_and_blobs(root, outside):
    os.makedirs(root)
    os.symlink(outside, os.path.join(root, "tmp"))
    os.symlink(outside, os.path.join(root, "blobs"))
    try:
        NativeBlobCache(root, BUDGET, 0)
    except RuntimeError as e:
        assert str(e).startswith(("create blob cache temp directory: ", "create blob cache data directory: ")), e


def foreign_files(root, outside):
    NativeBlobCache(root, BUDGET, 0).close()
    shard = os.path.dirname(blob_files.path_for(root, "x"))
    os.makedirs(shard)
    foreign = [os.path.join(root, "notes.txt"), os.path.join(root, "blobs", "README"), os.path.join(shard, "x.txt")]
    for path in foreign:
        with open(path, "w") as f:
            f.write("not ours")
    cache = NativeBlobCache(root, BUDGET, 0)
    assert cache.put("x", payload("x"))
    cache.close()
    cache = NativeBlobCache(root, BUDGET, 0)
    assert all(os.path.exists(path) for path in foreign), "a foreign file was removed"
    assert cache.get("x") == payload("x")
    cache.delete_all()
    assert os.path.exists(foreign[0]), "delete_all reached beyond its directories"


def directory_at_final_path(root, outside):
    os.makedirs(blob_files.path_for(root, "x"))
    cache = NativeBlobCache(root, BUDGET, 0)
    assert refused(lambda: cache.put("x", payload("x"))) == MISMATCH
    assert cache.get("x") is None
    message = refused(lambda: cache.delete("x"))
    assert message.startswith("remove cache entry blobs/"), message


def fifo_at_final_path(root, outside):
    path = blob_files.path_for(root, "x")
    os.makedirs(os.path.dirname(path))
    os.mkfifo(path)
    cache = NativeBlobCache(root, BUDGET, 0)
    assert cache.get("x") is None
    assert refused(lambda: cache.put("x", payload("x"))) == MISMATCH
    cache.delete("x")
    assert not os.path.lexists(path)


def stored_file_replaced(root, outside, replace):
    cache = NativeBlobCache(root, BUDGET, 0)
    assert cache.put("x", payload("x")) and cache.put("y", payload("y"))
    path = blob_files.path_for(root, "x")
    os.unlink(path)
    replace(path, outside)
    assert cache.get("x") is None, "a replaced file was served"
    assert not os.path.lexists(path), "the broken entry's file stayed"
    assert cache.get("y") == payload("y")


def replace_by_fifo(path, outside):
    os.mkfifo(path)


def replace_by_link(path, outside):
    os.symlink(os.path.join(outside, "canary"), path)


def replace_by_absurd_header(path, outside):
    with open(path, "wb") as f:
        f.write(blob_files.encode("x", payload("x"), payload_len=1 << 40))


def absurd_headers_at_open(root, outside):
    forged = {
        "a": dict(id_len=0xFFFFFFFF),
        "b": dict(payload_len=(1 << 64) - 1),
        "c": dict(payload_len=1 << 63),
        "d": dict(id_len=0),
        "e": dict(id_len=(1 << 20) + 1),
    }
    for blob_id, fields in forged.items():
        path = blob_files.path_for(root, blob_id)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(blob_files.encode(blob_id, payload(blob_id), **fields))
    NativeBlobCache(root, BUDGET, 0).put("ok", payload("ok"))
    cache = NativeBlobCache(root, BUDGET, 0)
    assert [os.path.basename(p) for p in blob_files.files(root, "blobs")] == [
        os.path.basename(blob_files.path_for(root, "ok"))
    ], "forged files survived the open"
    assert all(cache.get(blob_id) is None for blob_id in forged)
    assert cache.get("ok") == payload("ok")


CASES = [
    link_at_final_path,
    dangling_link_at_final_path,
    link_to_a_valid_blob_outside,
    linked_shard_directories,
    links_in_tmp,
    linked_tmp_and_blobs,
    foreign_files,
    directory_at_final_path,
    fifo_at_final_path,
    lambda root, outside: stored_file_replaced(root, outside, replace_by_fifo),
    lambda root, outside: stored_file_replaced(root, outside, replace_by_link),
    lambda root, outside: stored_file_replaced(root, outside, replace_by_absurd_header),
    absurd_headers_at_open,
]
NAMES = [case.__name__ for case in CASES[:9]] + [
    "stored_file_replaced_by_fifo",
    "stored_file_replaced_by_link",
    "stored_file_replaced_by_absurd_header",
    "absurd_headers_at_open",
]


@pytest.mark.parametrize("case", CASES, ids=NAMES)
def test_hostile_contents(tmp_path, case):
    outside = tmp_path / "outside"
    (outside / "dir").mkdir(parents=True)
    (outside / "canary").write_bytes(b"precious")
    (outside / "canary").chmod(0o640)
    (outside / "dir" / "junk.blob").write_bytes(b"not a blob, and not the cache's")
    (outside / "dir").chmod(0o750)
    outside.chmod(0o755)
    before = snapshot(outside)
    mode = os.stat(outside).st_mode
    forked.run(case, str(tmp_path / "cache"), str(outside), timeout=60)
    assert snapshot(outside) == before
    assert os.stat(outside).st_mode == mode
