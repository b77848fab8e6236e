"""qel as fsspec's local tier: reads served from disk without asking the
remote, changed objects fetched again, the budget kept, one fetch for many
readers, one cache per directory, and a full or broken cache volume harmless.
Run against s3fs over a local S3 server and against fsspec's memory filesystem."""

import gc
import json
import logging
import math
import os
import random
import stat
import subprocess
import sys
import threading
import time
import types
import uuid
import warnings
from pathlib import Path

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

logging.getLogger("werkzeug").setLevel(logging.ERROR)


class Remote:
    def path(self, name):
        return f"{self.root}/{name}"


class S3Remote(Remote):
    """Objects in a fresh bucket on the local server; counts its GETs."""

    protocol = "s3"

    def __init__(self, endpoint, counting):
        self.counting = counting
        self.options = s3_server.s3_options(endpoint)
        self.fs = fsspec.filesystem("s3", **self.options)
        self.root = f"bucket-{uuid.uuid4().hex[:12]}"
        self.fs.mkdir(self.root)

    def write(self, name, data):
        self.fs.pipe_file(self.path(name), data)

    def fetches(self, name):
        return sum(1 for method, p in self.counting.requests if method == "GET" and p == "/" + self.path(name))

    def requests(self):
        return self.counting.count()


class MemoryRemote(Remote):
    """Files under a fresh root of the memory filesystem; counts cat_file calls."""

    protocol = "memory"
    options = {}

    def __init__(self, monkeypatch):
        self.fs = MemoryFileSystem()
        self.root = f"/remote-{uuid.uuid4().hex[:12]}"
        self.calls = []
        original_cat, original_info = MemoryFileSystem.cat_file, MemoryFileSystem.info

        def cat_file(fs, path, *args, **kwargs):
            self.calls.append(("cat", fs._strip_protocol(path)))
            return original_cat(fs, path, *args, **kwargs)

        def info(fs, path, **kwargs):
            self.calls.append(("info", fs._strip_protocol(path)))
            return original_info(fs, path, **kwargs)

        monkeypatch.setattr(MemoryFileSystem, "cat_file", cat_file)
        monkeypatch.setattr(MemoryFileSystem, "info", info)

    def write(self, name, data):
        time.sleep(0.001)  # a rewrite gets a later creation time
        self.fs.pipe_file(self.path(name), data)

    def fetches(self, name):
        return self.calls.count(("cat", self.path(name)))

    def requests(self):
        return len(self.calls)


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


@pytest.fixture(params=["s3", "memory"])
def remote(request, monkeypatch):
    if request.param == "memory":
        return MemoryRemote(monkeypatch)
    return S3Remote(*request.getfixturevalue("server"))


@pytest.fixture
def s3(server):
    return S3Remote(*server)


def qel_fs(remote, directory, max_bytes=BUDGET, **kwargs):
    return fsspec.filesystem("qel", target_protocol=remote.protocol, target_options=remote.options,
                             directory=str(directory), max_bytes=max_bytes, **kwargs)


def open_read(remote, directory, name, max_bytes=BUDGET):
    url = f"qel::{remote.protocol}://{remote.path(name).lstrip('/')}"
    with fsspec.open(url, qel={"directory": str(directory), "max_bytes": max_bytes},
                     **{remote.protocol: remote.options}) as f:
        return f.read()


def test_file_over_the_budget_is_served_not_kept(remote, tmp_path):
    budget = 64 << 10
    big, small = os.urandom(budget), os.urandom(1000)
    remote.write("big", big)
    remote.write("small", small)
    fs = qel_fs(remote, tmp_path, max_bytes=budget)
    for _ in range(2):
        assert open_read(remote, tmp_path, "big", max_bytes=budget) == big
        assert fs.cat_file(remote.path("big")) == big
        assert fs.cat_file(remote.path("big"), -100) == big[-100:]
    assert fs.cat_file(remote.path("small")) == small
    stats = fs.stats()
    assert (stats.blobs, stats.puts_admitted, stats.misses) == (1, 1, 1)  # the large file never reaches the cache
    assert remote.fetches("big") >= 4
    assert blob_files.check_disk(str(tmp_path)) and all(
        payload == small for payload in blob_files.check_disk(str(tmp_path)).values())


