"""qel as fsspec's local tier: reads served from disk without asking the
remote, changed objects fetched again, the budget kept, one fetch for many
readers, one cache per directory, and a full or broken cache volume harmless.
Run against s3fs over a local S3 server and against fsspec's memory filesystem."""

import fcntl
import gc
import json
import logging
import math
import os
import random
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path
from unittest import mock

import fsspec
import pytest
from fsspec.implementations.memory import MemoryFileSystem

import blob_files
import forked
import s3_server
import qel
from qel._fetch_lock import FetchLock
from qel.fsspec import QelFileSystem

BUDGET = 8 << 20
BLOCK = 64 << 10  # the block size of most tests: large files of a few blocks
SIZES = {"whole": 5000, "blocks": 3 * BLOCK + 1234}  # one blob; four blocks, the last one partial

logging.getLogger("werkzeug").setLevel(logging.ERROR)


class Remote:
    """Files under a fresh root of a target (s3fs over the local server, or fsspec's memory filesystem); `log`
    lists the requests the target served, where a fetch of `path` appears as fetch(path)."""

    def __init__(self, protocol, options, log, fetch):
        self.protocol, self.options, self.log, self.fetch = protocol, options, log, fetch
        self.fs = fsspec.filesystem(protocol, **options)
        self.root = f"{'/remote' if protocol == 'memory' else 'bucket'}-{os.urandom(6).hex()}"
        self.fs.mkdir(self.root)

    def path(self, name):
        return f"{self.root}/{name}"

    def write(self, **files):
        time.sleep(0.001)  # a rewrite gets a later creation time
        self.fs.pipe({self.path(name): data for name, data in files.items()})

    def fetches(self, name):
        return self.log.count(self.fetch(self.path(name)))


def logged(log, name, method):
    """`method` of the memory filesystem, noting (name, path) in `log` for each call."""

    def call(fs, path, *args, **kwargs):
        log.append((name, fs._strip_protocol(path)))
        return method(fs, path, *args, **kwargs)

    return call


@pytest.fixture(autouse=True)
def close_filesystems():
    yield
    for fs in list(QelFileSystem._cache.values()):
        fs.close()


@pytest.fixture(scope="module")
def server():
    """One local S3 server for the module; every test has a bucket of its own."""
    with s3_server.serve(os.environ) as served:
        yield served


@pytest.fixture
def s3(server):
    """A fresh bucket on the local server, whose GETs are its fetches."""
    endpoint, counting = server
    return Remote("s3", s3_server.s3_options(endpoint), counting.requests, lambda path: ("GET", "/" + path))


@pytest.fixture
def memory(monkeypatch):
    """A fresh root on the memory filesystem, whose cat_file calls are its fetches."""
    log = []
    for name in ("cat_file", "info"):
        monkeypatch.setattr(MemoryFileSystem, name, logged(log, name, getattr(MemoryFileSystem, name)))
    return Remote("memory", {}, log, lambda path: ("cat_file", path))


@pytest.fixture(params=["s3", "memory"])
def remote(request):
    return request.getfixturevalue(request.param)


def qel_fs(remote, directory, max_bytes=BUDGET, **kwargs):
    return fsspec.filesystem("qel", target_protocol=remote.protocol, target_options=remote.options,
                             directory=str(directory), max_bytes=max_bytes, **kwargs)


def open_by_url(fs, path, mode):
    """`path` opened through a chained URL that reaches the tier of fs."""
    return fsspec.open(f"qel::{fs.target_protocol}://{path.lstrip('/')}", mode,
                       qel={"directory": fs._opened[0], "max_bytes": fs._opened[1], "block_size": fs.block_size},
                       **{fs.target_protocol: fs.target.storage_options})


def fetch_lock_modes(directory):
    """The permission bits of each fetch lock file in the cache at `directory`."""
    return [path.stat().st_mode & 0o777 for path in Path(directory, "tmp").glob("fetch-*")]


