"""qel as fsspec's local tier: reads served from disk without asking the
remote, changed objects fetched again, the budget kept, one fetch for many
readers, one cache per directory, and a reader killed mid-fetch harmless.
Run against s3fs over a local S3 server and against fsspec's memory filesystem."""

import gc
import json
import logging
import os
import random
import signal
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import fsspec
import pytest
from fsspec.implementations.memory import MemoryFileSystem

import blob_files
import s3_server
from qel import BlobCache
from qel.fsspec import QelFileSystem

HERE = Path(__file__).resolve().parent
BUDGET = 8 << 20

logging.getLogger("werkzeug").setLevel(logging.ERROR)


class S3Remote:
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

    def path(self, name):
        return f"{self.root}/{name}"

    def fetches(self, name):
        return sum(1 for method, p in self.counting.requests if method == "GET" and p == "/" + self.path(name))

    def requests(self):
        return self.counting.count()


class MemoryRemote:
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

    def path(self, name):
        return f"{self.root}/{name}"

    def fetches(self, name):
        return self.calls.count(("cat", self.path(name)))

    def requests(self):
        return len(self.calls)


@pytest.fixture(autouse=True)
def close_filesystems():
    yield
    for fs in list(QelFileSystem._cache.values()):
        fs.close()


@pytest.fixture(params=["s3", "memory"])
def remote(request, monkeypatch):
    if request.param == "memory":
        yield MemoryRemote(monkeypatch)
        return
    with s3_server.serve(os.environ) as (endpoint, counting):
        yield S3Remote(endpoint, counting)


@pytest.fixture
def s3(monkeypatch):
    with s3_server.serve(os.environ) as (endpoint, counting):
        yield S3Remote(endpoint, counting)


def qel_fs(remote, directory, max_bytes=BUDGET, **kwargs):
    return fsspec.filesystem("qel", target_protocol=remote.protocol, target_options=remote.options,
                             directory=str(directory), max_bytes=max_bytes, **kwargs)


def open_read(remote, directory, name, max_bytes=BUDGET):
    url = f"qel::{remote.protocol}://{remote.path(name).lstrip('/')}"
    with fsspec.open(url, qel={"directory": str(directory), "max_bytes": max_bytes},
                     **{remote.protocol: remote.options}) as f:
        return f.read()


def test_second_read_comes_from_disk_without_a_request(remote, tmp_path):
    data = os.urandom(300_000)
    remote.write("a", data)
    assert open_read(remote, tmp_path, "a") == data
    assert remote.fetches("a") == 1
    before = remote.requests()
    fs = qel_fs(remote, tmp_path)
    assert open_read(remote, tmp_path, "a") == data
    assert fs.cat_file(remote.path("a")) == data
    assert fs.cat(remote.path("a")) == data
    assert fs.cat_file(remote.path("a"), 10, 20) == data[10:20]
    assert fs.read_text(remote.path("a"), encoding="latin-1", newline="") == data.decode("latin-1")
    assert remote.requests() == before, remote.counting.requests[before:]
    stats = fs.stats()
    assert (stats.misses, stats.hits, stats.puts_admitted, stats.blobs) == (1, 5, 1, 1)
    # The blob survives a restart of the process's cache.
    fs.close()
    QelFileSystem.clear_instance_cache()
    assert qel_fs(remote, tmp_path).cat_file(remote.path("a")) == data
    assert remote.fetches("a") == 1


@pytest.mark.parametrize("how", ["invalidate_cache", "check_interval=0", "write through qel"])
def test_changed_remote_object_is_fetched_again(remote, tmp_path, how):
    old, new = b"o" * 5000, b"n" * 5000  # same size: only the version tells them apart
    remote.write("a", old)
    fs = qel_fs(remote, tmp_path, check_interval=0 if how == "check_interval=0" else 60)
    assert fs.cat_file(remote.path("a")) == old
    if how == "write through qel":
        fs.pipe_file(remote.path("a"), new)
    else:
        remote.write("a", new)
        if how == "invalidate_cache":
            fs.invalidate_cache(remote.path("a"))
    assert fs.cat_file(remote.path("a")) == new
    assert fs.cat_file(remote.path("a")) == new
    assert remote.fetches("a") == 2
    assert fs.stats().blobs == 2  # the old version stays until evicted, never served


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


def test_directory_stays_within_budget_over_many_files(remote, tmp_path):
    budget = 256 << 10
    rng = random.Random(5)
    files = {f"f{i:03d}": rng.randbytes(rng.randrange(1, 24 << 10)) for i in range(120)}
    for name, data in files.items():
        remote.write(name, data)
    fs = qel_fs(remote, tmp_path, max_bytes=budget)
    names = sorted(files)
    for _ in range(600):
        name = names[min(int(rng.paretovariate(1.0)) - 1, len(names) - 1)] if rng.random() < 0.7 else rng.choice(names)
        assert fs.cat_file(remote.path(name)) == files[name]
    stats = fs.stats()
    on_disk = blob_files.check_disk(str(tmp_path))
    assert stats.bytes <= budget
    assert sum(os.path.getsize(p) for p in blob_files.files(str(tmp_path), "blobs")) <= budget
    assert stats.puts_refused + stats.evictions > 0 and stats.hits > 0
    for blob_id, payload in on_disk.items():
        _, path, _ = json.loads(blob_id.removeprefix("fsspec:"))
        assert payload == files[path.rsplit("/", 1)[1]]