def test_concurrent_readers_of_a_missing_file_fetch_it_once(remote, tmp_path):
    data = os.urandom(2 << 20)
    remote.write("a", data)
    assert forked.together(8, lambda i: open_read(remote, tmp_path, "a")) == [data] * 8
    assert remote.fetches("a") == 1


def test_readers_waiting_on_a_failed_fetch_fetch_for_themselves(tmp_path, monkeypatch):
    remote = MemoryRemote(monkeypatch)
    remote.write("a", b"payload" * 1000)
    original, failures = MemoryFileSystem.cat_file, []
    waiting, real_wait = threading.Semaphore(0), threading.Event.wait

    def counted_wait(event, timeout=None):
        if threading.current_thread() is not threading.main_thread():
            waiting.release()
        return real_wait(event, timeout)

    def flaky(fs, path, *args, **kwargs):
        if not failures:
            failures.append(path)
            for _ in range(3):  # the other readers wait for this fetch; the timeout only turns a hang into a failure
                assert waiting.acquire(timeout=60)
            raise ConnectionError("remote went away")
        return original(fs, path, *args, **kwargs)

    monkeypatch.setattr(threading.Event, "wait", counted_wait)
    monkeypatch.setattr(MemoryFileSystem, "cat_file", flaky)
    fs = qel_fs(remote, tmp_path)
    outcomes = forked.together(4, lambda i: fs.cat_file(remote.path("a")))
    assert sorted(map(type, outcomes), key=str) == [ConnectionError] + [bytes] * 3
    assert all(o == b"payload" * 1000 for o in outcomes if isinstance(o, bytes))


def fetch_lock_files(directory):
    return [name for name in os.listdir(os.path.join(directory, "tmp")) if name.startswith("fetch-")]


def log_fetches(monkeypatch, log, pause, fail=lambda: False):
    """Makes every fetch from the memory filesystem, in any process, append
    a line to `log` as it starts and as it ends, and last `pause` seconds."""
    original = MemoryFileSystem.cat_file

    def cat_file(fs, path, *args, **kwargs):
        with open(log, "a") as f:
            f.write(f"{os.getpid()} start {path}\n")
        time.sleep(pause)
        failed = fail()
        with open(log, "a") as f:
            f.write(f"{os.getpid()} {'failed' if failed else 'done'} {path}\n")
        if failed:
            raise ConnectionError("remote went away")
        return original(fs, path, *args, **kwargs)

    monkeypatch.setattr(MemoryFileSystem, "cat_file", cat_file)


def test_processes_reading_the_same_missing_files_fetch_each_once(tmp_path, monkeypatch):
    remote = MemoryRemote(monkeypatch)
    rng = random.Random(23)
    # Most files one blob, a few several blocks, each fetched by one request.
    files = {f"f{i:02d}": rng.randbytes(rng.randrange(1, 3 * BLOCK) if i % 4 == 0 else rng.randrange(1, BLOCK))
             for i in range(16)}
    for name, data in files.items():
        remote.write(name, data)
    log = tmp_path / "fetches"
    log_fetches(monkeypatch, log, pause=0.02)

    def read(i):
        fs = qel_fs(remote, tmp_path / "cache", block_size=BLOCK)
        order = sorted(files, reverse=i % 2 == 1)  # two by two in opposite orders, so they meet halfway
        return [name for name in order if fs.cat_file(remote.path(name)) != files[name]]

    assert forked.together(4, read, fork=True) == [[]] * 4
    fetched = [line.split()[2] for line in log.read_text().splitlines() if line.split()[1] == "start"]
    assert sorted(fetched) == sorted(remote.path(name) for name in files)
    assert fetch_lock_files(str(tmp_path / "cache")) == []
    fs = qel_fs(remote, tmp_path / "cache", block_size=BLOCK)
    assert all(fs.cat_file(remote.path(name)) == data for name, data in files.items())
    assert log.read_text().count(" start ") == 16