@pytest.mark.parametrize("fork", [False, True], ids=["threads", "processes"])
def test_readers_fetch_a_missing_file_once_and_for_themselves_when_that_fetch_fails(memory, tmp_path, monkeypatch,
                                                                                    fork):
    rng = random.Random(23)
    # Most files one blob, a few several blocks, each fetched by one request.
    files = {f"f{i:02d}": rng.randbytes(rng.randrange(1, 3 * BLOCK) if i % 4 == 0 else rng.randrange(1, BLOCK))
             for i in range(16)}
    memory.write(**files, a=b"payload" * 1000)
    log, waits, directory = tmp_path / "fetches", tmp_path / "waits", str(tmp_path / "cache")
    failing, original, real_flock = threading.local(), MemoryFileSystem.cat_file, fcntl.flock

    def note(path, line):  # in any process
        with open(path, "a") as f:
            f.write(line + "\n")

    def cat_file(fs, path, *args, **kwargs):  # logged as it starts and as it ends
        note(log, f"start {path}")
        time.sleep(0.02)
        if getattr(failing, "now", False):
            deadline = time.monotonic() + 60  # only turns a hang into a failure
            while waits.read_text().count("\n") < 2 and time.monotonic() < deadline:
                time.sleep(0.01)  # until both other readers wait for this fetch
            note(log, f"failed {path}")
            raise ConnectionError("remote went away")
        note(log, f"done {path}")
        return original(fs, path, *args, **kwargs)

    class Announced(threading.Event):  # a reader waiting on another thread's fetch says so
        def wait(self, timeout=None):
            if not self.is_set():
                note(waits, "thread")
            return super().wait(timeout)

    def flock(fd, operation):  # and one waiting on another process's fetch
        try:
            return real_flock(fd, operation | fcntl.LOCK_NB)
        except BlockingIOError:
            note(waits, "process")
            return real_flock(fd, operation)

    monkeypatch.setattr(MemoryFileSystem, "cat_file", cat_file)

    def read_all(i):
        fs = qel_fs(memory, directory, block_size=BLOCK)
        order = sorted(files, reverse=i % 2 == 1)  # two by two in opposite orders, so they meet halfway
        return [name for name in order if fs.cat_file(memory.path(name)) != files[name]]

    assert forked.together(4, read_all, fork=fork) == [[]] * 4
    assert sorted(line.split()[1] for line in log.read_text().splitlines() if line.startswith("start")) == sorted(
        map(memory.path, files))
    assert read_all(0) == [] and log.read_text().count("start") == 16 and fetch_lock_modes(directory) == []
    # The first reader's fetch fails once the others wait for it; they then fetch for themselves, once.
    seen = log.read_text().count("\n")
    waits.write_text("")
    monkeypatch.setattr(qel.fsspec, "_Fetch", lambda fetch=qel.fsspec._Fetch: fetch(done=Announced()))
    monkeypatch.setattr(fcntl, "flock", flock)

    def read_failing_first(i):
        failing.now = i == 0
        while i and log.read_text().count("\n") == seen:
            time.sleep(0.01)  # until the first reader is inside its fetch
        assert i == 0 or fetch_lock_modes(directory) == [0o600]
        return qel_fs(memory, directory, block_size=BLOCK).cat_file(memory.path("a"))

    failed, *fetched = forked.together(3, read_failing_first, fork=fork)
    assert isinstance(failed, ConnectionError) and fetched == [b"payload" * 1000] * 2
    assert [line.split()[0] for line in log.read_text().splitlines()[seen:]] == ["start", "failed", "start", "done"]
    assert fetch_lock_modes(directory) == []


def test_a_fetch_lock_removed_under_its_holder_is_not_taken_from_the_next(tmp_path):
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    first, second, third = [FetchLock(str(tmp_path), "k") for _ in range(3)]
    first.acquire()
    [name] = os.listdir(tmp)
    os.unlink(tmp / name)  # as a new open's tidy of tmp/ removes loose files
    second.acquire()  # a file of its own, not held by anyone
    first.release()
    assert os.listdir(tmp) == [name], "the first holder removed the second's lock file"
    waiting = threading.Thread(target=third.acquire)
    waiting.start()
    waiting.join(0.3)
    assert waiting.is_alive(), "the third did not wait for the second"
    second.release()
    waiting.join(30)
    assert not waiting.is_alive() and os.listdir(tmp) == [name], "the third took a file no longer at the path"
    third.release()
    assert os.listdir(tmp) == []