def test_concurrent_readers_of_a_missing_file_fetch_it_once(remote, tmp_path):
    data = os.urandom(2 << 20)
    remote.write("a", data)
    readers = 8
    barrier, results = threading.Barrier(readers), []

    def read():
        barrier.wait()
        results.append(open_read(remote, tmp_path, "a"))

    threads = [threading.Thread(target=read) for _ in range(readers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert len(results) == readers and all(r == data for r in results)
    assert remote.fetches("a") == 1


def test_readers_waiting_on_a_failed_fetch_fetch_for_themselves(tmp_path, monkeypatch):
    remote = MemoryRemote(monkeypatch)
    remote.write("a", b"payload" * 1000)
    original, failures = MemoryFileSystem.cat_file, []

    def flaky(fs, path, *args, **kwargs):
        if not failures:
            failures.append(path)
            time.sleep(0.3)  # the other readers arrive and wait for this fetch
            raise ConnectionError("remote went away")
        return original(fs, path, *args, **kwargs)

    monkeypatch.setattr(MemoryFileSystem, "cat_file", flaky)
    fs = qel_fs(remote, tmp_path)
    barrier, outcomes = threading.Barrier(4), []

    def read():
        barrier.wait()
        try:
            outcomes.append(fs.cat_file(remote.path("a")))
        except ConnectionError as e:
            outcomes.append(e)

    threads = [threading.Thread(target=read) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert sorted(map(type, outcomes), key=str) == [ConnectionError] + [bytes] * 3
    assert all(o == b"payload" * 1000 for o in outcomes if isinstance(o, bytes))


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


def test_writes_listing_and_removal_pass_through(remote, tmp_path):
    fs = qel_fs(remote, tmp_path)
    url = f"qel::{remote.protocol}://{remote.path('w').lstrip('/')}"
    with fsspec.open(url, "wb", qel={"directory": str(tmp_path), "max_bytes": BUDGET},
                     **{remote.protocol: remote.options}) as f:
        f.write(b"written")
    assert remote.fs.cat_file(remote.path("w")) == b"written"
    assert fs.cat_file(remote.path("w")) == b"written"
    assert fs.ls(remote.root, detail=False) == remote.fs.ls(remote.root, detail=False)
    assert fs.info(remote.path("w"))["size"] == 7
    fs.rm(remote.path("w"))
    assert not remote.fs.exists(remote.path("w"))
    with pytest.raises(FileNotFoundError):
        fs.cat_file(remote.path("w"))


def test_filesystems_over_one_directory_share_one_cache(tmp_path, monkeypatch):
    remote = MemoryRemote(monkeypatch)
    remote.write("a", b"shared")
    first = qel_fs(remote, tmp_path)
    second = qel_fs(remote, tmp_path, skip_instance_cache=True)
    assert first is not second
    assert first.cat_file(remote.path("a")) == b"shared"
    assert second.cat_file(remote.path("a")) == b"shared"
    assert second.stats().hits == 1 and remote.fetches("a") == 1
    # Chained URLs of different paths share one filesystem, as fsspec keeps them all.
    chained = {fsspec.core.url_to_fs(f"qel::memory://{remote.path(name)}", qel={"directory": str(tmp_path),
                                     "max_bytes": BUDGET})[0] for name in "ab"}
    (chained,) = chained
    assert chained._tier is first._tier
    chained.close()
    with pytest.raises(ValueError, match=r"already open in this process with max_bytes=8388608"):
        qel_fs(remote, tmp_path, max_bytes=BUDGET * 2)
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


def test_reader_killed_mid_fetch_leaves_a_cache_that_reopens_clean(s3, tmp_path):
    rng = random.Random(11)
    objects = {f"k{i:02d}": rng.randbytes(rng.randrange(1, 256 << 10)) for i in range(40)}
    for name, data in objects.items():
        s3.write(name, data)
    directory, budget = str(tmp_path / "cache"), 2 << 20  # under half the data: puts and evictions go on
    env = dict(os.environ, PYTHONPATH=str(HERE))
    endpoint = s3.options["client_kwargs"]["endpoint_url"]
    for cycle in range(8):
        child = subprocess.Popen(
            [sys.executable, str(HERE / "fsspec_reader.py"), endpoint, s3.root, directory, str(budget), str(cycle),
             *objects], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            assert child.stdout.readline() == b"reading\n", child.stderr.read().decode()
            time.sleep(rng.uniform(0, 0.3))
        finally:
            child.send_signal(signal.SIGKILL)
            child.wait(30)
            child.stdout.close()
            child.stderr.close()
        assert child.returncode == -signal.SIGKILL
        stored = blob_files.check_disk(directory, temp_files=1)  # at most the put in flight
        with BlobCache(directory, budget) as cache:
            assert len(cache) == len(stored) > 0
            for blob_id, payload in stored.items():
                protocol, path, _ = json.loads(blob_id.removeprefix("fsspec:"))
                assert (protocol, path.split("/")[0]) == ("s3", s3.root)
                assert payload == objects[path.split("/")[1]]
                assert cache.get(blob_id) == payload
        assert blob_files.check_disk(directory) == stored  # the reopen cleared the interrupted write
