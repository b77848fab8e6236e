"""Failing system calls, a full disk and denied permissions: each failure
reaches Python as a RuntimeError naming its step, nothing crashes, no
temporary file outlives the next operation, no wrong bytes are returned, and
a reopen recovers.

The calls fail through tests/fault/fault_shim.c, preloaded into a child
interpreter (QEL_FAULT_SHIM overrides where it was built)."""

import errno
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

import qel
from qel._native import NativeBlobCache

import blob_files
import forked

HERE = pathlib.Path(__file__).resolve().parent
SHIM = os.environ.get("QEL_FAULT_SHIM", str(HERE.parent.parent / "build/test/tests/fault/libqel_fault_shim.so"))
BUDGET = 1 << 24
OPS = ("open", "write", "fsync", "rename", "unlink", "readdir", "close")
EIO, ENOSPC, EACCES = errno.EIO, errno.ENOSPC, errno.EACCES


def payload(blob_id):
    return blob_id.encode() * 40  # as fault_child makes it


def os_error(code):
    return f"{os.strerror(code)} (os error {code})"


def relative(directory, blob_id):
    return os.path.relpath(blob_files.path_for(str(directory), blob_id), directory)


@pytest.fixture(scope="module")
def shim():
    if not os.path.exists(SHIM):
        pytest.fail(f"fault shim not built at {SHIM}: run make build, or set QEL_FAULT_SHIM")
    return SHIM


def run_child(shim, directory, steps, fault=""):
    env = dict(
        os.environ,
        LD_PRELOAD=shim,
        QEL_FAULT_PREFIX=str(directory),
        QEL_FAULT=fault,
        PYTHONPATH=str(pathlib.Path(qel.__file__).parent.parent),
    )
    spec = json.dumps({"dir": str(directory), "steps": steps})
    proc = subprocess.run(
        [sys.executable, str(HERE / "fault_child.py"), spec], env=env, capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr}"
    results = [json.loads(line) for line in proc.stdout.splitlines()]
    assert len(results) == len(steps), proc.stderr
    return results


def error(message):
    return {"error": ["RuntimeError", message]}


def reopen_and_check(directory, must_hold=(), may_hold=()):
    """Opens without the shim: no temp file, every file verifies, and the blobs
    read back exactly (or, for may_hold, not at all)."""
    cache = NativeBlobCache(str(directory), BUDGET, 0)
    try:
        assert blob_files.files(directory, "tmp") == []
        for path in blob_files.files(directory, "blobs"):
            blob_files.verify(str(directory), path)
        for blob_id in must_hold:
            assert cache.get(blob_id) == payload(blob_id), blob_id
        for blob_id in may_hold:
            assert cache.get(blob_id) in (None, payload(blob_id)), blob_id
    finally:
        cache.close()


@pytest.mark.parametrize(
    "fault, message",
    [
        # With its shard in place, a put opens root, blobs, both shard levels
        # and tmp before its temp file, and closes two of them before it.
        ("open:1:EACCES", f"create blob cache shard: {os_error(EACCES)}"),
        ("open:6:EACCES", f"create blob cache temp file: {os_error(EACCES)}"),
        ("write:1:ENOSPC", f"write blob cache header: {os_error(ENOSPC)}"),
        ("write:2:ENOSPC", f"write blob cache ID: {os_error(ENOSPC)}"),
        ("write:3:EIO", f"write blob cache payload: {os_error(EIO)}"),
        ("fsync:1:EIO", f"flush blob cache temp file: {os_error(EIO)}"),
        ("rename:1:EACCES", f"commit blob cache file: {os_error(EACCES)}"),
        ("close:3:EIO", None),  # the file is complete and synced by then
    ],
)
def test_put_names_the_failing_step(shim, tmp_path, fault, message):
    os.makedirs(os.path.dirname(blob_files.path_for(str(tmp_path), "new")), mode=0o700)
    r = run_child(
        shim,
        tmp_path,
        [["open", BUDGET], ["put", "keep"], ["arm", fault], ["put", "new"], ["arm", ""], ["tmp"],
         ["get", "new"], ["get", "keep"], ["put", "new"], ["close"]],
    )
    assert r[3] == ({"ok": True} if message is None else error(message))
    assert r[5] == {"ok": []}
    assert r[6] == {"ok": "hit" if message is None else None}
    assert r[7:9] == [{"ok": "hit"}, {"ok": True}]
    reopen_and_check(tmp_path, must_hold=["keep", "new"])


@pytest.mark.parametrize(
    "fault, first, removal",
    [
        ("rename:1:EIO,unlink:1:EACCES", f"commit blob cache file: {os_error(EIO)}", EACCES),
        ("write:3:ENOSPC,unlink:1:EIO", f"write blob cache payload: {os_error(ENOSPC)}", EIO),
    ],
)
def test_unremovable_temp_file_goes_with_the_next_operation(shim, tmp_path, fault, first, removal):
    r = run_child(
        shim,
        tmp_path,
        [["open", BUDGET], ["arm", fault], ["put", "new"], ["arm", ""], ["tmp"], ["delete", "other"], ["tmp"],
         ["get", "new"], ["close"]],
    )
    assert r[2] == error(f"blob cache reconciliation failed: {first}; remove temporary file: {os_error(removal)}")
    assert len(r[4]["ok"]) == 1 and re.fullmatch(r"blob-\d+-\d+\.tmp", r[4]["ok"][0])
    assert r[5:8] == [{"ok": None}, {"ok": []}, {"ok": None}]
    reopen_and_check(tmp_path, may_hold=["new"])