def test_filesystems_over_one_directory_share_one_cache_and_a_forked_child_opens_its_own(memory, tmp_path):
    memory.write(a=b"shared")
    path = memory.path("a")
    first, second = qel_fs(memory, tmp_path), qel_fs(memory, tmp_path, skip_instance_cache=True)
    assert [first.cat_file(path), second.cat_file(path)] == [b"shared"] * 2
    # The payload the first stored is the second's too, in memory.
    assert (second.stats().memory_hits, second.stats().hits, memory.fetches("a")) == (1, 0, 1)
    # Chained URLs of different paths share one filesystem, as fsspec keeps them all.
    (chained,) = {fsspec.core.url_to_fs(f"qel::memory://{memory.path(name)}", qel={"directory": str(tmp_path),
                                        "max_bytes": BUDGET})[0] for name in "ab"}
    assert chained._tier is first._tier
    chained.close()
    with pytest.raises(ValueError, match=r"already open in this process with max_bytes=8388608"):
        qel_fs(memory, tmp_path, max_bytes=BUDGET * 2)
    with pytest.raises(ValueError, match=r"durable=True and memory_bytes=134217728"):
        qel_fs(memory, tmp_path, memory_bytes=1 << 20)
    first.close()
    first.close()
    with pytest.raises(RuntimeError, match="blob cache is closed"):
        first.cat_file(path)
    assert second.cat_file(path) == b"shared"  # still open for the other
    again = qel_fs(memory, tmp_path)
    assert again is not first and again.cat_file(path) == b"shared"
    again.close()
    del second
    gc.collect()
    # Every user is gone, so the directory is free for another budget.
    third = qel_fs(memory, tmp_path, max_bytes=BUDGET * 2)
    assert third.cat_file(path) == b"shared"

    # A forked child opens the directory for itself; the parent's payload in memory is not the child's, so it is
    # read from the disk once, then from memory, also through the parent's filesystem the child inherited.
    def child():
        fresh = qel_fs(memory, tmp_path, max_bytes=BUDGET * 2)  # fsspec's instances are forgotten in a child
        read = [fresh.cat_file(path), third.cat_file(path)]
        return [payload.decode() for payload in read] + [fresh.stats().hits, fresh.stats().memory_hits]

    assert forked.run(child) == ["shared"] * 2 + [1, 1]


# fsspec's writes and removals under every name, with what each is given: the path of a file the tier holds an
# older version of, the new bytes, a local file holding them, or a file at the target holding them.
WRITES = {
    **dict.fromkeys(["pipe_file", "pipe", "write_bytes"], ("path", "data")),
    **dict.fromkeys(["put_file", "put", "upload"], ("local", "path")),
    **dict.fromkeys(["cp_file", "copy", "cp", "mv", "move", "rename"], ("source", "path")),
    **dict.fromkeys(["delete", "rm", "rm_file"], ("path",)),
}


def write_to(file, data):
    with file as f:
        f.write(data)


def write_behind(fs, path, data):
    fs.target.pipe_file(path, data)
    fs.invalidate_cache(path)


# The other ways to change it: by keyword, through an open file, and behind the tier's back (then told, or with
# a target that reports no version).
CHANGES = {
    "upload by keyword": lambda fs, path, data, local: fs.upload(lpath=local, rpath=path),
    "open wb": lambda fs, path, data, local: write_to(fs.open(path, "wb"), data),
    "open r+b": lambda fs, path, data, local: write_to(fs.open(path, "r+b"), data),
    "chained URL": lambda fs, path, data, local: write_to(open_by_url(fs, path, "wb"), data),
    "invalidate_cache": lambda fs, path, data, local: write_behind(fs, path, data),
    "unversioned": lambda fs, path, data, local: fs.target.pipe_file(path, data),
}


@pytest.mark.parametrize(("how", "size"), [*[(how, "blocks") for how in [*WRITES, *CHANGES]],
                                           ("invalidate_cache", "whole")])