def test_a_process_waiting_on_a_failed_fetch_fetches_for_itself(tmp_path, monkeypatch):
    remote = MemoryRemote(monkeypatch)
    remote.write("a", b"payload" * 1000)
    log, directory = tmp_path / "fetches", str(tmp_path / "cache")
    failing = []  # set in the one reader whose fetch fails
    log_fetches(monkeypatch, log, pause=0.5, fail=lambda: bool(failing))
    qel_fs(remote, directory).close()  # the directory exists before the readers start

    def read(i):
        if i == 0:
            failing.append(True)
        else:
            while " start " not in (log.read_text() if log.exists() else ""):
                time.sleep(0.01)  # until the first reader is inside its fetch
            held = [(name, os.stat(os.path.join(directory, "tmp", name)).st_mode & 0o777)
                    for name in fetch_lock_files(directory)]
            assert len(held) == 1 and held[0][1] == 0o600, held
        return qel_fs(remote, directory).cat_file(remote.path("a"))

    failed, fetched = forked.together(2, read, fork=True)
    assert isinstance(failed, ConnectionError) and fetched == b"payload" * 1000
    # The second reader waited for the first's fetch to end before its own began.
    assert [line.split()[1] for line in log.read_text().splitlines()] == ["start", "failed", "start", "done"]
    assert fetch_lock_files(directory) == []


def test_a_fetch_lock_removed_under_its_holder_is_not_taken_from_the_next(tmp_path):
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    first = FetchLock(str(tmp_path), "k")
    first.acquire()
    [name] = os.listdir(tmp)
    assert stat.S_IMODE((tmp / name).stat().st_mode) == 0o600
    os.unlink(tmp / name)  # as a new open's tidy of tmp/ removes loose files
    second = FetchLock(str(tmp_path), "k")
    second.acquire()  # a file of its own, not held by anyone
    first.release()
    assert os.listdir(tmp) == [name], "the first holder removed the second's lock file"
    third = FetchLock(str(tmp_path), "k")
    waiting = threading.Thread(target=third.acquire)
    waiting.start()
    waiting.join(0.3)
    assert waiting.is_alive(), "the third did not wait for the second"
    second.release()
    waiting.join(30)
    assert not waiting.is_alive()
    third.release()
    assert os.listdir(tmp) == []


def test_a_target_without_versions_is_read_every_time(tmp_path, monkeypatch):
    remote = MemoryRemote(monkeypatch)
    remote.write("a", b"first")
    info = MemoryFileSystem.info
    monkeypatch.setattr(MemoryFileSystem, "info", lambda fs, path, **kw: {
        k: v for k, v in info(fs, path, **kw).items() if k != "created"})
    fs = qel_fs(remote, tmp_path)
    assert fs.cat_file(remote.path("a")) == b"first"
    remote.write("a", b"again")
    assert fs.cat_file(remote.path("a")) == b"again"
    assert fs.stats().blobs == 0


def test_filesystems_over_one_directory_share_one_cache(tmp_path, monkeypatch):
    remote = MemoryRemote(monkeypatch)
    remote.write("a", b"shared")
    first = qel_fs(remote, tmp_path)
    second = qel_fs(remote, tmp_path, skip_instance_cache=True)
    assert first is not second
    assert first.cat_file(remote.path("a")) == b"shared"
    assert second.cat_file(remote.path("a")) == b"shared"
    # The payload the first stored is the second's too, in memory.
    assert (second.stats().memory_hits, second.stats().hits, remote.fetches("a")) == (1, 0, 1)
    # Chained URLs of different paths share one filesystem, as fsspec keeps them all.
    chained = {fsspec.core.url_to_fs(f"qel::memory://{remote.path(name)}", qel={"directory": str(tmp_path),
                                     "max_bytes": BUDGET})[0] for name in "ab"}
    (chained,) = chained
    assert chained._tier is first._tier
    chained.close()
    with pytest.raises(ValueError, match=r"already open in this process with max_bytes=8388608"):
        qel_fs(remote, tmp_path, max_bytes=BUDGET * 2)
    with pytest.raises(ValueError, match=r"durable=True and memory_bytes=134217728"):
        qel_fs(remote, tmp_path, memory_bytes=1 << 20)
    first.close()
    first.close()
    with pytest.raises(RuntimeError, match="blob cache is closed"):
        first.cat_file(remote.path("a"))
    assert second.cat_file(remote.path("a")) == b"shared"  # still open for the other
    again = qel_fs(remote, tmp_path)
    assert again is not first and again.cat_file(remote.path("a")) == b"shared"
    again.close()
    del second
    gc.collect()
    # Every user is gone, so the directory is free for another budget.
    third = qel_fs(remote, tmp_path, max_bytes=BUDGET * 2)
    assert third.cat_file(remote.path("a")) == b"shared"