def test_read_and_remove_failures_keep_the_blob(shim, tmp_path):
    rel = relative(tmp_path, "b")
    r = run_child(
        shim,
        tmp_path,
        [["open", BUDGET], ["put", "b"],
         ["arm", "open:1:EIO"], ["get", "b"], ["arm", ""], ["get", "b"],
         ["arm", "unlink:1:EACCES"], ["delete", "b"], ["arm", ""], ["get", "b"], ["close"]],
    )
    assert r[3] == error(f"open cache entry {rel}: {os_error(EIO)}")
    assert r[5] == {"ok": "hit"}
    assert r[7] == error(f"remove cache entry {rel}: {os_error(EACCES)}")
    assert r[9] == {"ok": "hit"}
    reopen_and_check(tmp_path, must_hold=["b"])


def test_failed_purge_is_retried_by_the_next_put(shim, tmp_path):
    r = run_child(
        shim,
        tmp_path,
        [["open", BUDGET], ["put", "old"], ["arm", "unlink:1+:EIO"], ["delete_all"], ["put", "new"],
         ["arm", ""], ["get", "old"], ["put", "new"], ["close"]],
    )
    assert r[3]["error"][0] == "RuntimeError" and r[3]["error"][1].startswith("purge blob cache ")
    assert r[3]["error"][1].endswith(os_error(EIO))
    assert r[4] == error(f"blob cache reconciliation failed: retry cache purge: {r[3]['error'][1]}")
    assert r[6:8] == [{"ok": None}, {"ok": True}]
    reopen_and_check(tmp_path, must_hold=["new"], may_hold=["old"])


def test_open_reports_a_failing_scan_and_recovers(shim, tmp_path):
    cache = NativeBlobCache(str(tmp_path), BUDGET, 0)
    assert cache.put("b", payload("b"))
    cache.close()
    r = run_child(shim, tmp_path, [["open", BUDGET], ["open", BUDGET], ["get", "b"]], fault="readdir:1+:EIO")
    assert r[0] == error(f"blob cache reconciliation failed: scan committed files: scan blob cache: {os_error(EIO)}")
    assert r[1] == r[0]
    reopen_and_check(tmp_path, must_hold=["b"])


# Each operation, run once to count its calls and then once per call with
# that call failing: (steps before it, the operation, blobs it must not lose).
SWEEPS = {
    "put": ([["put", "keep"]], ["put", "new"], ["keep"]),
    "get": ([["put", "keep"]], ["get", "keep"], []),
    "delete": ([["put", "keep"], ["put", "gone"]], ["delete", "gone"], ["keep"]),
    "delete_all": ([["put", "gone"]], ["delete_all"], []),
    "open": ([["put", "keep"], ["put", "other"], ["close"]], ["open", BUDGET], ["keep", "other"]),
}
ALL_IDS = ["keep", "new", "gone", "other", "after"]


@pytest.mark.parametrize("operation", SWEEPS)
def test_every_failure_point(shim, tmp_path, operation):
    before, action, must_hold = SWEEPS[operation]
    prefix = [["open", BUDGET], *before]
    counts = run_child(shim, tmp_path / "count", [*prefix, ["arm", ""], action, ["counts", *OPS]])[-1]["ok"]
    points = [(op, n) for op in OPS for n in range(1, counts[op] + 1)]
    assert points, counts
    codes = ("EIO", "ENOSPC", "EACCES")
    for i, (op, n) in enumerate(points):
        code = codes[i % len(codes)]
        directory = tmp_path / f"{op}-{n}"
        # A failed open is followed by one that must work; the others go on
        # in the same cache, so leftovers must go with the next operation.
        reopen = [["open", BUDGET]] if action[0] == "open" else []
        r = run_child(
            shim,
            directory,
            [*prefix, ["arm", f"{op}:{n}:{code}"], action, ["arm", ""], *reopen, ["put", "after"], ["tmp"],
             *[["get", blob_id] for blob_id in ALL_IDS], ["close"]],
        )
        where = f"{operation}: {op} call {n} failing with {code}"
        outcome = r[len(prefix) + 1]
        if "error" in outcome:
            kind, message = outcome["error"]
            assert kind == "RuntimeError" and os_error(getattr(errno, code)) in message, (where, outcome)
        rest = r[len(prefix) + 3 + len(reopen) :]
        assert rest[0] == {"ok": True}, (where, rest[0])
        assert rest[1] == {"ok": []}, (where, "temporary files", rest[1])
        assert all(g in ({"ok": None}, {"ok": "hit"}) for g in rest[2:-1]), (where, rest)
        reopen_and_check(directory, must_hold=[*must_hold, "after"], may_hold=ALL_IDS)