def test_a_changed_file_is_never_served_from_the_old_blobs(remote, tmp_path, monkeypatch, how, size):
    if how == "open r+b" and remote.protocol == "s3":
        pytest.skip("S3 objects are not written in place")
    if how == "unversioned":  # reports neither a tag nor a time: read from the target every time
        overrides = dict.fromkeys(["ETag", "LastModified", "created"])
    else:  # a version the write leaves as it was (memory's clock may not tick): only dropping the old blobs helps
        overrides = {"ETag": "same"} if remote.protocol == "memory" and how != "invalidate_cache" else {}
    info = remote.fs.info
    monkeypatch.setattr(remote.fs, "info", lambda path, **kwargs: {  # None: left out
        key: value for key, value in {**info(path, **kwargs), **overrides}.items() if value is not None})
    old, new = b"o" * SIZES[size], b"n" * SIZES[size]  # same size
    remote.write(a=old, b=new)
    (tmp_path / "local").write_bytes(new)
    fs = qel_fs(remote, tmp_path / "cache", block_size=BLOCK)
    path, given = remote.path("a"), {"path": remote.path("a"), "data": new, "local": str(tmp_path / "local"),
                                     "source": remote.path("b")}
    assert fs.cat_file(path, 0, 100) == old[:100]
    assert fs.cat_file(path) == old and fs.open(path).read() == old
    if how in WRITES:
        getattr(fs, how)(*(given[name] for name in WRITES[how]))
    else:
        CHANGES[how](fs, path, new, given["local"])
    if how in ("delete", "rm", "rm_file"):
        with pytest.raises(FileNotFoundError):
            fs.cat_file(path)
        return
    assert fs.cat_file(path, 10, -10) == new[10:-10]
    assert fs.cat_file(path) == new
    with fs.open(path) as f:
        assert f.read() == new
    assert fs.ls(remote.root, detail=False) == remote.fs.ls(remote.root, detail=False)


FULL_DISK = """if True:
    import ctypes, json, sys
    from qel.fsspec import QelFileSystem
    fs = QelFileSystem(target_protocol="memory", directory=sys.argv[1], max_bytes=1 << 20)
    fs.pipe_file("/full/a", b"remote bytes" * 100)
    assert ctypes.CDLL(None).qel_fault_configure(b"write:1+:ENOSPC") == 0
    first = [fs.cat_file("/full/a"), fs.open("/full/a").read()]
    assert ctypes.CDLL(None).qel_fault_configure(b"") == 0
    then = [fs.cat_file("/full/a"), fs.cat_file("/full/a")]
    stats = fs.stats()
    print(json.dumps([first == then == [b"remote bytes" * 100] * 2, stats.cache_failures, stats.hits,
                      stats.memory_hits]))
"""