# Each write fsspec's filesystems offer, under every name, putting the file
# at `source` (or its bytes) at `path`, where the tier holds an older version.
WRITES = {
    "pipe_file": lambda fs, path, source, data, local: fs.pipe_file(path, data),
    "pipe": lambda fs, path, source, data, local: fs.pipe(path, data),
    "write_bytes": lambda fs, path, source, data, local: fs.write_bytes(path, data),
    "put_file": lambda fs, path, source, data, local: fs.put_file(local, path),
    "put": lambda fs, path, source, data, local: fs.put(local, path),
    "upload": lambda fs, path, source, data, local: fs.upload(local, path),
    "upload by keyword": lambda fs, path, source, data, local: fs.upload(lpath=local, rpath=path),
    "cp_file": lambda fs, path, source, data, local: fs.cp_file(source, path),
    "copy": lambda fs, path, source, data, local: fs.copy(source, path),
    "cp": lambda fs, path, source, data, local: fs.cp(source, path),
    "mv": lambda fs, path, source, data, local: fs.mv(source, path),
    "move": lambda fs, path, source, data, local: fs.move(source, path),
    "rename": lambda fs, path, source, data, local: fs.rename(source, path),
    "chained URL": lambda fs, path, source, data, local: write_by_open(fs, path, data, "wb", chained=True),
}


def by_url(opener, fs, path, mode):
    """opener (fsspec.open or open_files) of `path` through a chained URL that reaches the tier of fs."""
    return opener(f"qel::{fs.target_protocol}://{path.lstrip('/')}", mode, **{fs.target_protocol: fs.target.storage_options},
                  qel={"directory": fs._opened[0], "max_bytes": fs._opened[1], "block_size": fs.block_size})


def write_by_open(fs, path, data, mode, chained=False):
    with by_url(fsspec.open, fs, path, mode) if chained else fs.open(path, mode) as f:
        f.write(data)


@pytest.mark.parametrize("how", [*WRITES, "open wb", "open r+b", "delete", "rm", "rm_file"])
def test_a_change_through_any_writer_is_seen_at_once(remote, tmp_path, monkeypatch, how):
    old, new = b"o" * 5000, b"n" * 5000  # same size
    if how == "open r+b" and remote.protocol == "s3":
        pytest.skip("S3 objects are not written in place")
    if remote.protocol == "memory":  # a version the write leaves as it was: only dropping the old bytes helps
        info = MemoryFileSystem.info
        monkeypatch.setattr(MemoryFileSystem, "info", lambda fs, path, **kw: {**info(fs, path, **kw), "ETag": "same"})
    remote.write("a", old)
    remote.write("b", new)
    (tmp_path / "local").write_bytes(new)
    fs = qel_fs(remote, tmp_path / "cache")
    path = remote.path("a")
    assert fs.cat_file(path) == old
    assert fs.open(path).read() == old
    if how in ("delete", "rm", "rm_file"):
        getattr(fs, how)(path)
        with pytest.raises(FileNotFoundError):
            fs.cat_file(path)
        return
    if how.startswith("open"):
        write_by_open(fs, path, new, how.split()[1])
    else:
        WRITES[how](fs, path, remote.path("b"), new, str(tmp_path / "local"))
    assert fs.cat_file(path) == new
    with fs.open(path) as f:
        assert f.read() == new
    assert fs.ls(remote.root, detail=False) == remote.fs.ls(remote.root, detail=False)


FULL_DISK = """if True:
    import ctypes, json, sys
    import fsspec
    from qel.fsspec import QelFileSystem
    remote = fsspec.filesystem("memory")
    remote.pipe_file("/full/a", b"remote bytes" * 100)
    fs = QelFileSystem(fs=remote, directory=sys.argv[1], max_bytes=1 << 20)
    assert ctypes.CDLL(None).qel_fault_configure(b"write:1+:ENOSPC") == 0
    first = [fs.cat_file("/full/a"), fs.open("/full/a").read()]
    assert ctypes.CDLL(None).qel_fault_configure(b"") == 0
    then = [fs.cat_file("/full/a"), fs.cat_file("/full/a")]
    stats = fs.stats()
    print(json.dumps([first == then == [b"remote bytes" * 100] * 2, stats.cache_failures, stats.hits,
                      stats.memory_hits]))
"""


