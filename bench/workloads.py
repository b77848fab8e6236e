"""What bench/compare.py measures: one function per workload, each turning
rounds of measurements into rows.

A workload picks its systems (bench/systems.py), opens each one's store in a
directory of its own, and lets them take turns within every round; the rows
carry every round's figure and, beside a limit, every round's ratio to it.
To add a workload: a function of the `Context` added to `WORKLOADS`, and its
targets, if any, in bench/targets.py.
"""

from __future__ import annotations

import dataclasses
import os
import random
import shutil
import subprocess
import threading
import time
from pathlib import Path
from typing import Callable, Sequence

from harness import KiB, MiB, Row, Rows, Turn, load_native, log, paired, quartiles, ratios, take_turns
from report import fmt_size, fmt_value
from systems import BUDGET, Adapter, Diskcache, PlainFiles, Qel, RawIO, Store

SIZES = (4 * KiB, 64 * KiB, MiB)
THREADS = (1, 2, 4)


@dataclasses.dataclass(frozen=True)
class Scale:
    seconds: float  # length of one timed get run
    repeats: int  # rounds of a measurement; the median is reported
    put_seconds: float  # length of one timed put run
    put_rounds: int  # rounds of a put measurement: fsync rates move most, so more of shorter runs
    blobs: dict[int, int]  # stored blobs per payload size, read back by get
    reopen_blobs: int
    hit_ratio_args: tuple[str, ...]


FULL = Scale(1.0, 5, 0.5, 11, {4 * KiB: 4000, 64 * KiB: 1000, MiB: 96}, 20000, ())
# Filling the reopen cache is one fsync per blob: 20000 of them alone would
# take the quick run past two minutes.
QUICK = Scale(0.25, 3, 0.2, 7, {4 * KiB: 2000, 64 * KiB: 400, MiB: 48}, 5000, ("--quick",))


@dataclasses.dataclass
class Context:
    """What every workload is given: the run's scale, where the tools and the
    module are, a scratch directory, and the payloads shared by every system."""

    scale: Scale
    tools: Path
    native: Path | None
    work: Path
    rows: Rows = dataclasses.field(default_factory=Rows)
    payloads: dict[int, list[bytes]] = dataclasses.field(init=False)
    keys: dict[int, list[str]] = dataclasses.field(init=False)

    def __post_init__(self) -> None:
        rng = random.Random(7)
        self.payloads = {size: [rng.randbytes(size) for _ in range(8)] for size in SIZES}
        self.keys = {size: [f"blob-{size}-{i:06d}" for i in range(self.scale.blobs[size])] for size in SIZES}

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        log(f"  {row.workload:<8} {row.system:<16} {fmt_size(row.payload_bytes):>7} "
            f"t={row.threads or '-'} {fmt_value(row.value, row.unit)}")
        return row

    def raw(self, sharded: bool = False) -> RawIO:
        return RawIO(self.tools / "raw_io", load_native(self.native).HEADER_LEN, sharded)


def slug(adapter: Adapter) -> str:
    return adapter.name.replace(" ", "-").replace("+", "-")


def add_beside_limit(ctx: Context, workload: str, size: int, threads: int, adapters: Sequence[Adapter],
                     runs: dict[str, list[float]], notes: dict[str, str]) -> None:
    """Rows of `adapters`, the first of them the limit the others are shares
    of; a write workload's rows say whether the system syncs."""
    limit = runs[adapters[0].name]
    writes = workload.startswith("put")
    for adapter in adapters:
        values = runs[adapter.name]
        note = notes.get(adapter.name, "" if adapter.fsync or not writes else "no fsync: faster for that reason")
        ctx.add(Row(workload, adapter.name, size, threads, values, "ops/s", adapter.fsync if writes else None,
                    ratios(values, limit), note))


def spread_note(values: list[float], base: list[float], of: str) -> str:
    """The median share of `of` and its quartiles over the rounds."""
    q1, q3 = quartiles(ratios(values, base))
    return f"{paired(values, base):.2f} ({q1:.2f}-{q3:.2f}) of {of}"


# ---- get ------------------------------------------------------------------


def get(ctx: Context) -> None:
    for size in SIZES:
        get_of_size(ctx, size)


