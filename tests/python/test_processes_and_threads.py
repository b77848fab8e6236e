"""Threads sharing one cache, the interpreter lock, other processes."""

import os
import select
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from qel import NativeBlobCache

BIG = 8 << 20


def payload_for(blob_id, size):
    seed = blob_id.encode()
    return (seed * (size // len(seed) + 1))[:size]


def test_threads_share_one_cache(cache):
    threads, per_thread = 8, 40
    results, failures = {}, []

    def work(worker):
        try:
            for i in range(per_thread):
                own = f"t{worker}/{i}"
                shared = f"shared/{i % 5}"
                stored = cache.put(own, payload_for(own, 1000 + 97 * i))
                assert cache.put(shared, payload_for(shared, 5000))
                results[own] = stored
                got = cache.get(own)
                assert got is None or got == payload_for(own, 1000 + 97 * i)
                assert cache.get(shared) == payload_for(shared, 5000)
                if i % 7 == 0:
                    cache.delete(own)
                    results[own] = False
        except BaseException as failure:
            failures.append(failure)

    workers = [threading.Thread(target=work, args=(n,)) for n in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert failures == []
    # The budget holds everything, so every admitted blob is still there.
    for blob_id, stored in results.items():
        expected = payload_for(blob_id, 1000 + 97 * int(blob_id.split("/")[1])) if stored else None
        assert cache.get(blob_id) == expected


@pytest.mark.parametrize("operation", ["get", "put"])
def test_interpreter_lock_is_released_during_core_calls(cache, operation):
    payload = os.urandom(BIG)
    assert cache.put("big", payload)
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)  # hands the lock back as soon as the core call returns

    # Without forced switches, the counter only runs while the caller has
    # released the interpreter lock itself.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    counting = threading.Thread(target=count)
    try:
        counting.start()
        progressed = False
        for attempt in range(50):
            before = counter[0]
            if operation == "get":
                assert cache.get("big") == payload
            else:
                assert cache.put(f"big/{attempt}", payload) in (True, False)
            progressed = counter[0] > before
            if progressed:
                break
        assert progressed
    finally:
        stop.set()
        counting.join()
        sys.setswitchinterval(interval)


CHILD = textwrap.dedent(
    """
    import os, sys
    from qel import NativeBlobCache
    cache = NativeBlobCache(sys.argv[1], 1 << 24, 0)
    for i in range(20):
        assert cache.put(f"child/{i}", bytes([i]) * (1000 * i))
    ending = sys.argv[2]
    if ending == "close":
        cache.close()
    elif ending == "exit":
        os._exit(0)  # no teardown at all: committed blobs must already be durable
    """
)


@pytest.mark.parametrize("ending", ["close", "drop", "exit"])
def test_blobs_written_by_a_child_process_are_read_by_the_parent(cache_dir, ending):
    subprocess.run([sys.executable, "-c", CHILD, cache_dir, ending], check=True, timeout=120)
    cache = NativeBlobCache(cache_dir, 1 << 24, 0)
    try:
        for i in range(20):
            assert cache.get(f"child/{i}") == bytes([i]) * (1000 * i)
    finally:
        cache.close()


def test_forked_child_finds_the_cache_closed(cache):
    assert cache.put("k", b"v")
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        outcome = []
        for call in (lambda: cache.get("k"), lambda: cache.put("j", b"w"), lambda: cache.delete("k"), cache.delete_all):
            try:
                call()
                outcome.append("returned")
            except RuntimeError as error:
                outcome.append(str(error))
        del call
        os.write(write_end, ("|".join(outcome) + "|" + repr(cache.close())).encode())
        os._exit(0)
    os.close(write_end)
    try:
        # A guard against a hung child, not a timing assumption.
        ready, _, _ = select.select([read_end], [], [], 120)
        report = os.read(read_end, 4096).decode() if ready else "child hung"
    finally:
        if not ready:
            os.kill(pid, 9)
        os.waitpid(pid, 0)
        os.close(read_end)
    assert report == "|".join(["blob cache is closed"] * 4) + "|None"
    assert cache.get("k") == b"v"
