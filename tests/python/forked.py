"""Runs a function in a forked child, so that a test survives a hang or a
crash inside it and can drop root's privileges without losing them; and
runs one in several threads or forked children started together."""

import json
import multiprocessing
import os
import queue
import select
import signal
import threading
import time

NOBODY = 65534


def error_of(call):
    """The text of the RuntimeError call raises, or None if it returns."""
    try:
        call()
    except RuntimeError as e:
        return str(e)
    return None


def run(fn, *args, timeout=60, as_nobody=False):
    """fn(*args) in a child; returns its JSON-able result, or raises
    AssertionError with what it raised or if it hangs for timeout seconds."""
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_fd)
        try:
            if as_nobody and os.getuid() == 0:
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
            result = ["ok", fn(*args)]
        except BaseException as e:
            result = ["raised", f"{type(e).__name__}: {e}"]
        os.write(write_fd, json.dumps(result).encode())
        os._exit(0)
    os.close(write_fd)
    chunks, hung, deadline = [], False, time.monotonic() + timeout
    while select.select([read_fd], [], [], max(0.0, deadline - time.monotonic()))[0]:
        if not (chunk := os.read(read_fd, 1 << 16)):
            break
        chunks.append(chunk)
    else:
        hung = True
        os.kill(pid, signal.SIGKILL)
    os.close(read_fd)
    _, status = os.waitpid(pid, 0)
    assert not hung, f"{fn.__name__} still running after {timeout} s: hung"
    assert status == 0 and chunks, f"{fn.__name__}: child ended with status {status}"
    kind, value = json.loads(b"".join(chunks))
    assert kind == "ok", f"{fn.__name__}: {value}"
    return value


def together(count, read, fork=False):
    """read(i) in `count` threads, or forked children, started together; what each returned or raised, by i."""
    context = multiprocessing.get_context("fork") if fork else None
    barrier = context.Barrier(count) if fork else threading.Barrier(count)
    results = context.Queue() if fork else queue.Queue()

    def run(i):
        barrier.wait()
        try:
            results.put((i, read(i)))
        except Exception as e:
            results.put((i, e))

    workers = [(context.Process if fork else threading.Thread)(target=run, args=(i,)) for i in range(count)]
    for worker in workers:
        worker.start()
    outcome = dict(results.get(timeout=120) for _ in workers)
    for worker in workers:
        worker.join(60)
        assert not fork or worker.exitcode == 0
    return [outcome[i] for i in range(count)]