def test_a_full_disk_costs_the_cache_not_the_read(tmp_path):
    shim = os.environ.get("QEL_FAULT_SHIM", str(Path(__file__).parents[2] / "build/test/tests/fault/libqel_fault_shim.so"))
    assert os.path.exists(shim), f"fault shim not built at {shim}: run make build, or set QEL_FAULT_SHIM"
    env = dict(os.environ, LD_PRELOAD=shim, QEL_FAULT_PREFIX=str(tmp_path))
    child = subprocess.run([sys.executable, "-c", FULL_DISK, str(tmp_path)], env=env, capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    # Served while the disk was full, stored once it had room (and so kept in memory), then a hit.
    assert json.loads(child.stdout) == [True, 2, 0, 1]
    assert "could not store" in child.stderr and "No space left on device" in child.stderr


def test_a_forked_child_opens_the_directory_for_itself_once_the_parent_lets_go(tmp_path, monkeypatch):
    remote = MemoryRemote(monkeypatch)
    remote.write("a", b"cached by the parent")
    fs = qel_fs(remote, tmp_path)
    assert fs.cat_file(remote.path("a")) == b"cached by the parent"
    closed_read, closed_write = os.pipe()

    def parent_lets_go():  # a thread of the parent's, absent from the child
        fs.close()
        os.write(closed_write, b"x")

    def child():
        os.read(closed_read, 1)
        fresh = qel_fs(remote, tmp_path)  # fsspec's instances are forgotten in a child
        read = [fresh.cat_file(remote.path("a")), fs.cat_file(remote.path("a"))]  # fs: the parent's, inherited
        return [payload.decode() for payload in read] + [fresh.stats().hits, fresh.stats().memory_hits]

    closer = threading.Timer(0.5, parent_lets_go)
    closer.start()
    try:
        # The parent's payload in memory is not the child's: read from the disk once, then from memory.
        assert forked.run(child) == ["cached by the parent"] * 2 + [1, 1]
    finally:
        closer.join()
        os.close(closed_read)
        os.close(closed_write)


@pytest.mark.parametrize(("option", "message"), [
    *[({"check_interval": v}, "check_interval must be a finite number of seconds") for v in (-1, math.nan, math.inf,
                                                                                          -math.inf)],
    *[({"block_size": v}, "block_size must be a positive number of bytes") for v in (0, -1, 1.5, True)],
    *[({"memory_bytes": v}, "memory_bytes must be a number of bytes") for v in (-1, 1.5, True, None)],
])
def test_options_out_of_range_are_refused(tmp_path, monkeypatch, option, message):
    with pytest.raises(ValueError, match=message):
        qel_fs(MemoryRemote(monkeypatch), tmp_path, **option)


BLOCK = 64 << 10  # the block size of these tests: large files of a few blocks
SIZES = {"whole": 5000, "blocks": 3 * BLOCK + 1234}  # one blob; four blocks, the last one partial


def read_methods(tmp_path):
    """Every read fsspec offers, each giving what it read as bytes."""
    out = tmp_path / "out"

    def got(fs, path, call):
        call()
        return out.read_bytes()

    def via_open(fs, path, **kwargs):
        with fs.open(path, "rb", **kwargs) as f:
            return f.read()

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
        "open": via_open,
        "open text": lambda fs, path: fs.open(path, "r", encoding="latin-1", newline="").read().encode("latin-1"),
        "open br": lambda fs, path: fs.open(path, "br").read(),
        "open read_buffer": via_read_buffer,
        "open with block_size and cache_type": lambda fs, path: via_open(
            fs, path, block_size=5, cache_type="bytes", cache_options={"trim": False}),
        "open_files": lambda fs, path: by_url(fsspec.open_files, fs, path, "rb")[0].open().read(),
        "get_file": lambda fs, path: got(fs, path, lambda: fs.get_file(path, str(out))),
        "get": lambda fs, path: got(fs, path, lambda: fs.get(path, str(out))),
        "download": lambda fs, path: got(fs, path, lambda: fs.download(path, str(out))),
        "get_file to a file object": lambda fs, path: got(fs, path, lambda: fs.get_file(path, out.open("wb"))),
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
    remote.write("a", data)
    fs = qel_fs(remote, tmp_path / "cache", block_size=BLOCK)
    methods = read_methods(tmp_path)

    def read(fs, path):
        got = methods[method](fs, path)
        assert type(got) is bytes  # never a view of what memory keeps
        return got

    assert read(fs, remote.path("a")) == data
    before = remote.requests()
    assert read(fs, remote.path("a")) == data
    assert remote.requests() == before
    assert fs.stats().blobs == (1 if size == "whole" else 4)
    # And from the disk, after a restart, with the path's version asked once.
    for each in [fs, *QelFileSystem._cache.values()]:
        each.close()
    QelFileSystem.clear_instance_cache()
    fs = qel_fs(remote, tmp_path / "cache", block_size=BLOCK)
    assert read(fs, remote.path("a")) == data
    assert remote.requests() == before + 1
    # Each blob read from the disk once, however often the method touches it, then from memory.
    blobs = fs.stats().blobs
    assert read(fs, remote.path("a")) == data
    stats = fs.stats()
    assert (stats.hits, stats.misses) == (blobs, 0) and stats.memory_hits >= blobs


# (start, end) of reads against the file of SIZES["blocks"], and the blocks each touches.
RANGES = [
    ((0, 10), [0]), ((0, BLOCK), [0]), ((BLOCK - 1, BLOCK + 1), [0, 1]), ((BLOCK, 2 * BLOCK), [1]),
    ((10, 3 * BLOCK + 5), [0, 1, 2, 3]), ((3 * BLOCK, None), [3]), ((3 * BLOCK + 1233, None), [3]),
    ((-5, None), [3]), ((2 * BLOCK + 7, 1 << 30), [2, 3]), ((1 << 30, None), []), ((100, 50), []),
    ((-BLOCK - 1, -BLOCK), [2]),
]


@pytest.mark.parametrize(("where", "blocks"), RANGES)
def test_ranged_reads_fetch_the_blocks_they_touch_and_match_the_target(remote, tmp_path, where, blocks):
    data = random.Random(7).randbytes(SIZES["blocks"])
    remote.write("a", data)
    fs = qel_fs(remote, tmp_path, block_size=BLOCK)
    start, end = where
    expected = data[start:end]
    if blocks:  # targets differ on ranges past the end
        assert remote.fs.cat_file(remote.path("a"), start=start, end=end) == expected
    fetched = remote.fetches("a")
    assert fs.cat_file(remote.path("a"), start, end) == expected
    assert fs.stats().blobs == len(blocks)
    assert remote.fetches("a") == fetched + (1 if blocks else 0)  # neighbours in one request
    on_disk = blob_files.check_disk(str(tmp_path))
    for blob_id, payload in on_disk.items():
        _, path, version, block = json.loads(blob_id.removeprefix("fsspec:"))
        index = int(block.split()[1])
        assert (path, block, payload) == (remote.path("a"), f"block {index} of {BLOCK}",
                                          data[index * BLOCK:(index + 1) * BLOCK])
        assert version.startswith(f"size={len(data)} ")
    assert sorted(int(json.loads(i.removeprefix("fsspec:"))[3].split()[1]) for i in on_disk) == blocks
    # Through a file, from the cache now.
    with fs.open(remote.path("a")) as f:
        f.seek(start if start >= 0 else len(data) + start)
        assert f.read(len(expected)) == expected
    assert remote.fetches("a") == fetched + (1 if blocks else 0)


def test_sequential_reads_fetch_ahead_and_random_ones_do_not(tmp_path, monkeypatch):
    remote = MemoryRemote(monkeypatch)
    data = random.Random(3).randbytes(8 * BLOCK)
    remote.write("a", data)
    fs = qel_fs(remote, tmp_path, block_size=BLOCK)
    with fs.open(remote.path("a")) as f:
        assert f.read(100) == data[:100]  # the start: no sign of a sequential read yet
        assert remote.fetches("a") == 1 and fs.stats().blobs == 1
        chunks = [f.read(BLOCK) for _ in range(8)]
    assert b"".join(chunks) == data[100:]
    # Each fetch after the first brings the block read and the next one.
    assert remote.fetches("a") == 1 + 4 and fs.stats().blobs == 8
    with fs.open(remote.path("a")) as f:
        f.seek(5 * BLOCK)
        assert f.read(10) == data[5 * BLOCK:5 * BLOCK + 10]
    assert remote.fetches("a") == 5


@pytest.mark.parametrize("size", SIZES)
def test_a_changed_file_is_never_served_from_the_old_blocks(remote, tmp_path, size):
    rng = random.Random(9)
    old, new = rng.randbytes(SIZES[size]), rng.randbytes(SIZES[size])  # same size
    remote.write("a", old)
    fs = qel_fs(remote, tmp_path, block_size=BLOCK)
    assert fs.cat_file(remote.path("a"), 0, 100) == old[:100]
    assert fs.cat_file(remote.path("a")) == old
    remote.write("a", new)
    fs.invalidate_cache(remote.path("a"))
    for start, end in [(0, 100), (BLOCK - 5, BLOCK + 5), (-10, None), (None, None)]:
        assert fs.cat_file(remote.path("a"), start, end) == new[start:end]
    with fs.open(remote.path("a")) as f:
        assert f.read() == new
    held = blob_files.check_disk(str(tmp_path))
    versions = {json.loads(i.removeprefix("fsspec:"))[2] for i in held}
    assert len(versions) == 2 and len(held) == 2 * fs._layout(fs._remote(remote.path("a"))).count


def test_block_blobs_keep_to_the_budget(remote, tmp_path):
    budget = 6 * BLOCK
    rng = random.Random(13)
    files = {f"f{i}": rng.randbytes(rng.randrange(BLOCK // 2, 5 * BLOCK)) for i in range(8)}
    for name, data in files.items():
        remote.write(name, data)
    memory = 2 * BLOCK + 100
    fs = qel_fs(remote, tmp_path, max_bytes=budget, block_size=BLOCK, memory_bytes=memory)

    def reads(seed):  # threads evicting from the disk and from memory under each other
        rng = random.Random(seed)
        for _ in range(50):
            name = rng.choice(sorted(files))
            data = files[name]
            start = rng.randrange(len(data))
            end = start + rng.randrange(1, 2 * BLOCK)
            assert fs.cat_file(remote.path(name), start, end) == data[start:end]
            assert fs.stats().memory_bytes <= memory

    assert forked.together(3, reads) == [None] * 3
    stats = fs.stats()
    assert stats.bytes <= budget and stats.evictions + stats.puts_refused > 0 and stats.hits > 0
    assert stats.memory_hits > 0 and stats.memory_bytes > BLOCK
    assert sum(os.path.getsize(p) for p in blob_files.files(str(tmp_path), "blobs")) <= budget
    for blob_id, payload in blob_files.check_disk(str(tmp_path)).items():
        _, path, _, *block = json.loads(blob_id.removeprefix("fsspec:"))
        data = files[path.rsplit("/", 1)[1]]
        index = int(block[0].split()[1]) if block else 0
        assert payload == data[index * BLOCK:(index + 1) * BLOCK]


@pytest.mark.parametrize("size", [1, 100])
def test_many_small_files_in_memory_keep_to_its_bound(tmp_path, monkeypatch, size):
    remote = MemoryRemote(monkeypatch)
    for i in range(40):
        remote.write(f"f{i}", bytes([i]) * size)
    memory = 4096
    fs = qel_fs(remote, tmp_path, memory_bytes=memory)
    for _ in range(2):
        for i in range(40):
            assert fs.cat_file(remote.path(f"f{i}")) == bytes([i]) * size
            assert 0 < fs.stats().memory_bytes <= memory
    # Each entry counts for more than its payload: the last few stay, and a pass in order finds none.
    assert fs.stats().memory_hits == 0 and len(fs._tier.recent.payloads) < 40 // 2


def test_a_payload_that_cannot_be_mapped_is_kept_as_it_is(tmp_path, monkeypatch):
    remote = MemoryRemote(monkeypatch)
    data = random.Random(3).randbytes(SIZES["blocks"])
    remote.write("a", data)
    monkeypatch.setattr(qel.fsspec, "MAPPED_PAYLOAD_BYTES", 1)

    def refused(*args, **kwargs):
        raise OSError(12, "Cannot allocate memory")  # as when vm.max_map_count is reached

    monkeypatch.setattr(qel.fsspec.mmap, "mmap", refused)
    fs = qel_fs(remote, tmp_path, block_size=BLOCK)
    assert [fs.cat_file(remote.path("a")) for _ in range(2)] == [data, data]
    assert fs.stats().memory_hits == 4


def test_info_is_answered_within_the_interval_and_asked_after_it(remote, tmp_path, monkeypatch):
    now = [1000.0]  # the tier's clock, moved by hand
    monkeypatch.setattr(qel.fsspec, "time", types.SimpleNamespace(monotonic=lambda: now[0]))
    remote.write("a", b"x" * 100)
    fs = qel_fs(remote, tmp_path, check_interval=0.5)
    first = fs.info(remote.path("a"))
    before = remote.requests()
    assert fs.info(remote.path("a")) == first and first["size"] == 100
    assert (fs.exists(remote.path("a")), fs.isfile(remote.path("a")), fs.size(remote.path("a"))) == (True, True, 100)
    assert not fs.isdir(remote.path("a"))
    assert fs.cat_file(remote.path("a")) == b"x" * 100  # fetched, with no look-up
    assert remote.requests() == before + 1, remote.counting.requests[before:]
    remote.write("a", b"y" * 50)
    before = remote.requests()
    now[0] += 0.25
    assert fs.info(remote.path("a"))["size"] == 100  # a change elsewhere is seen after the interval
    now[0] += 0.25
    assert fs.info(remote.path("a"))["size"] == 50
    assert remote.requests() == before + 1
    assert fs.stats().memory_bytes == 0  # the old version's payload left memory with it
    assert fs.cat_file(remote.path("a")) == b"y" * 50
    # A missing path is remembered as missing, until a write through the tier.
    assert not fs.exists(remote.path("b"))
    before = remote.requests()
    assert not fs.exists(remote.path("b"))
    with pytest.raises(FileNotFoundError):
        fs.cat_file(remote.path("b"))
    assert remote.requests() == before
    fs.pipe_file(remote.path("b"), b"new")
    assert fs.exists(remote.path("b")) and fs.cat_file(remote.path("b")) == b"new"


def test_reads_with_a_target_version_stay_uncached_and_exact(s3, tmp_path):
    s3.fs.call_s3("put_bucket_versioning", Bucket=s3.root, VersioningConfiguration={"Status": "Enabled"})
    s3.write("a", b"first")
    first = s3.fs.info(s3.path("a"))["VersionId"]
    s3.write("a", b"second")
    fs = fsspec.filesystem("qel", target_protocol="s3", target_options={**s3.options, "version_aware": True},
                           directory=str(tmp_path), max_bytes=BUDGET)
    assert fs.cat_file(s3.path("a")) == b"second"
    for _ in range(2):
        assert fs.cat_file(s3.path("a"), version_id=first) == b"first"
        with fs.open(s3.path("a"), version_id=first) as f:
            assert f.read() == b"first"
    assert fs.cat_file(s3.path("a")) == b"second"
    assert fs.stats().blobs == 1 and s3.fetches("a") == 5


@pytest.mark.parametrize("how", ["mapper", "async filesystem", "URL"])
def test_zarr_reads_through_the_tier_and_a_second_pass_asks_nothing(remote, tmp_path, how):
    import numpy as np
    import zarr
    from zarr.storage import FsspecStore

    fs = qel_fs(remote, tmp_path)
    path = remote.path("array")
    data = np.arange(40 * 50, dtype="int32").reshape(40, 50)
    written = zarr.create_array(fs.get_mapper(path), shape=data.shape, chunks=(10, 10), dtype="int32")
    written[:] = data  # through the tier, to the target

    def open_array():
        if how == "mapper":
            return zarr.open_array(fs.get_mapper(path), mode="r")
        if how == "async filesystem":
            return zarr.open_array(FsspecStore(fs.to_async(), path=path, read_only=True), mode="r")
        return zarr.open_array(f"qel::{remote.protocol}://{path.lstrip('/')}", mode="r", storage_options={
            "qel": {"directory": str(tmp_path), "max_bytes": BUDGET}, remote.protocol: remote.options})

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert (open_array()[:] == data).all()
        before = remote.requests()
        assert (open_array()[5:25, 15:35] == data[5:25, 15:35]).all()
        assert (open_array()[:] == data).all()
    assert remote.requests() == before, (remote.calls if remote.protocol == "memory" else remote.counting.requests)[before:]
    assert fs.stats().blobs == 20 + 1  # the chunks and the array's metadata
