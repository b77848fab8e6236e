"""A writer SIGKILLed at random moments leaves no torn or stray file, and all it
was told is stored survives, also when several threads write at once and when
its puts skip fsync. A power loss under puts without fsync, simulated by
cutting or zeroing the tails of recent files, never returns a wrong byte: the
next open drops every torn file. QEL_CRASH_CYCLES sets the kills (``make stress``)."""

import os
import random
import signal
import threading
import time

import pytest

from qel._native import NativeBlobCache

import blob_files

CYCLES = int(os.environ.get("QEL_CRASH_CYCLES", "100"))
IDS = [f"blob-{n}" for n in range(100)]
BUDGET = 1 << 26  # more than the writer can store, so nothing is evicted


def payload(blob_id):
    return blob_files.payload(blob_id, 1 + int(blob_id[5:]) * 13)


def writer(directory, seed, log_fd, threads, durable):
    """Runs until killed, logging a put that returned True after it, a delete before it. Each of several
    threads keeps to IDs of its own, so the log's order is each ID's order, and none clears the cache."""
    cache = NativeBlobCache(directory, BUDGET, 0, durable=durable)
    os.write(log_fd, b"R\n")
    workers = [threading.Thread(target=write, args=(cache, random.Random(seed + t), log_fd, IDS[t::threads],
                                                    threads == 1), daemon=True) for t in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()


def write(cache, rng, log_fd, ids, clear):
    try:
        while True:
            blob_id, r = rng.choice(ids), rng.random()
            if r < 0.6:
                if cache.put(blob_id, payload(blob_id)):
                    os.write(log_fd, f"P {blob_id}\n".encode())
            elif r < 0.85:
                os.write(log_fd, f"D {blob_id}\n".encode())
                cache.delete(blob_id)
            elif r < 0.99:
                if cache.get(blob_id) not in (None, payload(blob_id)):
                    os.write(log_fd, f"X wrong bytes for {blob_id}\n".encode())
            elif clear:
                os.write(log_fd, b"A\n")
                cache.delete_all()
    except BaseException as e:
        os.write(log_fd, f"E {e!r}\n".encode())


def run_and_kill(directory, rng, threads, durable):
    """The lines a writer logs before it is killed, in one case in ten while it opens."""
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_fd)
        try:
            writer(directory, rng.random(), write_fd, threads, durable)
        except BaseException as e:
            os.write(write_fd, f"E {e!r}\n".encode())
        finally:
            os._exit(1)
    os.close(write_fd)
    with os.fdopen(read_fd, "rb") as log:
        lines = [log.readline()] if rng.random() < 0.9 else []
        time.sleep(rng.uniform(0.005, 0.05))
        os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        lines += log.read().split(b"\n")[:-1]
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL, (status, lines)
    return [line.rstrip(b"\n").decode() for line in lines if line]


@pytest.mark.parametrize("durable", [True, False])
@pytest.mark.parametrize("threads", [1, 3])
def test_sigkill_loses_nothing_promised(tmp_path, threads, durable):
    directory, rng = str(tmp_path / "cache"), random.Random(8)
    stored, puts = set(), 0  # IDs whose last logged event is a put that returned True
    for cycle in range(CYCLES):
        for line in run_and_kill(directory, rng, threads, durable):
            kind, _, blob_id = line.partition(" ")
            assert kind in ("R", "P", "D", "A"), f"cycle {cycle}: writer reported {line}"
            if kind == "P":
                stored.add(blob_id)
                puts += 1
            elif kind == "D":
                stored.discard(blob_id)
            elif kind == "A":
                stored.clear()
        # Before any reopen can tidy up: at most the writes in flight left a
        # temp file each, and every committed file holds the bytes put under its ID.
        on_disk = blob_files.check_disk(directory, temp_files=threads)
        assert all(data == payload(blob_id) for blob_id, data in on_disk.items()), f"cycle {cycle}"
        cache = NativeBlobCache(directory, BUDGET, 0)
        assert blob_files.files(directory, "tmp") == [], f"cycle {cycle}"
        got = {blob_id: cache.get(blob_id) for blob_id in IDS}
        cache.close()
        readable = {b for b in IDS if got[b] is not None}
        assert all(got[b] == payload(b) for b in readable), f"cycle {cycle}"
        assert stored <= readable, f"cycle {cycle}: lost {sorted(stored - readable)}"
        assert readable == set(on_disk), f"cycle {cycle}: reopen kept {sorted(readable ^ set(on_disk))} apart"
    print(f"{CYCLES} kills, {puts} acknowledged puts")


def tear(path, how, rng):
    """What a power loss can leave of a file whose data had not reached the disk."""
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        if how == "empty":
            f.truncate(0)
        elif how == "cut":
            f.truncate(rng.randrange(1, size))
        elif how == "zeroed tail":
            start = rng.randrange(blob_files.HEADER.size, size)
            f.seek(start)
            f.write(bytes(size - start))
        elif how == "zeroed block":  # in ID or payload, which hold no zero byte
            start = rng.randrange(blob_files.HEADER.size, size)
            f.seek(start)
            f.write(bytes(min(4096, size - start)))


@pytest.mark.parametrize("how", ["empty", "cut", "zeroed tail", "zeroed block"])
def test_power_loss_without_fsync_returns_no_wrong_byte(tmp_path, how):
    directory, rng = str(tmp_path / "cache"), random.Random(how)
    for cycle in range(10):
        cache = NativeBlobCache(directory, BUDGET, 0, durable=False)
        written = rng.sample(IDS, 30)
        for blob_id in written:
            cache.put(blob_id, payload(blob_id))
        cache.close()
        torn = {blob_id for blob_id in rng.sample(written, 10)}
        for blob_id in torn:
            tear(blob_files.path_for(directory, blob_id), how, rng)

        cache = NativeBlobCache(directory, BUDGET, 0, durable=False)
        on_disk = blob_files.check_disk(directory)  # after the open: every file left verifies
        got = {blob_id: cache.get(blob_id) for blob_id in IDS}
        cache.close()
        assert all(data is None or data == payload(blob_id) for blob_id, data in got.items()), f"cycle {cycle}"
        assert torn.isdisjoint(on_disk), f"cycle {cycle}: torn files kept"
        assert set(written) - torn <= set(on_disk), f"cycle {cycle}: intact files dropped"
        assert {b for b in IDS if got[b] is not None} == set(on_disk), f"cycle {cycle}"
