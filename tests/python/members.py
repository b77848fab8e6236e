"""Processes over one cache directory that a test drives call by call: each
is forked, opens a `BlobCache` and answers the calls sent to it, so a test
can order operations across processes exactly, run them side by side, or
kill any of them. `churn` is a background that puts, deletes and reads until
killed, logging what it was promised. The owner of the directory is found in
/proc/locks."""

import os
import signal
import threading
from multiprocessing.connection import Pipe

from qel import BlobCache


def payload(blob_id, version=0):
    """Distinct per ID and version, its length varying by ID, so a mix-up or a torn read shows."""
    return f"{blob_id}#{version};".encode() * (1 + sum(map(ord, blob_id)) % 97)


class RemoteError(Exception):
    """An exception a member's call raised, as "its class name: its text"."""


def _call(cache, method, args):
    if method == "len":
        return len(cache)
    if method == "contains":
        return args[0] in cache
    if method == "batch":  # [(method, *args)] one after the other; each result, or the class name of what it raised
        results = []
        for name, *rest in args[0]:
            try:
                results.append(_call(cache, name, rest))
            except Exception as e:
                results.append(type(e).__name__)
        return results
    return getattr(cache, method)(*args)


class Member:
    """A forked process with the directory open, as BlobCache(directory,
    max_bytes, **options). Each of `backgrounds`, called with the cache, runs
    on a thread of its own beside the calls."""

    # The test's ends of every member's pipe: a member closes its copies, or
    # an end the test closes would stay open in it.
    _test_ends = set()

    def __init__(self, directory, max_bytes, backgrounds=(), **options):
        ours, theirs = Pipe()
        self.pid = os.fork()
        if self.pid == 0:
            status = 1
            try:
                for fd in Member._test_ends | {ours.fileno()}:
                    os.close(fd)
                self._serve(theirs, directory, max_bytes, options, backgrounds)
                status = 0
            finally:
                os._exit(status)
        theirs.close()
        self.connection, self.ended = ours, False
        Member._test_ends.add(ours.fileno())

    @staticmethod
    def _serve(connection, directory, max_bytes, options, backgrounds):
        try:
            cache = BlobCache(directory, max_bytes, **options)
        except Exception as e:
            connection.send(("raised", f"{type(e).__name__}: {e}"))
            return
        connection.send(("ok", os.getpid()))
        for background in backgrounds:
            threading.Thread(target=background, args=(cache,), daemon=True).start()
        while True:
            try:
                method, args = connection.recv()
            except EOFError:
                break
            try:
                connection.send(("ok", _call(cache, method, args)))
            except Exception as e:
                connection.send(("raised", f"{type(e).__name__}: {e}"))
        cache.close()

    def opened(self, timeout=60):
        """Waits for the open; RemoteError if it failed."""
        return self.result(timeout)

    def send(self, method, *args):
        self.connection.send((method, args))

    def result(self, timeout=60):
        assert self.connection.poll(timeout), f"member {self.pid} has not answered in {timeout} s: hung"
        kind, value = self.connection.recv()
        if kind == "raised":
            raise RemoteError(value)
        return value

    def call(self, method, *args):
        self.send(method, *args)
        return self.result()

    def end(self):
        """Closes the cache and waits for the process; its exit status."""
        self._let_go()
        return os.waitpid(self.pid, 0)[1]

    def kill(self):
        """SIGKILLs the process, which must not have died of anything else first."""
        os.kill(self.pid, signal.SIGKILL)
        status = os.waitpid(self.pid, 0)[1]
        self._let_go()
        assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL, f"member {self.pid}: status {status}"

    def _let_go(self):
        Member._test_ends.discard(self.connection.fileno())
        self.connection.close()
        self.ended = True


def churn(log_path, ids, reads, rng, roomy, clears=False):
    """A background that puts and deletes `ids` and reads `reads` until
    killed, appending to log_path: P after a put returned True, D before a
    delete, A before a delete_all (with `clears`), X after a read of other
    bytes than payload(ID), or (`roomy`: nothing is evicted) of none for an
    ID it holds, E with what it raised. Only it writes `ids`, so the log is
    their whole story."""
    def run(cache):
        log, mine = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT), set()
        try:
            while True:
                blob_id, r = rng.choice(ids), rng.random()
                if r < 0.5:
                    if cache.put(blob_id, payload(blob_id)):
                        mine.add(blob_id)
                        os.write(log, f"P {blob_id}\n".encode())
                elif r < 0.7:
                    os.write(log, f"D {blob_id}\n".encode())
                    mine.discard(blob_id)
                    cache.delete(blob_id)
                elif r < 0.99 or not clears:
                    read = rng.choice(reads)
                    data = cache.get(read)
                    if data not in (None, payload(read)) or (roomy and data is None and read in mine):
                        os.write(log, f"X {read}: {None if data is None else data[:40]!r}\n".encode())
                else:
                    os.write(log, b"A\n")
                    mine.clear()
                    cache.delete_all()
        except BaseException as e:
            os.write(log, f"E {e!r}\n".encode())
    return run


def promised(log_path, stored):
    """Brings `stored`, the IDs whose last logged event is a put that returned
    True, up to the log of a churn that has been killed, and removes the log;
    AssertionError on a line that is not P, D or A."""
    try:
        with open(log_path) as log:
            lines = log.read().split("\n")[:-1]  # a kill may cut the last line short
    except FileNotFoundError:  # killed before its churn began
        return
    os.remove(log_path)
    for line in lines:
        kind, _, blob_id = line.partition(" ")
        assert kind in ("P", "D", "A"), line
        if kind == "A":
            stored.clear()
        else:
            (stored.add if kind == "P" else stored.discard)(blob_id)


def owner_pid(directory):
    """The process holding the directory's lock, or None."""
    st = os.stat(directory)
    node = f"{os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino}"
    with open("/proc/locks") as locks:
        for line in locks:
            fields = line.split()
            if fields[1] == "FLOCK" and fields[5] == node and fields[3] == "WRITE":
                return int(fields[4])
    return None