@pytest.fixture
def small_disk(tmp_path):
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount_point)], capture_output=True, text=True
    )
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {mounted.stderr.strip()}")
    yield mount_point
    subprocess.run(["umount", str(mount_point)], check=True)


def test_full_disk(small_disk):
    directory = str(small_disk / "cache")
    big = lambda blob_id: blob_id.encode() * (100_000 // len(blob_id))
    cache = NativeBlobCache(directory, BUDGET, 0)
    stored = []
    with pytest.raises(RuntimeError) as raised:
        for n in range(20):
            assert cache.put(f"big-{n}", big(f"big-{n}"))
            stored.append(f"big-{n}")
    assert str(raised.value).startswith("write blob cache payload: ")
    assert str(raised.value).endswith(os_error(ENOSPC))
    assert 5 <= len(stored) < 11
    assert blob_files.files(directory, "tmp") == []
    assert all(cache.get(blob_id) == big(blob_id) for blob_id in stored)
    cache.delete(stored[0])
    assert cache.put("big-again", big("big-again"))  # freed space is usable again
    cache.close()
    cache = NativeBlobCache(directory, BUDGET, 0)
    assert all(cache.get(blob_id) == big(blob_id) for blob_id in [*stored[1:], "big-again"])
    cache.close()


@pytest.fixture
def nobody_dir():
    """A directory owned by the unprivileged user, reachable through /tmp."""
    directory = tempfile.mkdtemp(prefix="qel-perm-")
    os.chown(directory, forked.NOBODY, forked.NOBODY)
    yield pathlib.Path(directory)
    shutil.rmtree(directory)


def denied(call):
    try:
        call()
    except RuntimeError as e:
        return str(e)
    return None


def unreadable_blob(d):
    cache = NativeBlobCache(str(d), BUDGET, 0)
    cache.put("b", payload("b"))
    os.chmod(blob_files.path_for(str(d), "b"), 0)
    message = denied(lambda: cache.get("b"))
    os.chmod(blob_files.path_for(str(d), "b"), 0o600)
    return [message, cache.get("b") == payload("b")]


def read_only_shard(d):
    cache = NativeBlobCache(str(d), BUDGET, 0)
    cache.put("b", payload("b"))
    shard = os.path.dirname(blob_files.path_for(str(d), "b"))
    os.chmod(shard, 0o500)
    message = denied(lambda: cache.delete("b"))
    kept = cache.get("b") == payload("b")
    os.chmod(shard, 0o700)
    cache.delete("b")
    return [message, kept and cache.get("b") is None]


def read_only_tmp(d):
    cache = NativeBlobCache(str(d), BUDGET, 0)
    os.chmod(d / "tmp", 0o500)
    message = denied(lambda: cache.put("b", payload("b")))
    os.chmod(d / "tmp", 0o700)
    return [message, cache.put("b", payload("b")) and cache.get("b") == payload("b")]


def uncreatable_root(d):
    os.chmod(d, 0o500)
    message = denied(lambda: NativeBlobCache(str(d / "cache"), BUDGET, 0))
    os.chmod(d, 0o700)
    return [message, not (d / "cache").exists()]


def unreadable_blob_at_open(d):
    NativeBlobCache(str(d), BUDGET, 0).put("b", payload("b"))
    os.chmod(blob_files.path_for(str(d), "b"), 0)
    message = denied(lambda: NativeBlobCache(str(d), BUDGET, 0))
    os.chmod(blob_files.path_for(str(d), "b"), 0o600)
    return [message, NativeBlobCache(str(d), BUDGET, 0).get("b") == payload("b")]


def undeletable_invalid_file(d):
    NativeBlobCache(str(d), BUDGET, 0).close()
    garbage = blob_files.path_for(str(d), "g")
    os.makedirs(os.path.dirname(garbage))
    with open(garbage, "wb") as f:
        f.write(b"not a blob file")
    os.chmod(os.path.dirname(garbage), 0o500)
    message = denied(lambda: NativeBlobCache(str(d), BUDGET, 0))
    still_there = os.path.exists(garbage)
    os.chmod(os.path.dirname(garbage), 0o700)
    NativeBlobCache(str(d), BUDGET, 0).close()
    return [message, still_there and not os.path.exists(garbage)]


@pytest.mark.parametrize(
    "scenario, message",
    [
        (unreadable_blob, "open cache entry {b}: {denied}"),
        (read_only_shard, "remove cache entry {b}: {denied}"),
        (read_only_tmp, "create blob cache temp file: {denied}"),
        (uncreatable_root, "create blob cache root: {denied}"),
        (unreadable_blob_at_open, "blob cache reconciliation failed: scan committed files: open cache entry {b}: {denied}"),
        (undeletable_invalid_file, "blob cache reconciliation failed: remove invalid file: remove cache entry {g}: {denied}"),
    ],
    ids=lambda v: getattr(v, "__name__", ""),
)
def test_denied_permission(nobody_dir, scenario, message):
    expected = message.format(b=relative(nobody_dir, "b"), g=relative(nobody_dir, "g"), denied=os_error(EACCES))
    assert forked.run(scenario, nobody_dir, as_nobody=True) == [expected, True]
