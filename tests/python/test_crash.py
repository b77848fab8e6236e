"""A writer killed with SIGKILL at random moments never leaves a torn or stray
file behind, and everything it was told is stored survives the kill.

QEL_CRASH_CYCLES sets the number of kills (``make stress`` raises it)."""

import hashlib
import os
import random
import signal
import time

from qel._native import NativeBlobCache

import blob_files

CYCLES = int(os.environ.get("QEL_CRASH_CYCLES", "100"))
IDS = [f"blob-{n}" for n in range(100)]
# Larger than everything the writer can store, so nothing is ever evicted.
BUDGET = 1 << 26


def payload(blob_id):
    seed = hashlib.sha256(blob_id.encode()).digest()
    return (seed * 32)[: 1 + seed[0] * 4]


def writer(directory, seed, log_fd):
    """Runs until killed, logging what the caller may rely on: a put that
    returned True after it returned, a delete before it starts."""
    rng = random.Random(seed)
    cache = NativeBlobCache(directory, BUDGET, 0)
    os.write(log_fd, b"R\n")
    while True:
        blob_id = rng.choice(IDS)
        r = rng.random()
        if r < 0.6:
            if cache.put(blob_id, payload(blob_id)):
                os.write(log_fd, f"P {blob_id}\n".encode())
        elif r < 0.85:
            os.write(log_fd, f"D {blob_id}\n".encode())
            cache.delete(blob_id)
        elif r < 0.99:
            if cache.get(blob_id) not in (None, payload(blob_id)):
                os.write(log_fd, f"X wrong bytes for {blob_id}\n".encode())
        else:
            os.write(log_fd, b"A\n")
            cache.delete_all()


def run_and_kill(directory, rng):
    """Forks a writer, kills it after a few milliseconds of work (or while it
    opens the cache) and returns the complete lines it logged."""
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_fd)
        try:
            writer(directory, rng.random(), write_fd)
        except BaseException as e:
            os.write(write_fd, f"E {e!r}\n".encode())
        finally:
            os._exit(1)
    os.close(write_fd)
    with os.fdopen(read_fd, "rb") as log:
        lines = []
        if rng.random() < 0.9:
            lines.append(log.readline())
        time.sleep(rng.uniform(0.005, 0.05))
        os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        lines += log.read().split(b"\n")[:-1]
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL, (status, lines)
    return [line.rstrip(b"\n").decode() for line in lines if line]


def test_sigkill_loses_nothing_promised(tmp_path):
    directory = str(tmp_path / "cache")
    rng = random.Random(8)
    stored = set()  # IDs whose last logged event is a put that returned True
    for cycle in range(CYCLES):
        for line in run_and_kill(directory, rng):
            kind, _, blob_id = line.partition(" ")
            assert kind in ("R", "P", "D", "A"), f"cycle {cycle}: writer reported {line}"
            if kind == "P":
                stored.add(blob_id)
            elif kind == "D":
                stored.discard(blob_id)
            elif kind == "A":
                stored.clear()

        # At most the one write in flight left a temp file; every committed
        # file is complete and holds the bytes put under its ID.
        assert len(blob_files.files(directory, "tmp")) <= 1, f"cycle {cycle}"
        on_disk = set()
        for path in blob_files.files(directory, "blobs"):
            blob_id, data = blob_files.verify(directory, path)
            assert data == payload(blob_id), f"cycle {cycle}: {blob_id}"
            on_disk.add(blob_id)

        cache = NativeBlobCache(directory, BUDGET, 0)
        try:
            assert blob_files.files(directory, "tmp") == [], f"cycle {cycle}"
            readable = set()
            for blob_id in IDS:
                got = cache.get(blob_id)
                assert got in (None, payload(blob_id)), f"cycle {cycle}: {blob_id}"
                if got is not None:
                    readable.add(blob_id)
            assert stored <= readable, f"cycle {cycle}: lost {sorted(stored - readable)}"
            assert readable == on_disk, f"cycle {cycle}: reopen kept {sorted(readable ^ on_disk)} apart"
        finally:
            cache.close()
