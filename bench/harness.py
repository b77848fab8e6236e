"""The timing harness every benchmark shares: loops that time a get or a put
callable from one or more threads, rounds in which the systems take turns,
the ratios taken within a round, and the row each measurement becomes.

Nothing here knows which system it times; bench/systems.py supplies them.
"""

from __future__ import annotations

import dataclasses
import functools
import importlib.util
import json
import math
import multiprocessing
import multiprocessing.connection
import os
import signal
import statistics
import subprocess
import sys
import threading
import time
import traceback
from pathlib import Path
from typing import Any, Callable, Mapping, Sequence, TypeVar

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
KiB = 1024
MiB = 1024 * KiB


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


@functools.cache
def load_native(path: Path | None):
    """The extension module: the file or the build tree given, else
    qel._native. Loaded once per process, so a worker process that opens
    several caches loads it once too."""
    if path is None:
        from qel import _native

        return _native
    if path.is_dir():
        found = sorted(path.glob("_native*.so"))
        if not found:
            raise SystemExit(f"no _native module in {path}")
        path = found[0]
    module_spec = importlib.util.spec_from_file_location("qel._native", path)
    if module_spec is None or module_spec.loader is None:
        raise SystemExit(f"cannot load {path}")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def run_tool(tool: Path, *args: object) -> dict:
    """Runs one of the C++ tools in bench/ and returns the JSON it prints."""
    out = subprocess.run([str(tool), *map(str, args)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


# ---- timing loops ---------------------------------------------------------


def released_together(threads: int, work: Callable[[int, float], None]) -> float:
    """Runs `work(t, start)` on `threads` threads released at once at `start`;
    returns `start` when all are done."""
    barrier = threading.Barrier(threads + 1)
    start = [0.0]

    def run(t: int) -> None:
        barrier.wait()
        work(t, start[0])

    workers = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    start[0] = time.perf_counter()
    barrier.wait()
    for w in workers:
        w.join()
    return start[0]


def timed_reads(get: Callable[[str], object], keys: Sequence[str], threads: int, seconds: float) -> float:
    """Ops per second of `get` over `keys`, round and round, from `threads` threads."""
    batch = 64
    chunks = [keys[i : i + batch] for i in range(0, len(keys), batch)]
    counts = [0] * threads
    ends = [0.0] * threads

    def work(t: int, start: float) -> None:
        perf = time.perf_counter
        # Threads start in different places so they do not read in lockstep.
        i = len(chunks) * t // threads
        done = 0
        deadline = start + seconds
        while True:
            chunk = chunks[i]
            for key in chunk:
                get(key)
            done += len(chunk)
            i = i + 1 if i + 1 < len(chunks) else 0
            if perf() >= deadline:
                break
        counts[t] = done
        ends[t] = perf()

    start = released_together(threads, work)
    return sum(counts) / (max(ends) - start)


def write_key(prefix: str, thread: int, n: int) -> str:
    """The ID the write loops give the `n`th new blob of a thread."""
    return f"{prefix}-{thread}-{n}"


def timed_writes(put: Callable[[str, bytes], object], prefix: str, payloads: Sequence[bytes], threads: int,
                 seconds: float) -> float:
    """Ops per second of `put` writing new keys from `threads` threads."""
    counts = [0] * threads

    def work(t: int, start: float) -> None:
        perf = time.perf_counter
        deadline = start + seconds
        n = 0
        while True:
            put(write_key(prefix, t, n), payloads[n % len(payloads)])
            n += 1
            if perf() >= deadline:
                break
        counts[t] = n

    start = released_together(threads, work)
    return sum(counts) / (time.perf_counter() - start)


# ---- worker processes -----------------------------------------------------

T = TypeVar("T")


def soon(delay: float = 0.05) -> float:
    """A start time a little ahead, on the clock every process shares
    (perf_counter is CLOCK_MONOTONIC), for workers to begin together."""
    return time.perf_counter() + delay


def wait_until(start: float) -> None:
    time.sleep(max(0.0, start - time.perf_counter()))


def _serve(conn: multiprocessing.connection.Connection, index: int) -> None:
    """A worker's loop: runs each (function, args) it receives as
    `function(state, *args)` and sends back (True, result) or (False, the
    traceback); None ends it."""
    state: dict[str, Any] = {"index": index}
    while (message := conn.recv()) is not None:
        function, args = message
        try:
            conn.send((True, function(state, *args)))
        except BaseException:  # the worker lives on; the caller raises
            conn.send((False, traceback.format_exc()))
    conn.close()


class Workers:
    """`count` worker processes, each running the calls sent to it one at a
    time, with a dict of its own kept between calls (the stores it opened,
    `state["index"]` its number). Started by spawn: a worker inherits none of
    this process's threads, open caches or locks, as a process of a user's
    pool would not. The functions sent are module-level ones, found again by
    name in the worker. Not thread-safe: one caller drives them."""

    def __init__(self, count: int) -> None:
        context = multiprocessing.get_context("spawn")
        self.conns: list[multiprocessing.connection.Connection] = []
        self.procs: list[multiprocessing.process.BaseProcess] = []
        for index in range(count):
            ours, theirs = context.Pipe()
            proc = context.Process(target=_serve, args=(theirs, index), daemon=True)
            proc.start()
            theirs.close()
            self.conns.append(ours)
            self.procs.append(proc)

    def __enter__(self) -> Workers:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def call(self, function: Callable[..., T], args: Mapping[int, tuple]) -> dict[int, T]:
        """`function(state, *args[i])` in each worker i of `args` at once;
        their results by worker."""
        for index, call_args in args.items():
            self.conns[index].send((function, call_args))
        results: dict[int, T] = {}
        for index in args:
            ok, result = self.conns[index].recv()
            if not ok:
                raise SystemExit(f"worker {index} failed:\n{result}")
            results[index] = result
        return results

    def each(self, function: Callable[..., T], *args: object, workers: Sequence[int] | None = None) -> list[T]:
        """`function(state, *args)` in every worker (or those listed) at once."""
        indices = range(len(self.procs)) if workers is None else workers
        return list(self.call(function, {i: args for i in indices}).values())

    def kill(self, index: int) -> None:
        """SIGKILLs worker `index` and returns once it is gone."""
        proc = self.procs[index]
        assert proc.pid is not None
        os.kill(proc.pid, signal.SIGKILL)
        proc.join()

    def close(self) -> None:
        for conn, proc in zip(self.conns, self.procs):
            if proc.is_alive():
                try:
                    conn.send(None)
                except OSError:  # it died meanwhile
                    pass
        for conn, proc in zip(self.conns, self.procs):
            proc.join(30)
            if proc.is_alive():
                proc.kill()
                proc.join()
            conn.close()


# ---- rounds and ratios ----------------------------------------------------

Turn = tuple[str, Callable[[], T]]  # a system's name and what measures it once


def take_turns(groups: Sequence[Sequence[Turn[T]]], rnd: int, runs: dict[str, list[T]],
               before: Callable[[], object] = lambda: None) -> None:
    """One round of every system. The groups rotate by the round, so a slow
    spell does not always fall on the same one; a group's members run back to
    back, in reverse order every other round, so the systems compared by a
    ratio are measured side by side and neither always goes first."""
    shift = rnd % len(groups)
    for group in [*groups[shift:], *groups[:shift]]:
        for system, measure in (group if rnd % 2 == 0 else group[::-1]):
            before()
            runs.setdefault(system, []).append(measure())


def ratios(values: Sequence[float], base: Sequence[float]) -> list[float]:
    """The ratio within each round, where the systems ran back to back: the
    machine's speed drifts within seconds here, so a ratio of medians taken
    minutes apart says more about the drift than the systems. A round whose
    base did nothing (its threads got no CPU) is left out."""
    return [v / b for v, b in zip(values, base) if b > 0]


def paired(values: Sequence[float], base: Sequence[float]) -> float:
    """The median of the ratios within each round."""
    within = ratios(values, base)
    return statistics.median(within) if within else math.nan


def quartiles(values: Sequence[float]) -> tuple[float, float]:
    """The lower and upper quartile: the spread that one slow round cannot widen."""
    if len(values) < 2:
        return values[0], values[0]
    q1, _, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return q1, q3


# ---- results --------------------------------------------------------------


@dataclasses.dataclass
class Row:
    workload: str
    system: str
    payload_bytes: int | None
    threads: int | None
    runs: list[float]  # ops/s, seconds or hit ratio, one per round
    unit: str  # "ops/s", "s" or "hit ratio"
    fsync: bool | None = None
    ratio_runs: list[float] | None = None  # share of the limit's speed, one per round
    note: str = ""
    blobs: int | None = None  # the cache size, in blobs, of a hit-ratio row

    @property
    def value(self) -> float:
        return statistics.median(self.runs)

    @property
    def ratio_to_limit(self) -> float | None:
        return statistics.median(self.ratio_runs) if self.ratio_runs else None

    def record(self) -> dict:
        q1, q3 = quartiles(self.runs)
        return {
            "workload": self.workload,
            "system": self.system,
            "payload_bytes": self.payload_bytes,
            "blobs": self.blobs,
            "threads": self.threads,
            "ops_per_s": self.value if self.unit == "ops/s" else None,
            "seconds": self.value if self.unit == "s" else None,
            "hit_ratio": self.value if self.unit == "hit ratio" else None,
            "quartiles": [q1, q3],
            "ratio_to_limit": self.ratio_to_limit,
            "ratio_quartiles": list(quartiles(self.ratio_runs)) if self.ratio_runs else None,
            "fsync": self.fsync,
            "runs": self.runs,
            "ratio_runs": self.ratio_runs,
            "note": self.note,
        }


class Rows(list[Row]):
    """The rows of one run, in the order measured, found by what they measure."""

    def find(self, workload: str, system: str, size: int | None = None, threads: int | None = None,
             blobs: int | None = None) -> Row | None:
        for r in self:
            if (r.workload == workload and r.system == system and (size is None or r.payload_bytes == size)
                    and (threads is None or r.threads == threads) and (blobs is None or r.blobs == blobs)):
                return r
        return None
