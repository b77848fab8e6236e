"""The interpreter lock released during core calls, a process ending with its cache open. Threads racing on
one cache are the C++ concurrency suites', under ThreadSanitizer: the binding shares only a use count."""

import os
import subprocess
import sys
import threading
import time

import pytest

from qel import NativeBlobCache


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
