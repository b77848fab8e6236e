"""Threads sharing one cache, the interpreter lock, a process ending with it open."""

import os
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from qel import NativeBlobCache

from blob_files import payload


def test_threads_share_one_cache(cache):
    kept = {}

    def work(worker):
        for i in range(40):
            own, shared = f"t{worker}/{i}", f"shared/{i % 5}"
            kept[own] = cache.put(own, payload(own, 100 + i)) and i % 7 != 0
            assert cache.put(shared, payload(shared, 500)) and cache.get(shared) == payload(shared, 500)
            assert cache.get(own) in (None, payload(own, 100 + i))
            if i % 7 == 0:
                cache.delete(own)

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(work, range(8)))  # re-raises what a worker raised
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


# A process that ends with its cache still open: interpreter teardown must
# neither hang nor crash on the engine's threads, and the blobs stay. Killed
# writers are the crash test's.
CHILD = """if True:
    import sys
    from qel import NativeBlobCache
    cache = NativeBlobCache(sys.argv[1], 1 << 24, 0)
    for i in range(20):
        assert cache.put(f"child/{i}", bytes([i]) * (1000 * i))
"""


def test_process_exiting_with_an_open_cache(cache_dir):
    subprocess.run([sys.executable, "-c", CHILD, cache_dir], check=True, timeout=120)
    cache = NativeBlobCache(cache_dir, 1 << 24, 0)
    assert [cache.get(f"child/{i}") for i in range(20)] == [bytes([i]) * (1000 * i) for i in range(20)]
    cache.close()
