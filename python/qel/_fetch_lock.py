"""`FetchLock`: one process at a time fetches a missing blob, across every
process reading through one cache directory.

The lock is an `flock` on a file of its own in the directory's `tmp/`,
named by a digest of the blob ID, made 0600 and removed by its holder once
the fetch is over. A process that waited re-checks that the file it locked
is still the one at the path, since its holder removes it; a new open's tidy
of `tmp/` may remove it too, which costs at most a second fetch. A lock held
by a process that dies is released with it, so a waiter never waits on the
dead, and what is left behind goes at the next open.

Thread-safety: one `FetchLock` is used by one thread; threads of one
process take the same blob's lock in turn, as processes do.
"""

from __future__ import annotations

import fcntl
import hashlib
import os
import threading

# The descriptors (lock file, tmp/) of the locks this process holds, by any
# thread: a forked child closes its copies, which would otherwise keep the
# parent's locks held for as long as the child lives.
_held: dict[int, int] = {}  # GUARDED_BY(_held_lock)
_held_lock = threading.Lock()


class FetchLock:
    """The lock on fetching one blob into the cache at `directory`."""

    def __init__(self, directory: str, blob_id: str) -> None:
        self._directory = directory
        self._name = f"fetch-{hashlib.sha256(blob_id.encode('utf-8', 'surrogatepass')).hexdigest()}.lock"
        self._tmp = -1
        self._fd = -1

    def acquire(self) -> None:
        """Blocks while another process or thread fetches the blob. OSError
        when the directory's `tmp/` cannot hold the lock file."""
        assert self._fd < 0, "FetchLock taken twice"
        tmp = os.open(os.path.join(self._directory, "tmp"), os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
        try:
            while True:
                fd = os.open(self._name, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600, dir_fd=tmp)
                # Known before it is locked, so that a fork from now on closes the child's copy.
                with _held_lock:
                    _held[fd] = tmp
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX)
                    if _still_at(tmp, self._name, fd):
                        self._tmp, self._fd = tmp, fd
                        return
                except BaseException:
                    _forget(fd)
                    raise
                _forget(fd)  # its holder removed it after its fetch: lock the one there now
        finally:
            if self._fd < 0:
                os.close(tmp)

    def release(self) -> None:
        """Removes the lock file, if it is still the one this lock holds, and
        lets go of it. A file that cannot be removed is left to the next
        open's tidy of `tmp/`; a waiter finds it still in place and takes it."""
        assert self._fd >= 0, "FetchLock released without being held"
        try:
            if _still_at(self._tmp, self._name, self._fd):
                os.unlink(self._name, dir_fd=self._tmp)
        except OSError:
            pass
        finally:
            _forget(self._fd)  # its last descriptor: the lock goes with it
            os.close(self._tmp)
            self._fd = self._tmp = -1


def _still_at(directory: int, name: str, fd: int) -> bool:
    """Whether the file open at `fd` is the one at `name` in `directory`."""
    try:
        at_path = os.stat(name, dir_fd=directory, follow_symlinks=False)
    except FileNotFoundError:
        return False
    held = os.fstat(fd)
    return (at_path.st_dev, at_path.st_ino) == (held.st_dev, held.st_ino)


def _forget(fd: int) -> None:
    with _held_lock:
        del _held[fd]
    os.close(fd)


def _close_inherited() -> None:
    # A thread the child does not have may have held the lock at the fork;
    # the dict itself is whole, as the fork took the interpreter lock.
    global _held_lock
    _held_lock = threading.Lock()
    for fd, tmp in _held.items():
        os.close(fd)
        os.close(tmp)
    _held.clear()


os.register_at_fork(after_in_child=_close_inherited)
