"""Threads sharing one cache, the interpreter lock, other processes."""

import os
import subprocess
import sys
import threading
import time

import pytest

from qel import NativeBlobCache

from blob_files import payload
import forked


def test_threads_share_one_cache(cache):
    kept, failures = {}, []

    def work(worker):
        try:
            for i in range(40):
                own, shared = f"t{worker}/{i}", f"shared/{i % 5}"
                kept[own] = cache.put(own, payload(own, 100 + i)) and i % 7 != 0
                assert cache.put(shared, payload(shared, 500)) and cache.get(shared) == payload(shared, 500)
                assert cache.get(own) in (None, payload(own, 100 + i))
                if i % 7 == 0:
                    cache.delete(own)
        except BaseException as failure:
            failures.append(failure)

    workers = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert failures == []
    # The budget holds everything, so every admitted blob is still there.
    for blob_id, stored in kept.items():
        assert cache.get(blob_id) == (payload(blob_id, 100 + int(blob_id.split("/")[1])) if stored else None)


@pytest.mark.parametrize("operation", ["get", "put"])
def test_interpreter_lock_is_released_during_core_calls(cache, operation):
    big = os.urandom(8 << 20)
    assert cache.put("big", big)
    counter, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)  # hands the lock back as soon as the core call returns

    # With forced switches off, the counter only moves while a core call has
    # released the interpreter lock itself.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    counting = threading.Thread(target=count)
    try:
        counting.start()
        for attempt in range(50):
            before = counter[0]
            if operation == "get":
                assert cache.get("big") == big
            else:
                assert cache.put(f"big/{attempt}", big) in (True, False)
            if counter[0] > before:
                break
        assert counter[0] > before
    finally:
        stop.set()
        counting.join()
        sys.setswitchinterval(interval)


CHILD = """if True:
    import os, sys
    from qel import NativeBlobCache
    cache = NativeBlobCache(sys.argv[1], 1 << 24, 0)
    for i in range(20):
        assert cache.put(f"child/{i}", bytes([i]) * (1000 * i))
    if sys.argv[2] == "close":
        cache.close()
    elif sys.argv[2] == "exit":
        os._exit(0)  # no teardown at all: committed blobs must already be durable
"""


@pytest.mark.parametrize("ending", ["close", "drop", "exit"])
def test_blobs_written_by_a_child_process_are_read_by_the_parent(cache_dir, ending):
    subprocess.run([sys.executable, "-c", CHILD, cache_dir, ending], check=True, timeout=120)
    cache = NativeBlobCache(cache_dir, 1 << 24, 0)
    assert [cache.get(f"child/{i}") for i in range(20)] == [bytes([i]) * (1000 * i) for i in range(20)]
    cache.close()


def test_forked_child_finds_the_cache_closed(cache):
    assert cache.put("k", b"v")

    def in_child():
        calls = (lambda: cache.get("k"), lambda: cache.put("j", b"w"), lambda: cache.delete("k"), cache.delete_all)
        return [forked.error_of(call) for call in calls] + [cache.close()]

    assert forked.run(in_child) == ["blob cache is closed"] * 4 + [None]
    assert cache.get("k") == b"v"
