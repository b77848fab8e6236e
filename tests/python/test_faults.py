"""Failing system calls, a full disk, denied permissions: each is a RuntimeError naming its step, no crash,
no temp file past the next put, delete, delete_all or close, no wrong bytes, and a reopen recovers. Calls
fail through tests/fault/fault_shim.c, preloaded into a child interpreter (QEL_FAULT_SHIM: where it is)."""

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

from qel._native import NativeBlobCache

import blob_files
import forked
from blob_files import path_for, payload

HERE = pathlib.Path(__file__).resolve().parent
SHIM = os.environ.get("QEL_FAULT_SHIM", str(HERE.parent.parent / "build/test/tests/fault/libqel_fault_shim.so"))
BUDGET = 1 << 24
OPEN = ["open", BUDGET]
EIO, ENOSPC, EACCES = errno.EIO, errno.ENOSPC, errno.EACCES


def os_error(code):
    return f"{os.strerror(code)} (os error {code})"


def ok(value):
    return {"ok": value}


def error(message):
    return {"error": ["RuntimeError", message]}


def play(directory, script):
    """Runs script's steps, [op, ...] or ([op, ...], result or predicate), in a shimmed child."""
    assert os.path.exists(SHIM), f"fault shim not built at {SHIM}: run make build, or set QEL_FAULT_SHIM"
    steps = [s[0] if isinstance(s, tuple) else s for s in script]
    env = dict(os.environ, LD_PRELOAD=SHIM, QEL_FAULT_PREFIX=str(directory))
    proc = subprocess.run([sys.executable, str(HERE / "fault_child.py"), json.dumps({"dir": str(directory), "steps": steps})],
                          env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr}"
    results = [json.loads(line) for line in proc.stdout.splitlines()]
    assert len(results) == len(steps), proc.stderr
    for step, got in zip(script, results):
        if isinstance(step, tuple):
            assert step[1](got) if callable(step[1]) else got == step[1], (step[0], got)


def reopen_and_check(directory, must_hold=(), may_hold=(), data=payload):
    """Without the shim: no temp file, every file verifies, blobs read back (may_hold: or not at all)."""
    blob_files.check_disk(directory)
    cache = NativeBlobCache(str(directory), BUDGET, 0)
    for blob_id in [*must_hold, *may_hold]:
        assert cache.get(blob_id) in ([data(blob_id)] + [None] * (blob_id not in must_hold)), blob_id
    cache.close()


def put_fails(fault, message):
    """A put with fault armed fails naming its step (message None: succeeds); nothing is left of it."""
    return [(["put", "keep"], ok(True)), ["arm", fault], (["put", "new"], error(message) if message else ok(True)),
            ["arm", ""], (["tmp"], ok([])), (["get", "new"], ok(None if message else "hit")),
            (["get", "keep"], ok("hit")), (["put", "new"], ok(True))], ["keep", "new"], []


def one_temp_file(result):
    return len(result["ok"]) == 1 and re.fullmatch(r"blob-\d+-\d+\.tmp", result["ok"][0])


def reconciliation(message):
    return error(f"blob cache reconciliation failed: {message}")


def failed_with(prefix, code=EIO):
    return lambda r: "error" in r and r["error"][1].startswith(prefix) and r["error"][1].endswith(os_error(code))