def test_a_full_disk_costs_the_cache_not_the_read(tmp_path):
    shim = os.environ.get("QEL_FAULT_SHIM",
                          str(Path(__file__).parents[2] / "build/test/tests/fault/libqel_fault_shim.so"))
    assert os.path.exists(shim), f"fault shim not built at {shim}: run make build, or set QEL_FAULT_SHIM"
    env = dict(os.environ, LD_PRELOAD=shim, QEL_FAULT_PREFIX=str(tmp_path))
    child = subprocess.run([sys.executable, "-c", FULL_DISK, str(tmp_path)], env=env, capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    # Served while the disk was full, stored once it had room (and so kept in memory), then a hit.
    assert json.loads(child.stdout) == [True, 2, 0, 1]
    assert "could not store" in child.stderr and "No space left on device" in child.stderr


@pytest.mark.parametrize(("option", "values", "message"), [
    ("check_interval", (-1, math.nan, math.inf), "check_interval must be a finite number of seconds"),
    ("block_size", (0, 1.5, True), "block_size must be a positive number of bytes"),
    ("memory_bytes", (-1, 1.5, True), "memory_bytes must be a number of bytes"),
])
def test_options_out_of_range_are_refused(memory, tmp_path, option, values, message):
    for value in values:
        with pytest.raises(ValueError, match=message):
            qel_fs(memory, tmp_path, **{option: value})


def read_methods(out):
    """Every read fsspec offers, each giving what it read as bytes; those that copy a file copy it to `out`."""

    def copied(copy):
        copy()
        return out.read_bytes()

    def via_read_buffer(fs, path):  # what pyarrow calls
        with fs.open(path, "rb") as f:
            first = f.read_buffer(10)
            assert len(first.obj) == min(f.size, BLOCK)  # a view of the blob's payload, not a copy
            assert first.readonly  # nor one through which a reader could change it for the next
            return b"".join([first, *(f.read_buffer(n) for n in (BLOCK, -1, 1))])

    return {
        "cat_file": lambda fs, path: fs.cat_file(path),
        "cat": lambda fs, path: fs.cat(path),
        "cat_ranges": lambda fs, path: b"".join(fs.cat_ranges([path] * 2, [0, 10], [10, None])),
        "read_bytes": lambda fs, path: fs.read_bytes(path),
        "read_text": lambda fs, path: fs.read_text(path, encoding="latin-1", newline="").encode("latin-1"),
        "read_block": lambda fs, path: fs.read_block(path, 0, 1 << 30),
        "head": lambda fs, path: fs.head(path, 1 << 30),
        "tail": lambda fs, path: fs.tail(path, 1 << 30),
        "open": lambda fs, path: fs.open(path, "rb").read(),
        "open text": lambda fs, path: fs.open(path, "r", encoding="latin-1", newline="").read().encode("latin-1"),
        "open br": lambda fs, path: fs.open(path, "br").read(),
        "open read_buffer": via_read_buffer,
        "open with block_size and cache_type": lambda fs, path: fs.open(
            path, "rb", block_size=5, cache_type="bytes", cache_options={"trim": False}).read(),
        "get_file": lambda fs, path: copied(lambda: fs.get_file(path, str(out))),
        "get": lambda fs, path: copied(lambda: fs.get(path, str(out))),
        "download": lambda fs, path: copied(lambda: fs.download(path, str(out))),
        "get_file to a file object": lambda fs, path: copied(lambda: fs.get_file(path, out.open("wb"))),
        "get_mapper": lambda fs, path: fs.get_mapper(path.rsplit("/", 1)[0])[path.rsplit("/", 1)[1]],
    }


@pytest.mark.parametrize("mapped", [False, True], ids=["on the heap", "mapped"])
@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("method", read_methods(Path("/")))
def test_every_read_method_is_served_from_the_cache_the_second_time(remote, tmp_path, monkeypatch, method, size,
                                                                    mapped):
    if mapped:  # payloads kept in memory in mappings of their own, as large ones are
        monkeypatch.setattr(qel.fsspec, "MAPPED_PAYLOAD_BYTES", 1)
    data = random.Random(size).randbytes(SIZES[size])
    remote.write(a=data)
    read, path = read_methods(tmp_path / "out")[method], remote.path("a")
    fs = qel_fs(remote, tmp_path / "cache", block_size=BLOCK)
    got = [read(fs, path)]
    before = len(remote.log)
    got.append(read(fs, path))
    assert len(remote.log) == before and fs.stats().blobs == (1 if size == "whole" else 4)
    # And from the disk, after a restart, with the path's version asked once.
    fs.close()
    fs = qel_fs(remote, tmp_path / "cache", block_size=BLOCK)
    got.append(read(fs, path))
    assert len(remote.log) == before + 1
    # Each blob read from the disk once, however often the method touches it, then from memory.
    got.append(read(fs, path))
    stats = fs.stats()
    assert (stats.hits, stats.misses) == (stats.blobs, 0) and stats.memory_hits >= stats.blobs
    assert [(type(each), each) for each in got] == [(bytes, data)] * 4  # never a view of what memory keeps


# (start, end) of reads against the file of SIZES["blocks"], and the blocks each touches.
RANGES = [
    ((0, 10), [0]), ((0, BLOCK), [0]), ((BLOCK - 1, BLOCK + 1), [0, 1]), ((BLOCK, 2 * BLOCK), [1]),
    ((10, 3 * BLOCK + 5), [0, 1, 2, 3]), ((3 * BLOCK, None), [3]), ((3 * BLOCK + 1233, None), [3]),
    ((-5, None), [3]), ((2 * BLOCK + 7, 1 << 30), [2, 3]), ((1 << 30, None), []), ((100, 50), []),
    ((-BLOCK - 1, -BLOCK), [2]),
]


@pytest.mark.parametrize(("where", "blocks"), RANGES)
def test_ranged_reads_fetch_the_blocks_they_touch_and_match_the_file(remote, tmp_path, where, blocks):
    data = random.Random(7).randbytes(SIZES["blocks"])
    remote.write(a=data)
    path, (start, end), expected = remote.path("a"), where, data[slice(*where)]
    fs = qel_fs(remote, tmp_path, block_size=BLOCK)
    assert fs.cat_file(path, start, end) == expected
    assert remote.fetches("a") == (1 if blocks else 0)  # neighbours in one request
    on_disk = {}
    for blob_id, payload in blob_files.check_disk(str(tmp_path)).items():
        protocol, held, version, block = json.loads(blob_id.removeprefix("fsspec:"))
        assert (protocol, held, version.split()[0]) == (remote.protocol, path, f"size={len(data)}")
        on_disk[block] = payload
    assert on_disk == {f"block {b} of {BLOCK}": data[b * BLOCK:(b + 1) * BLOCK] for b in blocks}
    # Through a file, from the cache now.
    with fs.open(path) as f:
        f.seek(start if start >= 0 else len(data) + start)
        assert f.read(len(expected)) == expected
    assert remote.fetches("a") == (1 if blocks else 0)


def test_sequential_reads_fetch_ahead_and_random_ones_do_not(memory, tmp_path, monkeypatch):
    # Payloads kept as they are when memory cannot map them, as when vm.max_map_count is reached.
    monkeypatch.setattr(qel.fsspec, "MAPPED_PAYLOAD_BYTES", 1)
    monkeypatch.setattr(qel.fsspec.mmap, "mmap", mock.Mock(side_effect=OSError(12, "Cannot allocate memory")))
    data = random.Random(3).randbytes(8 * BLOCK)
    memory.write(a=data)
    fs = qel_fs(memory, tmp_path, block_size=BLOCK)
    with fs.open(memory.path("a")) as f:
        assert f.read(100) == data[:100]  # the start: no sign of a sequential read yet
        assert memory.fetches("a") == 1 and fs.stats().blobs == 1
        assert b"".join(f.read(BLOCK) for _ in range(8)) == data[100:]
    # Each fetch after the first brings the block read and the next one.
    assert memory.fetches("a") == 1 + 4 and fs.stats().blobs == 8
    with fs.open(memory.path("a")) as f:
        f.seek(5 * BLOCK)
        assert f.read(10) == data[5 * BLOCK:5 * BLOCK + 10]
    assert (memory.fetches("a"), fs.stats().memory_hits) == (5, 4)


def test_block_blobs_keep_to_the_budget_and_a_blob_over_it_is_never_kept(remote, tmp_path):
    budget, memory = 6 * BLOCK, 2 * BLOCK + 100
    rng = random.Random(13)
    files = {f"f{i}": rng.randbytes(rng.randrange(BLOCK // 2, 5 * BLOCK)) for i in range(8)}
    remote.write(**files)
    fs = qel_fs(remote, tmp_path, max_bytes=budget, block_size=BLOCK, memory_bytes=memory)

    def reads(seed):  # threads evicting from the disk and from memory under each other
        rng = random.Random(seed)
        for _ in range(50):
            name = rng.choice(sorted(files))
            start = rng.randrange(len(files[name]))
            end = start + rng.randrange(1, 2 * BLOCK)
            assert fs.cat_file(remote.path(name), start, end) == files[name][start:end]
            assert fs.stats().memory_bytes <= memory

    assert forked.together(3, reads) == [None] * 3
    stats = fs.stats()
    assert stats.bytes <= budget and stats.evictions + stats.puts_refused > 0 and stats.hits > 0
    assert stats.memory_hits > 0 and stats.memory_bytes > BLOCK
    assert sum(os.path.getsize(p) for p in blob_files.files(str(tmp_path), "blobs")) <= budget
    held = blob_files.check_disk(str(tmp_path))
    for blob_id, payload in held.items():
        _, path, _, *block = json.loads(blob_id.removeprefix("fsspec:"))
        index = int(block[0].split()[1]) if block else 0
        assert payload == files[path.rsplit("/", 1)[1]][index * BLOCK:(index + 1) * BLOCK]
    # A file of one blob larger than the budget is served from the target, never offered to the cache.
    big = rng.randbytes(budget)
    remote.write(big=big)
    whole = qel_fs(remote, tmp_path, max_bytes=budget, block_size=budget, memory_bytes=memory)
    assert (whole.cat_file(remote.path("big")), whole.cat_file(remote.path("big"), -100)) == (big, big[-100:])
    assert (fs.stats(), blob_files.check_disk(str(tmp_path))) == (stats, held)


def test_many_small_files_in_memory_keep_to_its_bound(memory, tmp_path):
    memory.write(**{f"f{i}": bytes([i]) for i in range(40)})
    fs = qel_fs(memory, tmp_path, memory_bytes=4096)
    for i in [*range(40)] * 2:
        assert fs.cat_file(memory.path(f"f{i}")) == bytes([i])
        assert 0 < fs.stats().memory_bytes <= 4096
    # Each entry counts for more than its payload: the last few stay, and a pass in order finds none.
    assert fs.stats().memory_hits == 0 and len(fs._tier.recent.payloads) < 40 // 2


def test_info_is_answered_within_the_interval_and_asked_after_it(remote, tmp_path, monkeypatch):
    now = [1000.0]  # the tier's clock, moved by hand
    monkeypatch.setattr(qel.fsspec, "time", mock.Mock(monotonic=lambda: now[0]))
    remote.write(a=b"x" * 100)
    path, missing = remote.path("a"), remote.path("b")
    fs = qel_fs(remote, tmp_path, check_interval=0.5)
    first, before = fs.info(path), len(remote.log)
    assert (fs.info(path), fs.exists(path), fs.isfile(path), fs.isdir(path), fs.size(path)) == (first, True, True,
                                                                                                False, 100)
    assert fs.cat_file(path) == b"x" * 100 and len(remote.log) == before + 1  # fetched, with no look-up
    remote.write(a=b"y" * 50)
    before = len(remote.log)
    now[0] += 0.25
    assert fs.info(path)["size"] == 100  # a change elsewhere is seen after the interval
    now[0] += 0.25
    assert fs.info(path)["size"] == 50 and len(remote.log) == before + 1
    assert fs.stats().memory_bytes == 0  # the old version's payload left memory with it
    assert fs.cat_file(path) == b"y" * 50
    # A missing path is remembered as missing, until a write through the tier.
    assert not fs.exists(missing)
    fs.pipe_file(missing, b"new")
    assert fs.exists(missing) and fs.cat_file(missing) == b"new"


def test_reads_with_a_target_version_stay_uncached_and_exact(s3, tmp_path):
    s3.fs.call_s3("put_bucket_versioning", Bucket=s3.root, VersioningConfiguration={"Status": "Enabled"})
    s3.write(a=b"first")
    first = s3.fs.info(s3.path("a"))["VersionId"]
    s3.write(a=b"second")
    s3.options = {**s3.options, "version_aware": True}
    fs = qel_fs(s3, tmp_path)
    assert fs.cat_file(s3.path("a")) == b"second"
    assert fs.cat_file(s3.path("a"), version_id=first) == b"first"
    with fs.open(s3.path("a"), version_id=first) as f:
        assert f.read() == b"first"
    assert fs.cat_file(s3.path("a")) == b"second"
    assert fs.stats().blobs == 1 and s3.fetches("a") == 3


@pytest.mark.parametrize("how", ["async filesystem", "URL"])
def test_zarr_reads_through_the_tier_and_a_second_pass_asks_nothing(remote, tmp_path, how):
    import numpy as np
    import zarr
    from zarr.storage import FsspecStore

    fs, path = qel_fs(remote, tmp_path), remote.path("array")
    data = np.arange(40 * 50, dtype="int32").reshape(40, 50)
    # Written through the tier, to the target.
    zarr.create_array(fs.get_mapper(path), shape=data.shape, chunks=(10, 10), dtype="int32")[:] = data

    def open_array():
        if how == "URL":
            return zarr.open_array(f"qel::{remote.protocol}://{path.lstrip('/')}", mode="r", storage_options={
                "qel": {"directory": str(tmp_path), "max_bytes": BUDGET}, remote.protocol: remote.options})
        return zarr.open_array(FsspecStore(fs.to_async(), path=path, read_only=True), mode="r")

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert (open_array()[:] == data).all()
        before = len(remote.log)
        assert (open_array()[5:25, 15:35] == data[5:25, 15:35]).all()
        assert (open_array()[:] == data).all()
    assert len(remote.log) == before, remote.log[before:]
    assert fs.stats().blobs == 20 + 1  # the chunks and the array's metadata
