"""qel beside the machine's own limits and the Python peers a user would pick.

Every system works on the same payloads in one run; each measurement is
repeated, the systems taking turns within a repeat, and the median kept. `make bench` runs the full size, `make
bench-quick` a reduced one. Writes a table to the terminal,
bench/results/latest.json and bench/results/latest.md.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib.util
import json
import math
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable

import diskcache

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
KiB = 1024
MiB = 1024 * KiB
SIZES = (4 * KiB, 64 * KiB, MiB)
THREADS = (1, 2, 4)
HEADER_LEN = 24
BUDGET = 1 << 40  # far above anything written: nothing is evicted


@dataclasses.dataclass(frozen=True)
class Scale:
    seconds: float  # length of one timed run
    repeats: int  # runs per measurement; the median is reported
    blobs: dict[int, int]  # stored blobs per payload size, read back by get
    reopen_blobs: int
    hit_ratio_args: tuple[str, ...]


FULL = Scale(1.0, 5, {4 * KiB: 4000, 64 * KiB: 1000, MiB: 96}, 20000, ())
# Filling the reopen cache is one fsync per blob: 20000 of them alone would
# take the quick run past two minutes.
QUICK = Scale(0.25, 3, {4 * KiB: 2000, 64 * KiB: 400, MiB: 48}, 5000, ("--quick",))

# What each system promises when a write returns.
DURABILITY = {
    "qel": "fsync of the file, then rename",
    "raw C++": "fsync of the file, then rename",
    "raw C++ sharded": "fsync of the file, then rename",
    "plain dir+fsync": "fsync of the file, then os.replace",
    "plain dir": "no fsync: os.replace of an unsynced file",
    "diskcache": "no fsync per set: SQLite WAL with synchronous=NORMAL; values of 32 KiB and more go to unsynced files",
}
FSYNCS = {"qel": True, "raw C++": True, "raw C++ sharded": True, "plain dir+fsync": True, "plain dir": False, "diskcache": False}


@dataclasses.dataclass
class Row:
    workload: str
    system: str
    payload_bytes: int | None
    threads: int | None
    runs: list[float]  # ops/s, seconds or hit ratio, one per run
    unit: str  # "ops/s", "s" or "hit ratio"
    fsync: bool | None = None
    ratio_to_limit: float | None = None  # share of the machine limit's speed
    note: str = ""
    blobs: int | None = None  # the cache size, in blobs, of a hit-ratio row

    @property
    def value(self) -> float:
        return statistics.median(self.runs)

    def record(self) -> dict:
        return {
            "workload": self.workload,
            "system": self.system,
            "payload_bytes": self.payload_bytes,
            "blobs": self.blobs,
            "threads": self.threads,
            "ops_per_s": self.value if self.unit == "ops/s" else None,
            "seconds": self.value if self.unit == "s" else None,
            "hit_ratio": self.value if self.unit == "hit ratio" else None,
            "ratio_to_limit": self.ratio_to_limit,
            "fsync": self.fsync,
            "runs": self.runs,
            "note": self.note,
        }


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def load_native(path: Path | None):
    """The extension module: the file or the build tree given, else qel._native."""
    if path is None:
        from qel import _native

        return _native
    if path.is_dir():
        found = sorted(path.glob("_native*.so"))
        if not found:
            raise SystemExit(f"no _native module in {path}")
        path = found[0]
    module_spec = importlib.util.spec_from_file_location("qel._native", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


# ---- timing ---------------------------------------------------------------


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


def timed_threads(op: Callable[[str], object], keys: list[str], threads: int, seconds: float) -> float:
    """Ops per second of `op` over `keys`, round and round, from `threads` threads."""
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
                op(key)
            done += len(chunk)
            i = i + 1 if i + 1 < len(chunks) else 0
            if perf() >= deadline:
                break
        counts[t] = done
        ends[t] = perf()

    start = released_together(threads, work)
    return sum(counts) / (max(ends) - start)


def timed_writes(op: Callable[[str, bytes], object], prefix: str, payloads: list[bytes], seconds: float) -> float:
    """Ops per second of `op` writing new keys, one thread."""
    perf = time.perf_counter
    start = perf()
    deadline = start + seconds
    n = 0
    while True:
        op(f"{prefix}-{n}", payloads[n % len(payloads)])
        n += 1
        if perf() >= deadline:
            return n / (perf() - start)


def timed_threaded_writes(op: Callable[[str, bytes], object], prefix: str, payloads: list[bytes], threads: int,
                          seconds: float) -> float:
    """Ops per second of `op` writing new keys from `threads` threads."""
    counts = [0] * threads

    def work(t: int, start: float) -> None:
        deadline = start + seconds
        n = 0
        while True:
            op(f"{prefix}-{t}-{n}", payloads[n % len(payloads)])
            n += 1
            if time.perf_counter() >= deadline:
                break
        counts[t] = n

    start = released_together(threads, work)
    return sum(counts) / (time.perf_counter() - start)


def paired(values: list[float], base: list[float]) -> float:
    """The median of the ratios within each repeat, where systems ran back to
    back: the machine's speed drifts within seconds here, so a ratio of
    medians taken minutes apart says more about the drift than the systems.
    A repeat whose base did nothing (its threads got no CPU) is left out."""
    ratios = [v / b for v, b in zip(values, base) if b > 0]
    return statistics.median(ratios) if ratios else math.nan


def take_turns(turns: list[tuple[str, Callable[[], float]]], rep: int, runs: dict[str, list[float]],
               before: Callable[[], object] = lambda: None) -> None:
    """One repeat of every system, starting at turn `rep`, so a slow spell
    does not always fall on the same one."""
    shift = rep % len(turns)
    for system, measure in turns[shift:] + turns[:shift]:
        before()
        runs.setdefault(system, []).append(measure())


def raw_io(tool: Path, *args: object) -> dict:
    out = subprocess.run([str(tool), *map(str, args)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


# ---- peers ----------------------------------------------------------------


class PlainDir:
    """One file per key; reads with open().read(), writes with os.replace."""

    def __init__(self, root: Path, fsync: bool):
        self.root = str(root)
        self.tmp = os.path.join(self.root, ".tmp")
        self.fsync = fsync
        os.makedirs(self.tmp, exist_ok=True)

    def get(self, key: str) -> bytes | None:
        try:
            with open(os.path.join(self.root, key), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def set(self, key: str, payload: bytes) -> None:
        tmp = os.path.join(self.tmp, key)
        with open(tmp, "wb") as f:
            f.write(payload)
            if self.fsync:
                f.flush()
                os.fsync(f.fileno())
        os.replace(tmp, os.path.join(self.root, key))


# ---- the run --------------------------------------------------------------


class Bench:
    def __init__(self, args: argparse.Namespace, scale: Scale):
        self.scale = scale
        self.native = load_native(args.native)
        self.raw = args.tools / "raw_io"
        self.hit_ratio = args.tools / "hit_ratio"
        self.work = args.workdir
        self.rows: list[Row] = []
        rng = random.Random(7)
        # One payload set per size, shared by every system.
        self.payloads = {size: [rng.randbytes(size) for _ in range(8)] for size in SIZES}
        self.keys = {size: [f"blob-{size}-{i:06d}" for i in range(scale.blobs[size])] for size in SIZES}

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        log(f"  {row.workload:<8} {row.system:<16} {fmt_size(row.payload_bytes):>7} "
            f"t={row.threads or '-'} {fmt_value(row.value, row.unit)}")
        return row

    def populate(self, size: int):
        """The get data set of one size, stored in qel, diskcache and a plain directory."""
        keys = self.keys[size]
        payloads = self.payloads[size]
        qel_dir = self.work / f"qel-{size}"
        qel = self.native.NativeBlobCache(str(qel_dir), BUDGET, 0)
        dc = diskcache.Cache(str(self.work / f"diskcache-{size}"), size_limit=BUDGET)
        plain = PlainDir(self.work / f"plain-{size}", fsync=False)
        for i, key in enumerate(keys):
            payload = payloads[i % len(payloads)]
            if not qel.put(key, payload):
                raise SystemExit(f"qel refused {key}; the budget is meant to hold everything")
            dc.set(key, payload)
            plain.set(key, payload)
        for system, get in (("qel", qel.get), ("diskcache", dc.get), ("plain dir", plain.get)):
            for i in (0, len(keys) - 1):
                if get(keys[i]) != payloads[i % len(payloads)]:
                    raise SystemExit(f"{system} returned the wrong payload for {keys[i]}")
        return qel, qel_dir, dc, plain

    def bench_get(self, size: int) -> None:
        log(f"get, {fmt_size(size)} payloads, {len(self.keys[size])} blobs")
        qel, qel_dir, dc, plain = self.populate(size)
        keys = self.keys[size]
        blobs_dir = qel_dir / "blobs"
        # Warm the page cache and every system's first-use paths.
        for get in (qel.get, dc.get, plain.get):
            for key in keys:
                get(key)
        seconds = self.scale.seconds
        for threads in THREADS:
            turns = [("raw C++", lambda: rate(raw_io(self.raw, "read", blobs_dir, seconds, threads)))]
            turns += [(system, lambda get=get: timed_threads(get, keys, threads, seconds))
                      for system, get in (("qel", qel.get), ("diskcache", dc.get), ("plain dir", plain.get))]
            runs: dict[str, list[float]] = {}
            for rep in range(self.scale.repeats):
                take_turns(turns, rep, runs)
            limit = runs.pop("raw C++")
            self.add(Row("get", "raw C++", size, threads, limit, "ops/s", ratio_to_limit=1.0,
                         note="open, fstat, read, close of qel's files; no checks"))
            for system, values in runs.items():
                self.add(Row("get", system, size, threads, values, "ops/s", ratio_to_limit=paired(values, limit)))
        qel.close()
        dc.close()

    def bench_put(self, size: int) -> None:
        log(f"put of new blobs, {fmt_size(size)} payloads")
        payloads = self.payloads[size]
        file_len = HEADER_LEN + len(f"put-{size}-0-000000") + size
        seconds = self.scale.seconds
        runs: dict[str, list[float]] = {}
        # Each system starts with nothing dirty, or it would pay for the
        # write-back of the data the one before it left behind.
        for rep in range(self.scale.repeats):
            target = self.work / f"put-{size}-{rep}"
            target.mkdir()  # raw_io makes only the last level
            prefix = f"put-{size}-{rep}"

            def qel_put() -> float:
                qel = self.native.NativeBlobCache(str(target / "qel"), BUDGET, 0)
                try:
                    return timed_writes(checked_put(qel), prefix, payloads, seconds)
                finally:
                    qel.close()

            def plain_put(system: str, fsync: bool) -> float:
                return timed_writes(PlainDir(target / system.replace(" ", "-"), fsync).set, prefix, payloads, seconds)

            def diskcache_put() -> float:
                with diskcache.Cache(str(target / "diskcache"), size_limit=BUDGET) as dc:
                    return timed_writes(dc.set, prefix, payloads, seconds)

            turns: list[tuple[str, Callable[[], float]]] = [
                ("raw C++", lambda: rate(raw_io(self.raw, "write", target / "raw", seconds, file_len))),
                ("raw C++ sharded", lambda: rate(raw_io(self.raw, "write-sharded", target / "sharded", seconds, file_len))),
                ("qel", qel_put),
                ("plain dir+fsync", lambda: plain_put("plain dir+fsync", True)),
                ("plain dir", lambda: plain_put("plain dir", False)),
                ("diskcache", diskcache_put),
            ]
            take_turns(turns, rep, runs, before=os.sync)
            shutil.rmtree(target)
        limit_runs, sharded_runs = runs.pop("raw C++"), runs.pop("raw C++ sharded")
        self.add(Row("put", "raw C++", size, 1, limit_runs, "ops/s", True, 1.0,
                     "create, write, fsync, close, rename; one directory"))
        # qel's files go into 65,536 shard directories, most of them new while
        # a cache is young; this limit pays for making them as qel does.
        self.add(Row("put", "raw C++ sharded", size, 1, sharded_runs, "ops/s", True, paired(sharded_runs, limit_runs),
                     "as raw C++, renamed into two levels of 256 shard directories made on first use"))
        for system, values in runs.items():
            row = self.add(Row("put", system, size, 1, values, "ops/s", FSYNCS[system], paired(values, limit_runs)))
            if system == "qel":
                row.note = f"{paired(values, sharded_runs):.2f} of raw C++ sharded"
            if not FSYNCS[system]:
                row.note = "no fsync: faster for that reason"

    def bench_put_threads(self, size: int) -> None:
        """Puts of new blobs from 1, 2 and 4 threads beside the raw durable
        write loop run with as many threads into the same shard layout."""
        log(f"put of new blobs from several threads, {fmt_size(size)} payloads")
        payloads = self.payloads[size]
        file_len = HEADER_LEN + len(f"put-{size}-0-0-000000") + size
        seconds = self.scale.seconds
        for threads in THREADS:
            runs: dict[str, list[float]] = {}
            for rep in range(self.scale.repeats):
                target = self.work / f"put-threads-{size}-{threads}-{rep}"
                target.mkdir()
                prefix = f"put-{size}-{rep}"

                def qel_put() -> float:
                    qel = self.native.NativeBlobCache(str(target / "qel"), BUDGET, 0)
                    try:
                        return timed_threaded_writes(checked_put(qel), prefix, payloads, threads, seconds)
                    finally:
                        qel.close()

                def diskcache_put() -> float:
                    with diskcache.Cache(str(target / "diskcache"), size_limit=BUDGET) as dc:
                        return timed_threaded_writes(dc.set, prefix, payloads, threads, seconds)

                turns: list[tuple[str, Callable[[], float]]] = [
                    ("raw C++ sharded", lambda: rate(raw_io(self.raw, "write-sharded", target / "sharded", seconds,
                                                            file_len, threads))),
                    ("qel", qel_put),
                    ("diskcache", diskcache_put),
                ]
                take_turns(turns, rep, runs, before=os.sync)
                shutil.rmtree(target)
            limit = runs.pop("raw C++ sharded")
            self.add(Row("put threads", "raw C++ sharded", size, threads, limit, "ops/s", True, 1.0,
                         "create, write, fsync, close, rename into two levels of shard directories, per thread"))
            for system, values in runs.items():
                row = self.add(Row("put threads", system, size, threads, values, "ops/s", FSYNCS[system],
                                   paired(values, limit)))
                if not FSYNCS[system]:
                    row.note = "no fsync: faster for that reason"

    def bench_reopen(self) -> None:
        n = self.scale.reopen_blobs
        size = 4 * KiB
        log(f"reopen of {n} blobs of {fmt_size(size)}")
        cache_dir = self.work / "reopen"
        qel = self.native.NativeBlobCache(str(cache_dir), BUDGET, 0)
        put = checked_put(qel)
        payloads = self.payloads[size]
        for i in range(n):
            put(f"reopen-{i:06d}", payloads[i % len(payloads)])
        qel.close()
        raw_io(self.raw, "walk", cache_dir)  # warm the page cache

        def reopen() -> float:
            start = time.perf_counter()
            cache = self.native.NativeBlobCache(str(cache_dir), BUDGET, 0)
            elapsed = time.perf_counter() - start
            cache.close()
            return elapsed

        raw_runs, qel_runs = [], []
        for _ in range(self.scale.repeats):
            raw_runs.append(raw_io(self.raw, "walk", cache_dir)["seconds"])
            qel_runs.append(reopen())
        self.add(Row("reopen", "raw C++", size, 1, raw_runs, "s", ratio_to_limit=1.0,
                     note=f"walk the tree, read every byte of {n} files"))
        self.add(Row("reopen", "qel", size, 1, qel_runs, "s", ratio_to_limit=paired(raw_runs, qel_runs),
                     note=f"open a cache of {n} blobs: verify every file, offer it to the engine"))
        # Every blob must have survived the reopens.
        cache = self.native.NativeBlobCache(str(cache_dir), BUDGET, 0)
        missing = sum(cache.get(f"reopen-{i:06d}") is None for i in range(0, n, max(1, n // 100)))
        cache.close()
        if missing:
            raise SystemExit(f"{missing} sampled blobs missing after reopen")
        shutil.rmtree(cache_dir)

    def bench_hit_ratio(self) -> None:
        log("hit ratio: real path on tmpfs, engine alone, LRU and OPT, at 1,000, 10,000 and 100,000 blobs")
        out = subprocess.run([str(self.hit_ratio), *self.scale.hit_ratio_args], check=True, capture_output=True,
                             text=True).stdout
        notes = {"qel": "get, put on a miss, through the cache core", "engine": "the engine alone"}
        for blobs, trace, policy, ratio in parse_hit_ratio(out):
            self.add(Row(f"hit ratio {trace}", policy, None, 1, [ratio], "hit ratio", note=notes.get(policy, ""),
                         blobs=blobs))

    def bench_exclusive(self) -> None:
        """Latency of close and delete_all while 4 threads put and get 4 KiB
        blobs without pause: the calls that must run alone get in. delete_all
        also removes every file, so it is timed a second time once the
        threads have stopped, with about as many files: the part of its
        latency that is its own work."""
        rounds, workers_n = 20, 4
        log(f"close and delete_all beside {workers_n} busy threads, {rounds} rounds")
        payload = self.payloads[4 * KiB][0]
        latencies: dict[str, list[float]] = {"close busy": [], "delete_all busy": [], "delete_all idle": []}
        for rnd in range(rounds):
            for call in ("close", "delete_all"):
                cache = self.native.NativeBlobCache(str(self.work / f"exclusive-{rnd}"), BUDGET, 0)
                stop = threading.Event()

                def work(t: int) -> None:
                    i = 0
                    try:
                        while not stop.is_set():
                            cache.put(f"{t}-{i}", payload)
                            cache.get(f"{t}-{i}")
                            i += 1
                    except RuntimeError:  # blob cache is closed
                        pass

                def timed(name: str) -> None:
                    start = time.perf_counter()
                    getattr(cache, name)()
                    latencies[f"{name} {'idle' if stop.is_set() else 'busy'}"].append(time.perf_counter() - start)

                workers = [threading.Thread(target=work, args=(t,)) for t in range(workers_n)]
                for w in workers:
                    w.start()
                time.sleep(0.1)
                timed(call)
                if call == "delete_all":
                    time.sleep(0.1)
                    stop.set()
                    for w in workers:
                        w.join()
                    timed(call)
                cache.close()
                stop.set()
                for w in workers:
                    w.join()
                shutil.rmtree(self.work / f"exclusive-{rnd}")
        for workload, values in latencies.items():
            beside = "beside threads that put and get" if workload.endswith("busy") else "after the threads stopped"
            self.add(Row(workload, "qel", 4 * KiB, workers_n, values, "s",
                         note=f"max {max(values) * 1000:.1f} ms over {rounds} rounds {beside}"))

    def run(self, parts: list[str]) -> None:
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        try:
            if "get" in parts:
                for size in SIZES:
                    self.bench_get(size)
            if "put" in parts:
                for size in SIZES:
                    self.bench_put(size)
            if "put-threads" in parts:
                for size in (4 * KiB, 64 * KiB):
                    self.bench_put_threads(size)
            if "reopen" in parts:
                self.bench_reopen()
            if "hit" in parts:
                self.bench_hit_ratio()
            if "exclusive" in parts:
                self.bench_exclusive()
        finally:
            shutil.rmtree(self.work, ignore_errors=True)


def checked_put(cache) -> Callable[[str, bytes], None]:
    def put(key: str, payload: bytes) -> None:
        if not cache.put(key, payload):
            raise SystemExit(f"qel refused {key}; the budget is meant to hold everything")

    return put


def rate(raw: dict) -> float:
    return raw["ops"] / raw["seconds"]


def parse_hit_ratio(text: str) -> list[tuple[int, str, str, float]]:
    """(blobs, trace, policy, ratio) from the hit_ratio table: a header row
    "blobs trace accesses" followed by the policies' names, then one row per
    cache size and trace with a percentage for each policy."""
    lines = [line.split() for line in text.splitlines()]
    start = next(i for i, cells in enumerate(lines) if cells[:3] == ["blobs", "trace", "accesses"])
    policies = lines[start][3:]
    result = []
    for cells in lines[start + 1:]:
        if len(cells) != 3 + len(policies) or not cells[0].isdigit():
            continue
        for policy, value in zip(policies, cells[3:]):
            result.append((int(cells[0]), cells[1], policy, float(value.rstrip("%")) / 100))
    return result


# ---- reporting ------------------------------------------------------------


def fmt_size(size: int | None) -> str:
    if size is None:
        return "-"
    return f"{size // MiB} MiB" if size >= MiB else f"{size // KiB} KiB"


def fmt_value(value: float, unit: str) -> str:
    if unit == "ops/s":
        return f"{value:,.0f} ops/s"
    if unit == "s":
        return f"{value * 1000:,.1f} ms"
    return f"{value * 100:.1f} %"


def table(rows: list[Row]) -> list[list[str]]:
    out = [["workload", "size", "threads", "system", "fsync", "result", "vs limit", "note"]]
    for r in rows:
        fsync = "-" if r.fsync is None else ("yes" if r.fsync else "no")
        ratio = "-" if r.ratio_to_limit is None else f"{r.ratio_to_limit:.2f}"
        size = f"{r.blobs:,} blobs" if r.blobs else fmt_size(r.payload_bytes)
        out.append([r.workload, size, str(r.threads or "-"), r.system, fsync,
                    fmt_value(r.value, r.unit), ratio, r.note])
    return out


def terminal_table(cells: list[list[str]]) -> str:
    widths = [max(len(row[i]) for row in cells) for i in range(len(cells[0]))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() for row in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def markdown_table(cells: list[list[str]]) -> str:
    lines = ["| " + " | ".join(cells[0]) + " |", "|" + "---|" * len(cells[0])]
    lines += ["| " + " | ".join(row) + " |" for row in cells[1:]]
    return "\n".join(lines)


def find(rows: list[Row], workload: str, system: str, size: int | None = None, threads: int | None = None) -> Row | None:
    for r in rows:
        if r.workload == workload and r.system == system and (size is None or r.payload_bytes == size) \
                and (threads is None or r.threads == threads):
            return r
    return None


def targets(rows: list[Row]) -> list[dict]:
    """Each target with the ratio it was judged by; missing rows are skipped."""
    checks = []

    def check(name: str, got: float | None, want: float, at_most: bool = False) -> None:
        if got is not None:
            met = got <= want if at_most else got >= want
            checks.append({"target": name, "measured": round(got, 3), "wanted": ("<= " if at_most else ">= ") + str(want),
                           "met": met})

    def value(row: Row | None) -> float | None:
        return None if row is None else row.value

    small = 4 * KiB
    qel_get = find(rows, "get", "qel", small, 1)
    dc_get = find(rows, "get", "diskcache", small, 1)
    check("get 4 KiB, 1 thread, share of the raw read limit", qel_get and qel_get.ratio_to_limit, 0.8)
    if qel_get and dc_get:
        check("get 4 KiB, 1 thread, times diskcache get", paired(qel_get.runs, dc_get.runs), 2.0)
    for size in SIZES:
        one, two = value(find(rows, "get", "qel", size, 1)), value(find(rows, "get", "qel", size, 2))
        if one and two:
            check(f"get {fmt_size(size)}, 2 threads over 1 thread", two / one, 1.7)
    for size in (small, MiB):
        row = find(rows, "put", "qel", size)
        check(f"put {fmt_size(size)}, share of the raw durable write limit", row and row.ratio_to_limit, 0.9)
    qel_reopen, raw_walk = find(rows, "reopen", "qel"), find(rows, "reopen", "raw C++")
    if qel_reopen and raw_walk:
        check("reopen of the cache, times the raw walk-and-read", paired(qel_reopen.runs, raw_walk.runs), 1.5,
              at_most=True)
    for size in (4 * KiB, 64 * KiB):
        raw_one, raw_four = value(find(rows, "put threads", "raw C++ sharded", size, 1)), \
            value(find(rows, "put threads", "raw C++ sharded", size, 4))
        one, four = find(rows, "put threads", "qel", size, 1), find(rows, "put threads", "qel", size, 4)
        check(f"put {fmt_size(size)}, 4 threads, share of the raw loop with 4 threads", four and four.ratio_to_limit, 0.8)
        if raw_one and raw_four and one and four and raw_four / raw_one >= 2.5:
            check(f"put {fmt_size(size)}, 4 threads over 1 thread (raw loop gains {raw_four / raw_one:.1f}x)",
                  four.value / one.value, 2.0)
    for call in ("close", "delete_all"):
        row = find(rows, f"{call} busy", "qel")
        check(f"{call} beside 4 busy threads, slowest of the rounds (s)", row and max(row.runs), 0.1, at_most=True)
    # Hit ratio on the real path, with the default settings, at every size.
    def hit(workload: str, blobs: int, system: str) -> Row | None:
        return next((r for r in rows if r.workload == workload and r.blobs == blobs and r.system == system), None)

    for workload, blobs in sorted({(r.workload, r.blobs) for r in rows if r.workload.startswith("hit ratio ")},
                                  key=lambda wb: (wb[1], wb[0])):
        qel, lru, opt = (hit(workload, blobs, system) for system in ("qel", "LRU", "OPT"))
        trace = workload.removeprefix("hit ratio ")
        zipf = trace.startswith("zipf-")
        if qel and lru:
            check(f"hit ratio {trace}, {blobs:,} blobs: qel minus LRU (points)", 100 * (qel.value - lru.value),
                  1.0 if zipf else 0.0)
        if qel and opt and trace == "zipf-0.99":
            check(f"hit ratio {trace}, {blobs:,} blobs: OPT minus qel (points)", 100 * (opt.value - qel.value), 10.0,
                  at_most=True)
    return checks


def machine() -> dict:
    cpu = "unknown"
    try:
        cpu = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return {"nproc": os.cpu_count(), "cpu": cpu, "kernel": platform.release(), "python": platform.python_version(),
            "diskcache": diskcache.__version__}


def filesystem(path: Path) -> str:
    """Type and device of the mount holding `path`."""
    best, kind = "", "unknown"
    try:
        for line in open("/proc/mounts"):
            device, mount, fstype, options = line.split()[:4]
            if str(path).startswith(mount) and len(mount) > len(best):
                best, kind = mount, f"{fstype} on {device} ({options.split(',')[0]})"
    except OSError:
        pass
    return kind


def print_checks(checks: list[dict]) -> None:
    for c in checks:
        print(f"{'met ' if c['met'] else 'MISS'}  {c['target']}: {c['measured']} (want {c['wanted']})")


def write_results(stem: Path, result: dict, cells: list[list[str]], checks: list[dict]) -> None:
    """`stem`.json holds everything measured; `stem`.md the table and the targets."""
    stem.parent.mkdir(parents=True, exist_ok=True)
    stem.with_suffix(".json").write_text(json.dumps(result, indent=1) + "\n")
    md = [markdown_table(cells), "", *(f"- {'met' if c['met'] else '**missed**'}: {c['target']}: "
                                       f"{c['measured']} (want {c['wanted']})" for c in checks)]
    stem.with_suffix(".md").write_text("\n".join(md) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="reduced sizes, under two minutes")
    parser.add_argument("--tools", type=Path, default=ROOT / "build/h-bench/bench", help="where raw_io and hit_ratio are")
    parser.add_argument("--native", type=Path, help="the _native module, or the build tree holding it, to load instead of qel._native")
    parser.add_argument("--workdir", type=Path, default=ROOT / "build/h-bench/data", help="scratch directory")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="where latest.json and latest.md go")
    parser.add_argument("--only", nargs="+", choices=("get", "put", "put-threads", "reopen", "hit", "exclusive"),
                        default=["get", "put", "put-threads", "reopen", "hit", "exclusive"])
    args = parser.parse_args()
    args.workdir = args.workdir.resolve()
    scale = QUICK if args.quick else FULL
    started = time.perf_counter()
    bench = Bench(args, scale)
    bench.run(args.only)
    host = machine()
    args.workdir.mkdir(parents=True, exist_ok=True)
    host["filesystem"] = filesystem(args.workdir)
    args.workdir.rmdir()
    checks = targets(bench.rows)
    cells = table(bench.rows)

    print(terminal_table(cells))
    print()
    print_checks(checks)
    print(f"\n{host['nproc']} x {host['cpu']}, {host['filesystem']}; "
          f"{'quick' if args.quick else 'full'} run, median of {scale.repeats}, {time.perf_counter() - started:.0f} s")
    result = {"mode": "quick" if args.quick else "full", "machine": host, "repeats": scale.repeats,
              "seconds_per_run": scale.seconds, "durability": DURABILITY,
              "rows": [r.record() for r in bench.rows], "targets": checks}
    write_results(args.results / "latest", result, cells, checks)


if __name__ == "__main__":
    main()