def get_of_size(ctx: Context, size: int) -> None:
    keys, payloads = ctx.keys[size], ctx.payloads[size]
    log(f"get, {fmt_size(size)} payloads, {len(keys)} blobs")
    qel, dc, plain = Qel(ctx.native), Diskcache(), PlainFiles(fsync=False)
    filled = {a.name: a.open(ctx.work / f"{slug(a)}-{size}") for a in (qel, dc, plain)}
    items = [(key, payloads[i % len(payloads)]) for i, key in enumerate(keys)]
    for name, handle in filled.items():
        handle.fill(items)
        for key, payload in (items[0], items[-1]):
            if handle.get(key) != payload:
                raise SystemExit(f"{name} returned the wrong payload for {key}")
        # Warm the page cache and the system's first-use paths.
        for key in keys:
            handle.get(key)
    # The limit reads qel's own files.
    raw = ctx.raw()
    stores: dict[str, Store] = {raw.name: raw.open(qel.files(filled[qel.name].directory)), **filled}
    seconds = ctx.scale.seconds
    for threads in THREADS:
        def turn(name: str) -> Turn[float]:
            return name, lambda: stores[name].get_rate(keys, threads, seconds)

        runs: dict[str, list[float]] = {}
        for rnd in range(ctx.scale.repeats):
            take_turns([[turn(raw.name), turn(qel.name)], [turn(dc.name)], [turn(plain.name)]], rnd, runs)
        add_beside_limit(ctx, "get", size, threads, [raw, qel, dc, plain], runs,
                         {raw.name: "open, fstat, read, close of qel's files; no checks"})
    for store in stores.values():
        store.close()


# ---- put ------------------------------------------------------------------


def measured_put(adapter: Adapter, directory: Path, prefix: str, payloads: Sequence[bytes], threads: int,
                 seconds: float) -> Turn[float]:
    """A turn that opens the system's store in `directory` and times puts of new blobs."""
    def measure() -> float:
        store: Store = adapter.open(directory)
        try:
            return store.put_rate(prefix, payloads, threads, seconds)
        finally:
            store.close()

    return adapter.name, measure


def put_rounds(ctx: Context, name: str, groups: list[list[Adapter]], size: int, threads: int,
               work: Path | None = None) -> dict[str, list[float]]:
    """Rounds of puts of new blobs, every system into a fresh directory
    under `work` (the run's scratch directory by default)."""
    runs: dict[str, list[float]] = {}
    for rnd in range(ctx.scale.put_rounds):
        target = (work or ctx.work) / f"{name}-{rnd}"
        target.mkdir()  # raw_io makes only the last level
        prefix = f"put-{size}-{rnd}"
        turns = [[measured_put(a, target / slug(a), prefix, ctx.payloads[size], threads, ctx.scale.put_seconds)
                  for a in group] for group in groups]
        # Each system starts with nothing dirty, or it would pay for the
        # write-back of the data the one before it left behind.
        take_turns(turns, rnd, runs, before=os.sync)
        shutil.rmtree(target)
    return runs


def put(ctx: Context) -> None:
    """Puts of new blobs from one thread beside the raw durable write loops;
    qel without fsync back to back with diskcache, which does not sync either."""
    for size in SIZES:
        log(f"put of new blobs, {fmt_size(size)} payloads, {ctx.scale.put_rounds} rounds")
        raw, sharded, qel = ctx.raw(), ctx.raw(sharded=True), Qel(ctx.native)
        unsynced, dc = Qel(ctx.native, durable=False), Diskcache()
        plain: list[Adapter] = [PlainFiles(fsync=True), PlainFiles(fsync=False)]
        # qel beside the two raw loops, back to back in every round.
        runs = put_rounds(ctx, f"put-{size}", [[raw, sharded, qel], [unsynced, dc], *([a] for a in plain)], size, 1)
        # qel's files go into 65,536 shard directories, most of them new while
        # a cache is young; the sharded limit pays for making them as qel does.
        add_beside_limit(ctx, "put", size, 1, [raw, sharded, qel, unsynced, dc, *plain], runs, {
            raw.name: "create, write, fsync, close, rename; one directory",
            sharded.name: "as raw C++, renamed into two levels of 256 shard directories made on first use",
            qel.name: spread_note(runs[qel.name], runs[sharded.name], sharded.name),
        })