LISTING_FAILED = reconciliation(f"purge interrupted writes: purge blob cache temp directory: {os_error(EIO)}")
# A failed read or removal keeping its blob is test_denied_permission's.
SCENARIOS = {  # steps after an open, and the blobs that must / may survive
    # With the shard of "new" in place, a put opens it and its own directory
    # in tmp below the root the cache holds open before its temp file, the
    # first thing it closes.
    **{fault: put_fails(fault, message) for fault, message in [
        ("open:1:EACCES", f"create blob cache shard: {os_error(EACCES)}"),
        ("open:3:EACCES", f"create blob cache temp file: {os_error(EACCES)}"),
        ("write:1:ENOSPC", f"write blob cache header: {os_error(ENOSPC)}"),
        ("write:2:ENOSPC", f"write blob cache ID: {os_error(ENOSPC)}"),
        ("write:3:EIO", f"write blob cache payload: {os_error(EIO)}"),
        ("fsync:1:EIO", f"flush blob cache temp file: {os_error(EIO)}"),
        ("rename:1:EACCES", f"commit blob cache file: {os_error(EACCES)}"),
        ("close:1:EIO", None),  # the file is complete and synced by then
    ]},
    "unremovable temp files, gone with the next delete or close": ([
        ["arm", "rename:1:EIO,unlink:1:EACCES"],
        (["put", "new"], reconciliation(f"commit blob cache file: {os_error(EIO)}; remove temporary file: {os_error(EACCES)}")),
        ["arm", ""], (["tmp"], one_temp_file), (["delete", "other"], ok(None)), (["tmp"], ok([])),
        ["arm", "write:3:ENOSPC,unlink:1:EIO"],
        (["put", "new"], reconciliation(f"write blob cache payload: {os_error(ENOSPC)}; remove temporary file: {os_error(EIO)}")),
        ["arm", ""], (["tmp"], one_temp_file), (["get", "new"], ok(None)), (["close"], ok(None)), (["tmp"], ok([])),
    ], [], ["new"]),
    "failed purge is retried by the next put": ([
        ["put", "old"], ["arm", "unlink:1+:EIO"], (["delete_all"], failed_with("purge blob cache ")),
        (["put", "new"], failed_with("blob cache reconciliation failed: retry cache purge: purge blob cache ")),
        ["arm", ""], (["get", "old"], ok(None)), (["put", "new"], ok(True)),
    ], ["new"], ["old"]),
    "temp names taken by links": ([  # each put tries a run of names, past them; the first put took name 0
        ["put", "keep"],
        (["put_past_links", "new", 4096], error("create blob cache temp file: temporary filename attempts exhausted")),
        (["tmp"], ok([])), (["put", "new"], ok(True)),
    ], ["keep", "new"], []),
    "failing listing at open": ([
        ["put", "b"], ["close"], ["arm", "readdir:1+:EIO"], (OPEN, LISTING_FAILED), (OPEN, LISTING_FAILED),
    ], ["b"], []),
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_failure_scenario(tmp_path, scenario):
    script, must_hold, may_hold = SCENARIOS[scenario]
    os.makedirs(os.path.dirname(path_for(str(tmp_path), "new")), mode=0o700)
    play(tmp_path, [OPEN, *script, ["close"]])
    reopen_and_check(tmp_path, must_hold, may_hold)


def test_full_disk(tmp_path):
    directory, stored = str(tmp_path / "cache"), []
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(tmp_path)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {mounted.stderr.strip()}")
    try:
        big = lambda blob_id: payload(blob_id, 100_000 // len(blob_id))
        cache = NativeBlobCache(directory, BUDGET, 0)
        with pytest.raises(RuntimeError, match=f"^write blob cache payload: {re.escape(os_error(ENOSPC))}$"):
            for n in range(20):
                assert cache.put(f"big-{n}", big(f"big-{n}"))
                stored.append(f"big-{n}")
        assert 5 <= len(stored) < 11 and blob_files.files(directory, "tmp") == []
        assert all(cache.get(blob_id) == big(blob_id) for blob_id in stored)
        cache.delete(stored.pop(0))
        assert cache.put("big-again", big("big-again"))  # freed space is usable again
        cache.close()
        reopen_and_check(directory, must_hold=[*stored, "big-again"], data=big)
    finally:
        subprocess.run(["umount", "--lazy", str(tmp_path)], check=True)  # a failed test may still hold files open


@pytest.fixture
def nobody_dir():
    """A directory owned by the unprivileged user, reachable through /tmp."""
    directory = tempfile.mkdtemp(prefix="qel-perm-")
    os.chown(directory, forked.NOBODY, forked.NOBODY)
    yield pathlib.Path(directory)
    shutil.rmtree(directory)


ACTIONS = {  # each is True once it works
    "get": lambda d, cache: cache.get("b") == payload("b"),
    "delete": lambda d, cache: cache.get("b") == payload("b") and cache.delete("b") is None and cache.get("b") is None,
    "put": lambda d, cache: cache.put("c", payload("c")) and cache.get("c") == payload("c"),
    "open": lambda d, cache: NativeBlobCache(str(d), BUDGET, 0).get("b") == payload("b"),
    "create": lambda d, cache: NativeBlobCache(str(d / "sub"), BUDGET, 0).close() is None,
}


def denied(d, target, action):
    """As nobody: action's error while target is locked, whether it works once not, whether garbage went."""
    cache = NativeBlobCache(str(d), BUDGET, 0)
    assert cache.put("b", payload("b"))
    garbage = path_for(str(d), "g")
    if target == "g/":
        os.makedirs(os.path.dirname(garbage))
        pathlib.Path(garbage).write_bytes(b"not a blob file")
    if action == "open":
        cache.close()
    path = {"b": path_for(str(d), "b"), "b/": os.path.dirname(path_for(str(d), "b")),
            "g/": os.path.dirname(garbage), "tmp": next((d / "tmp").iterdir(), None), ".": d}[target]
    old = os.stat(path).st_mode
    os.chmod(path, 0o500 if os.path.isdir(path) else 0)
    message = forked.error_of(lambda: ACTIONS[action](d, cache))
    os.chmod(path, old)
    return [message, ACTIONS[action](d, cache), not os.path.exists(garbage)]


@pytest.mark.parametrize("target, action, message", [
    ("b", "get", "open cache entry {b}"),
    ("b/", "delete", "remove cache entry {b}"),
    ("tmp", "put", "create blob cache temp file"),  # the writer's own directory in tmp
    (".", "create", "create blob cache root"),
    ("g/", "open", "blob cache reconciliation failed: remove invalid file: remove cache entry {g}"),
])
def test_denied_permission(nobody_dir, target, action, message):
    expected = message.format(b=path_for("", "b"), g=path_for("", "g")) + ": " + os_error(EACCES)
    assert forked.run(denied, nobody_dir, target, action, as_nobody=True) == [expected, True, True]


def test_hostile_directories_without_openat2():
    """The hostile-directory suite again as on a kernel older than openat2: the fallback's walk, one
    link-refusing open per component, must keep the cache inside its directory just as well."""
    assert os.path.exists(SHIM), f"fault shim not built at {SHIM}: run make build, or set QEL_FAULT_SHIM"
    env = dict(os.environ, LD_PRELOAD=SHIM, QEL_FAULT="openat2:1+:ENOSYS", PYTHONPATH=str(HERE))
    ran = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(HERE / "test_hostile.py")],
                         env=env, capture_output=True, text=True, timeout=600)
    assert ran.returncode == 0, ran.stdout[-4000:] + ran.stderr[-2000:]
