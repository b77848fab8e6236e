"""The interpreter lock released during core calls, close and delete_all beside busy threads, a process ending
with threads inside cache calls, a second open joining the first. Threads racing on one cache
are otherwise the C++ concurrency suites', under ThreadSanitizer: the binding shares nothing else."""

import itertools
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from qel import NativeBlobCache

import blob_files


@pytest.mark.parametrize("operation", ["get", "put", "open"])
def test_interpreter_lock_is_released_during_core_calls(cache, tmp_path, operation):
    big = os.urandom(8 << 20)
    assert cache.put("big", big)
    planted = str(tmp_path / "planted")
    if operation == "open":  # enough files that verifying them takes a good many milliseconds
        filler = NativeBlobCache(planted, 1 << 30, 0, durable=False)
        for i in range(3000):
            filler.put(f"planted/{i}", b"p" * 100)
        filler.close()
    calls = {"get": lambda n: cache.get("big"), "put": lambda n: cache.put(f"big/{n}", big),
             "open": lambda n: NativeBlobCache(planted, 1 << 30, 0)}
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
            result = calls[operation](attempt)
            moved = counter[0] > before
            if operation == "open":
                result.close()  # which releases the lock too: only once the counter is read
            if moved:
                break
        assert moved
    finally:
        stop.set()
        counting.join()
        sys.setswitchinterval(interval)


@pytest.mark.parametrize("spelling", ["same", "link", "trailing slash", "relative"])
def test_a_second_open_in_the_process_joins_the_first(tmp_path, monkeypatch, spelling):
    directory = str(tmp_path / "cache")
    first = NativeBlobCache(directory, 1 << 20, 0)
    assert first.put("x", b"one")
    os.symlink(directory, tmp_path / "link")
    monkeypatch.chdir(tmp_path)
    second = NativeBlobCache({"same": directory, "link": str(tmp_path / "link"), "trailing slash": directory + "/",
                              "relative": "cache"}[spelling], 1 << 20, 0)
    assert second.get("x") == b"one" and second.put("y", b"two") and first.get("y") == b"two"
    assert sorted(os.listdir(directory)) == ["blobs", "tmp"], "the lock must leave nothing in the directory"
    first.close()  # the owner: the second takes over
    assert second.put("z", b"three") and second.stats()[0] == 3
    assert not blob_files.lock_is_free(directory)
    del second  # a drop lets go of the directory as a close does
    assert blob_files.lock_is_free(directory)


# Through the binding, whose calls the interpreter lock spaces out: a lock
# that lets overlapping readers starve a waiting writer is the C++
# concurrency suite's to catch, which it does where this test does not.
# Whether the calls overlap depends on the threads' timing, so a few rounds.
@pytest.mark.parametrize("calls", [["close"], ["delete_all", "close"]])
def test_exclusive_calls_return_while_threads_put_and_get_flat_out(tmp_path, calls):
    for round in range(3):
        cache = NativeBlobCache(str(tmp_path / str(round)), 1 << 22, 0)
        outcome, running = {}, threading.Semaphore(0)

        def busy(t):
            try:
                for i in itertools.count():
                    cache.put(f"{t}/{i}", b"x" * 4096)
                    cache.get(f"{t}/{i}")
                    if i == 15:
                        running.release()
            except RuntimeError as error:
                outcome[t] = str(error)

        workers = [threading.Thread(target=busy, args=(t,), daemon=True) for t in range(4)]
        for worker in workers:
            worker.start()
        for _ in workers:  # every worker is past its first rounds
            assert running.acquire(timeout=60)
        for call in calls:
            caller = threading.Thread(target=getattr(cache, call), daemon=True)
            caller.start()
            caller.join(30)  # only turns a hang into a failure
            assert not caller.is_alive(), f"round {round}: {call}() did not return while 4 threads put and get"
        for worker in workers:
            worker.join(30)
        assert outcome == {t: "blob cache is closed" for t in range(4)}


# A thread that re-takes the interpreter lock after a core call while the
# interpreter finalizes is ended by a forced unwind through the frames below
# it. Four daemon threads loop on one call; the interpreter then ends, by
# running off the end or by an uncaught KeyboardInterrupt. Any frame on the
# way that the unwind cannot pass makes the process abort instead.
BUSY_AT_EXIT = """if True:
    import itertools, os, sys, threading, time
    from qel import NativeBlobCache
    from qel._native import purge
    root, call, how = sys.argv[1:]
    cache = NativeBlobCache(os.path.join(root, "shared"), 1 << 22, 0)
    for i in range(64):
        cache.put(f"held/{i}", b"h" * (16 << 10))  # read in two runs
    for t in range(4):
        os.mkdir(os.path.join(root, str(t)))
    calls = {
        "put": lambda t, i: cache.put(f"{t}/{i}", b"x" * 4096),
        "get": lambda t, i: cache.get(f"held/{i % 64}"),
        "delete_all": lambda t, i: cache.delete_all(),
        "open and close": lambda t, i: NativeBlobCache(os.path.join(root, str(t)), 1 << 22, 0).close(),
        "purge": lambda t, i: purge(os.path.join(root, str(t))),
    }
    def work(t):
        for i in itertools.count():
            calls[call](t, i)
    for t in range(4):
        threading.Thread(target=work, args=(t,), daemon=True).start()
    print("running", flush=True)
    # Short sleeps: SIGINT may land on any thread, and only the main thread
    # raises KeyboardInterrupt, once it runs again.
    deadline = time.monotonic() + (0.3 if how == "end" else 60)
    while time.monotonic() < deadline:
        time.sleep(0.01)
"""


# An uncaught KeyboardInterrupt ends the interpreter by SIGINT itself. Runs side
# by side: each ends on its own.
@pytest.mark.parametrize("how, status", [("end", 0), ("sigint", -signal.SIGINT)])
@pytest.mark.parametrize("call", ["put", "get", "delete_all", "open and close", "purge"])
def test_interpreter_ends_cleanly_with_threads_inside_cache_calls(tmp_path, call, how, status):
    children = []
    for run in range(3):
        (tmp_path / str(run)).mkdir()
        children.append(subprocess.Popen([sys.executable, "-c", BUSY_AT_EXIT, str(tmp_path / str(run)), call, how],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
    try:
        for run, child in enumerate(children):
            assert child.stdout.readline() == "running\n", child.stderr.read()
            if how == "sigint":
                time.sleep(0.3)
                child.send_signal(signal.SIGINT)
            _, err = child.communicate(timeout=60)
            assert child.returncode == status, f"run {run}: {err}"
            assert err.splitlines()[-1:] == ([] if how == "end" else ["KeyboardInterrupt"]), f"run {run}: {err}"
    finally:
        for child in children:
            child.kill()
            child.communicate()
