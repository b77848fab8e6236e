"""Processes over one cache directory that a test drives call by call: each
is forked, opens a `BlobCache` and answers the calls sent to it, so a test
can order operations across processes exactly, run them side by side, or
kill any of them. The owner of the directory is found in /proc/locks."""

import os
import signal
import threading
from multiprocessing.connection import Pipe

from qel import BlobCache


class RemoteError(Exception):
    """An exception a member's call raised: its class name and text."""

    def __init__(self, kind, text):
        super().__init__(kind, text)  # as pickle rebuilds it
        self.kind, self.text = kind, text

    def __str__(self):
        return f"{self.kind}: {self.text}"


def _call(cache, method, args):
    if method == "len":
        return len(cache)
    if method == "contains":
        return args[0] in cache
    if method == "batch":  # [(method, *args)] one after the other; each result or RemoteError
        results = []
        for name, *rest in args[0]:
            try:
                results.append(_call(cache, name, rest))
            except Exception as e:
                results.append(RemoteError(type(e).__name__, str(e)))
        return results
    return getattr(cache, method)(*args)


class Member:
    """A forked process with the directory open. `background(cache, log_fd)`,
    if given, runs on a thread of its own beside the calls, and what it
    writes to log_fd the test reads from `log` (a pipe's read end)."""

    # The test's ends of every member's pipes: a member closes its copies,
    # or an end the test closes would stay open in it.
    _test_ends = set()

    def __init__(self, directory, max_bytes, *, frequency_counters=0, background=None):
        ours, theirs = Pipe()
        log, log_fd = os.pipe() if background is not None else (-1, -1)
        self.pid = os.fork()
        if self.pid == 0:
            status = 1
            try:
                for fd in Member._test_ends | {ours.fileno(), log} - {-1}:
                    os.close(fd)
                self._serve(theirs, directory, max_bytes, frequency_counters, background, log_fd)
                status = 0
            finally:
                os._exit(status)
        theirs.close()
        if log_fd >= 0:
            os.close(log_fd)
        self.connection, self.log = ours, log
        Member._test_ends |= {ours.fileno(), log} - {-1}
        self.ended = False

    @staticmethod
    def _serve(connection, directory, max_bytes, frequency_counters, background, log_fd):
        try:
            cache = BlobCache(directory, max_bytes, frequency_counters=frequency_counters)
        except Exception as e:
            connection.send(("raised", type(e).__name__, str(e)))
            return
        connection.send(("ok", os.getpid()))
        if background is not None:
            threading.Thread(target=background, args=(cache, log_fd), daemon=True).start()
        while True:
            try:
                method, args = connection.recv()
            except EOFError:
                break
            try:
                connection.send(("ok", _call(cache, method, args)))
            except Exception as e:
                connection.send(("raised", type(e).__name__, str(e)))
        cache.close()

    def opened(self, timeout=60):
        """Waits for the open; RemoteError if it failed."""
        return self.result(timeout)

    def send(self, method, *args):
        self.connection.send((method, args))

    def result(self, timeout=60):
        assert self.connection.poll(timeout), f"member {self.pid} has not answered in {timeout} s: hung"
        kind, *rest = self.connection.recv()
        if kind == "raised":
            raise RemoteError(*rest)
        return rest[0]

    def call(self, method, *args):
        self.send(method, *args)
        return self.result()

    def end(self):
        """Closes the cache and waits for the process; its exit status."""
        self._let_go()
        _, status = os.waitpid(self.pid, 0)
        return status

    def kill(self):
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        self._let_go()

    def _let_go(self):
        Member._test_ends -= {self.connection.fileno()}
        self.connection.close()
        self.ended = True

    def read_log(self):
        """The lines the background has written and the test not yet read;
        all of them once the member has ended."""
        chunks = []
        os.set_blocking(self.log, self.ended)
        try:
            while chunk := os.read(self.log, 1 << 16):
                chunks.append(chunk)
        except BlockingIOError:
            pass
        if self.ended:
            Member._test_ends -= {self.log}
            os.close(self.log)
            self.log = -1
        self._partial = getattr(self, "_partial", b"") + b"".join(chunks)
        *lines, self._partial = self._partial.split(b"\n")
        return [line.decode() for line in lines]


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