def put_tmpfs(ctx: Context) -> None:
    """4 KiB puts into /dev/shm, where an fsync costs next to nothing: what a
    put costs beside the disk's share, which moves too much on a shared
    machine to show a gap of a few hundred microseconds. qel without fsync
    beside diskcache there too: on the disk both wait mostly for its
    metadata (a file and often a shard directory made per qel put)."""
    size, shm = 4 * KiB, Path("/dev/shm")
    if not shm.is_dir():
        log("put on tmpfs: no /dev/shm, skipped")
        return
    log(f"put of new blobs on tmpfs, {fmt_size(size)} payloads, {ctx.scale.put_rounds} rounds")
    sharded, qel = ctx.raw(sharded=True), Qel(ctx.native)
    unsynced, dc = Qel(ctx.native, durable=False), Diskcache()
    work = shm / f"qel-bench-{os.getpid()}"
    work.mkdir()
    try:
        runs = put_rounds(ctx, "put-tmpfs", [[sharded, qel], [unsynced, dc]], size, 1, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    add_beside_limit(ctx, "put tmpfs", size, 1, [sharded, qel, unsynced, dc], runs,
                     {sharded.name: "as raw C++ sharded above, on /dev/shm"})


def put_threads(ctx: Context) -> None:
    """Puts of new blobs from 1, 2 and 4 threads beside the raw durable
    write loop run with as many threads into the same shard layout."""
    for size in (4 * KiB, 64 * KiB):
        log(f"put of new blobs from several threads, {fmt_size(size)} payloads, {ctx.scale.put_rounds} rounds")
        sharded, qel, dc = ctx.raw(sharded=True), Qel(ctx.native), Diskcache()
        unsynced = Qel(ctx.native, durable=False)
        for threads in THREADS:
            runs = put_rounds(ctx, f"put-threads-{size}-{threads}", [[sharded, qel], [unsynced, dc]], size, threads)
            add_beside_limit(ctx, "put threads", size, threads, [sharded, qel, unsynced, dc], runs, {
                sharded.name: "create, write, fsync, close, rename into two levels of shard directories, per thread",
            })


# ---- reopen ---------------------------------------------------------------


def reopen(ctx: Context) -> None:
    n, size = ctx.scale.reopen_blobs, 4 * KiB
    log(f"reopen of {n} blobs of {fmt_size(size)}")
    cache_dir = ctx.work / "reopen"
    qel, payloads = Qel(ctx.native), ctx.payloads[size]
    store = qel.open(cache_dir)
    store.fill((f"reopen-{i:06d}", payloads[i % len(payloads)]) for i in range(n))
    store.close()
    raw = ctx.raw().open(cache_dir)
    raw.walk_seconds()  # warm the page cache

    def open_seconds() -> float:
        start = time.perf_counter()
        opened = qel.open(cache_dir)
        elapsed = time.perf_counter() - start
        opened.close()
        return elapsed

    raw_runs, qel_runs = [], []
    for _ in range(ctx.scale.repeats):
        raw_runs.append(raw.walk_seconds())
        qel_runs.append(open_seconds())
    ctx.add(Row("reopen", "raw C++", size, 1, raw_runs, "s", ratio_runs=ratios(raw_runs, raw_runs),
                note=f"walk the tree, read every byte of {n} files"))
    ctx.add(Row("reopen", "qel", size, 1, qel_runs, "s", ratio_runs=ratios(raw_runs, qel_runs),
                note=f"open a cache of {n} blobs: verify every file, offer it to the engine"))
    # Every blob must have survived the reopens.
    store = qel.open(cache_dir)
    missing = sum(store.get(f"reopen-{i:06d}") is None for i in range(0, n, max(1, n // 100)))
    store.close()
    if missing:
        raise SystemExit(f"{missing} sampled blobs missing after reopen")
    shutil.rmtree(cache_dir)


# ---- hit ratio ------------------------------------------------------------


def hit_ratio(ctx: Context) -> None:
    log("hit ratio: real path on tmpfs, engine alone, LRU and OPT, at 1,000, 10,000 and 100,000 blobs")
    out = subprocess.run([str(ctx.tools / "hit_ratio"), *ctx.scale.hit_ratio_args], check=True,
                         capture_output=True, text=True).stdout
    notes = {"qel": "get, put on a miss, through the cache core", "engine": "the engine alone"}
    for blobs, trace, policy, ratio in parse_hit_ratio(out):
        ctx.add(Row(f"hit ratio {trace}", policy, None, 1, [ratio], "hit ratio", note=notes.get(policy, ""),
                    blobs=blobs))


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


# ---- calls that run alone -------------------------------------------------


def exclusive(ctx: Context) -> None:
    """Latency of close and delete_all while 4 threads put and get 4 KiB
    blobs without pause: the calls that must run alone get in. delete_all
    also removes every file, so it is timed a second time once the threads
    have stopped, with about as many files: the part of its latency that is
    its own work."""
    rounds, workers_n = 20, 4
    log(f"close and delete_all beside {workers_n} busy threads, {rounds} rounds")
    native = load_native(ctx.native)
    payload = ctx.payloads[4 * KiB][0]
    latencies: dict[str, list[float]] = {"close busy": [], "delete_all busy": [], "delete_all idle": []}
    for rnd in range(rounds):
        for call in ("close", "delete_all"):
            cache = native.NativeBlobCache(str(ctx.work / f"exclusive-{rnd}"), BUDGET, 0)
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
            shutil.rmtree(ctx.work / f"exclusive-{rnd}")
    for workload, values in latencies.items():
        beside = "beside threads that put and get" if workload.endswith("busy") else "after the threads stopped"
        ctx.add(Row(workload, "qel", 4 * KiB, workers_n, values, "s",
                    note=f"max {max(values) * 1000:.1f} ms over {rounds} rounds {beside}"))


WORKLOADS: dict[str, Callable[[Context], None]] = {
    "get": get,
    "put": put,
    "put-tmpfs": put_tmpfs,
    "put-threads": put_threads,
    "reopen": reopen,
    "hit": hit_ratio,
    "exclusive": exclusive,
}
