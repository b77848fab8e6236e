"""Several processes over one cache directory: the first to open it owns it
and runs the engine, the others are its peers. Measured in worker processes
started by spawn (bench/harness.py's `Workers`), the systems taking turns
within each round and ratios taken within a round:

- get of 4 KiB in a peer beside the same get in the owner;
- gets of 4 KiB from 1 and from 4 processes over one directory: qel, plain
  open().read() of qel's own files, and diskcache;
- puts of 4 KiB from 4 processes beside 4 raw C++ write loops into one shard
  tree;
- the owner SIGKILLed: from the kill to the first put that succeeds in a peer
  putting in a loop, beside the open of the same directory by a fresh owner;
- hit ratio of one Zipf trace split round-robin over 4 processes: one shared
  directory of budget B against 4 directories of B/4;
- 4 processes reading the same 64 files from a local S3 server through the
  fsspec tier on one directory, on a directory each, and through fsspec's
  filecache on one directory.

`make bench` runs the full size, `make bench-quick` a reduced one. Writes a
table to the terminal, bench/results/processes.json and processes.md.
"""

from __future__ import annotations

import argparse
import bisect
import dataclasses
import hashlib
import itertools
import os
import random
import shutil
import statistics
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Sequence

from harness import HERE, KiB, ROOT, Row, Rows, Turn, Workers, load_native, log, paired, ratios, run_tool, soon, \
    take_turns, wait_until
from report import fmt_value, judged, machine, print_checks, table, terminal_table, write_results
from systems import Adapter, Diskcache, FileReads, Qel, RawIO

PROCESSES = 4
SIZE = 4 * KiB
OWNER = 0  # the worker that opens a shared directory first


@dataclasses.dataclass(frozen=True)
class Scale:
    seconds: float  # one timed get run
    repeats: int  # rounds of a get measurement
    put_seconds: float  # one timed put run
    put_rounds: int
    blobs: int  # 4 KiB blobs read back by the get rows
    pause_blobs: tuple[int, ...]  # directory sizes of the owner-killed rows
    pause_rounds: int
    hit_blobs: int  # B, in blobs of the trace's length
    hit_requests: int
    fsspec_size: int  # bytes of each of the 64 files
    fsspec_rounds: int


FULL = Scale(1.0, 5, 0.5, 9, 4000, (10_000, 100_000), 3, 2000, 300_000, 256 * KiB, 3)
QUICK = Scale(0.25, 3, 0.25, 3, 1000, (10_000,), 1, 1000, 50_000, 16 * KiB, 1)


@dataclasses.dataclass
class Context:
    scale: Scale
    tools: Path
    native: Path | None
    work: Path
    rows: Rows = dataclasses.field(default_factory=Rows)
    notes: dict[str, Any] = dataclasses.field(default_factory=dict)  # figures beside the rows, for the json

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        log(f"  {row.workload:<20} {row.system:<22} p={row.threads or '-'} {fmt_value(row.value, row.unit)}"
            f"  {row.note}")
        return row

    def raw(self, first_thread: int = 0) -> RawIO:
        return RawIO(self.tools / "raw_io", load_native(self.native).HEADER_LEN, True, first_thread)


# ---- what the workers run ---------------------------------------------------
# Each takes the worker's state first (see harness.Workers).


def load(state: dict, native: Path | None) -> None:
    """Loads the module ahead, so that no open timed after pays for it."""
    load_native(native)


def open_store(state: dict, name: str, adapter: Adapter, directory: Path) -> float:
    """Opens `adapter`'s store under `name`; the seconds the open took."""
    start = time.perf_counter()
    state[name] = adapter.open(directory)
    return time.perf_counter() - start


def close_store(state: dict, name: str) -> None:
    state.pop(name).close()


def fill(state: dict, name: str, keys: Sequence[str], payloads: Sequence[bytes]) -> None:
    state[name].fill((key, payloads[i % len(payloads)]) for i, key in enumerate(keys))


def warm(state: dict, name: str, keys: Sequence[str]) -> None:
    """Reads every key once: the page cache and the system's first-use paths."""
    get = state[name].get
    for key in keys:
        if get(key) is None:
            raise SystemExit(f"{name} in worker {state['index']} misses {key}")


Span = tuple[float, float, float]  # a worker's rate, and when its run began and ended


def get_rate(state: dict, name: str, keys: Sequence[str], seconds: float, start: float) -> Span:
    wait_until(start)
    began = time.perf_counter()
    return state[name].get_rate(keys, 1, seconds), began, time.perf_counter()


def put_rate(state: dict, name: str, prefix: str, payloads: Sequence[bytes], seconds: float, start: float) -> Span:
    wait_until(start)
    began = time.perf_counter()
    return state[name].put_rate(f"{prefix}-{state['index']}", payloads, 1, seconds), began, time.perf_counter()


def total_rate(spans: Sequence[Span]) -> float:
    """Operations per second of the workers together: all they did over the
    time from the first's start to the last's end, so that a worker that ran
    late does not add its rate as if it had run beside the others."""
    ops = sum(rate * (end - began) for rate, began, end in spans)
    return ops / (max(end for _, _, end in spans) - min(began for _, began, _ in spans))


class Loop:
    """A thread calling `op(n)` for n = 0, 1, ... until stopped, keeping
    when each call began and ended."""

    def __init__(self, op: Callable[[int], object]) -> None:
        self.op = op
        self.times: list[tuple[float, float]] = []  # appended only by the thread
        self.failure: BaseException | None = None  # what ended the loop early
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self) -> None:
        perf = time.perf_counter
        try:
            for n in itertools.count():
                if self.stop.is_set():
                    return
                began = perf()
                self.op(n)
                self.times.append((began, perf()))
        except BaseException as failure:  # raised by the call that waits for the loop
            self.failure = failure

    def first_end_after(self, moment: float, timeout: float) -> float:
        """When the first call to end after `moment` ended; stops the loop."""
        deadline = time.perf_counter() + timeout
        try:
            while time.perf_counter() < deadline:
                if self.failure is not None:
                    raise SystemExit(f"a call failed: {self.failure!r}")
                # One thread appends, each call after the last has ended: the
                # list is in order of the ends.
                first = bisect.bisect_right(self.times, moment, key=lambda times: times[1])
                if first < len(self.times):
                    return self.times[first][1]
                time.sleep(0.001)
            raise SystemExit(f"no call ended in the {timeout:.0f} s after the owner was killed")
        finally:
            self.halt()

    def halt(self) -> None:
        self.stop.set()
        self.thread.join()
        if self.failure is not None:
            raise SystemExit(f"a call failed: {self.failure!r}")


def start_puts(state: dict, name: str, payload: bytes) -> None:
    put, index = state[name].put, state["index"]
    state["loop"] = Loop(lambda n: put(f"loop-{index}-{n}", payload))


def start_gets(state: dict, name: str, keys: Sequence[str]) -> None:
    get = state[name].get

    def read(n: int) -> None:
        if get(keys[n % len(keys)]) is None:
            raise SystemExit(f"a peer's get missed {keys[n % len(keys)]}")

    state["loop"] = Loop(read)


def first_put_after(state: dict, moment: float, timeout: float) -> float:
    return state.pop("loop").first_end_after(moment, timeout)


def slowest_get_since(state: dict, moment: float) -> tuple[float, int]:
    """Stops the get loop: its slowest get among those that ended after
    `moment`, and how many did."""
    loop = state.pop("loop")
    loop.halt()
    since = [end - began for began, end in loop.times if end > moment]
    return max(since, default=0.0), len(since)


def open_cache(state: dict, native: Path | None, directory: Path, budget: int) -> None:
    state["cache"] = load_native(native).NativeBlobCache(str(directory), budget, 0)


def close_cache(state: dict) -> None:
    state.pop("cache").close()


def replay(state: dict, ids: Sequence[str], payload: bytes, start: float) -> int:
    """Gets each ID, putting it on a miss; the number of hits."""
    cache, hits = state["cache"], 0
    wait_until(start)
    for blob_id in ids:
        if cache.get(blob_id) is None:
            cache.put(blob_id, payload)
        else:
            hits += 1
    return hits


def read_files(state: dict, native: Path | None, system: str, options: dict, directory: Path,
               digests: dict[str, str], start: float) -> tuple[float, int]:
    """Opens and reads every file once through `system`: seconds, and how
    many files came back with other bytes."""
    if "fsspec" not in state:
        if native is not None:
            sys.modules["qel._native"] = load_native(native)
        import fsspec
        import fsspec_systems
        from qel.fsspec import QelFileSystem

        fsspec.register_implementation("qel", QelFileSystem, clobber=True)
        state["fsspec"] = fsspec_systems
    fsspec_systems = state["fsspec"]
    fs = fsspec_systems.filesystem(system, options, directory)
    wait_until(start)
    began = time.perf_counter()
    wrong = 0
    for path, digest in digests.items():
        with fs.open(path, "rb") as f:
            wrong += hashlib.sha256(f.read()).hexdigest() != digest
    seconds = time.perf_counter() - began
    fsspec_systems.forget()
    return seconds, wrong


# ---- gets -------------------------------------------------------------------


def fill_shared(ctx: Context, workers: Workers) -> tuple[list[str], list[str]]:
    """Opens qel and diskcache over one directory each in every worker (the
    first worker opening qel's first, so it owns it), fills both from the
    first worker and opens plain reads of qel's files everywhere; returns the
    IDs and the paths of qel's files under its blobs directory."""
    rng = random.Random(7)
    payloads = [rng.randbytes(SIZE) for _ in range(8)]
    keys = [f"blob-{i:06d}" for i in range(ctx.scale.blobs)]
    qel_dir, dc_dir = ctx.work / "get-qel", ctx.work / "get-diskcache"
    workers.call(open_store, {OWNER: ("qel", Qel(ctx.native), qel_dir)})
    others = range(1, PROCESSES)
    workers.each(open_store, "qel", Qel(ctx.native), qel_dir, workers=others)
    workers.each(open_store, "diskcache", Diskcache(), dc_dir)
    for name in ("qel", "diskcache"):
        workers.call(fill, {OWNER: (name, keys, payloads)})
    files = Qel.files(qel_dir)
    paths = sorted(str(Path(d, f).relative_to(files)) for d, _, fs in os.walk(files) for f in fs)
    if len(paths) != len(keys):
        raise SystemExit(f"{len(paths)} files under {files} for {len(keys)} blobs")
    workers.each(open_store, "plain", FileReads(), files)
    for name, ids in (("qel", keys), ("diskcache", keys), ("plain", paths)):
        workers.each(warm, name, ids)
    return keys, paths


def gets(ctx: Context) -> None:
    seconds, repeats = ctx.scale.seconds, ctx.scale.repeats
    log(f"get of {SIZE // KiB} KiB in the owner and in a peer, and from 1 and {PROCESSES} processes, "
        f"{ctx.scale.blobs} blobs, {repeats} rounds")
    with Workers(PROCESSES) as workers:
        keys, paths = fill_shared(ctx, workers)
        ids = {"qel": keys, "diskcache": keys, "plain": paths}

        def turn(label: str, name: str, indices: Sequence[int]) -> Turn[float]:
            def measure() -> float:
                start = soon()
                return total_rate(workers.each(get_rate, name, ids[name], seconds, start, workers=indices))

            return label, measure

        # Owner and peer alone, each while the other waits idle.
        runs: dict[str, list[float]] = {}
        for rnd in range(repeats):
            take_turns([[turn("qel owner", "qel", [OWNER]), turn("qel peer", "qel", [1])]], rnd, runs)
        owner = runs["qel owner"]
        ctx.add(Row("get owner/peer", "qel owner", SIZE, 1, owner, "ops/s", ratio_runs=ratios(owner, owner),
                    note="the process that opened the directory first: it runs the engine"))
        ctx.add(Row("get owner/peer", "qel peer", SIZE, 1, runs["qel peer"], "ops/s",
                    ratio_runs=ratios(runs["qel peer"], owner),
                    note="reads the files itself, reports its reads to the owner in batches"))

        systems = (("plain", "plain open().read()"), ("qel", "qel"), ("diskcache", "diskcache"))
        everyone = range(PROCESSES)
        runs = {}
        for rnd in range(repeats):
            take_turns([[turn(f"{label} x1", name, [OWNER]) for name, label in systems],
                        [turn(f"{label} x{PROCESSES}", name, everyone) for name, label in systems]], rnd, runs)
        plain_all = runs[f"plain open().read() x{PROCESSES}"]
        ctx.notes["get gain over 1 process"] = {}
        for name, label in systems:
            one, many = runs[f"{label} x1"], runs[f"{label} x{PROCESSES}"]
            gain = paired(many, one)
            ctx.notes["get gain over 1 process"][label] = gain
            what = {"plain": "of qel's files", "qel": "worker 0 owns the directory",
                    "diskcache": "one directory"}[name]
            ctx.add(Row(f"get {PROCESSES} processes", label, SIZE, 1, one, "ops/s",
                        ratio_runs=ratios(one, runs["plain open().read() x1"]), note=what))
            ctx.add(Row(f"get {PROCESSES} processes", label, SIZE, PROCESSES, many, "ops/s",
                        ratio_runs=ratios(many, plain_all),
                        note=f"total of the processes; {gain:.2f}x its 1-process rate"))
        for name in ("plain", "diskcache"):
            workers.each(close_store, name)
        # The peers first, so that the owner's close hands the directory to nobody.
        workers.each(close_store, "qel", workers=range(1, PROCESSES))
        workers.call(close_store, {OWNER: ("qel",)})


# ---- puts -------------------------------------------------------------------


def puts(ctx: Context) -> None:
    rounds = ctx.scale.put_rounds
    log(f"put of new {SIZE // KiB} KiB blobs from {PROCESSES} processes, {rounds} rounds")
    rng = random.Random(11)
    payloads = [rng.randbytes(SIZE) for _ in range(8)]
    everyone, peers = range(PROCESSES), range(1, PROCESSES)
    with Workers(PROCESSES) as workers:
        def raw_turn(directory: Path, prefix: str) -> Turn[float]:
            def measure() -> float:
                workers.call(open_store, {i: ("raw", ctx.raw(first_thread=i), directory) for i in everyone})
                start = soon()
                rate = total_rate(workers.each(put_rate, "raw", prefix, payloads, ctx.scale.put_seconds, start))
                workers.each(close_store, "raw")
                return rate

            return ctx.raw().name, measure

        def qel_turn(directory: Path, prefix: str) -> Turn[float]:
            def measure() -> float:
                workers.call(open_store, {OWNER: ("qel", Qel(ctx.native), directory)})
                workers.each(open_store, "qel", Qel(ctx.native), directory, workers=peers)
                start = soon()
                rate = total_rate(workers.each(put_rate, "qel", prefix, payloads, ctx.scale.put_seconds, start))
                workers.each(close_store, "qel", workers=peers)
                workers.call(close_store, {OWNER: ("qel",)})
                return rate

            return "qel", measure

        runs: dict[str, list[float]] = {}
        for rnd in range(rounds):
            target = ctx.work / f"put-{rnd}"
            target.mkdir()  # raw_io makes only the last level
            prefix = f"put-{rnd}"
            # Each system starts with nothing dirty, or it would pay for the
            # write-back of the data the one before it left behind.
            take_turns([[raw_turn(target / "raw", prefix), qel_turn(target / "qel", prefix)]], rnd, runs,
                       before=os.sync)
            shutil.rmtree(target)
    raw = runs[ctx.raw().name]
    ctx.add(Row(f"put {PROCESSES} processes", ctx.raw().name, SIZE, PROCESSES, raw, "ops/s", True,
                ratios(raw, raw), "create, write, fsync, close, rename into one tree of shard directories, "
                                  "one raw_io per process"))
    ctx.add(Row(f"put {PROCESSES} processes", "qel", SIZE, PROCESSES, runs["qel"], "ops/s", True,
                ratios(runs["qel"], raw), "worker 0 owns the directory; the others' puts are one round trip"))


# ---- the owner killed -------------------------------------------------------


def owner_killed(ctx: Context) -> None:
    payload = random.Random(13).randbytes(KiB)
    for count in ctx.scale.pause_blobs:
        log(f"owner SIGKILLed over {count:,} blobs of 1 KiB, {ctx.scale.pause_rounds} rounds")
        directory = ctx.work / f"killed-{count}"
        run_tool(ctx.tools / "blob_files", directory, count, KiB)
        keys = [f"blob-{i:09d}" for i in range(1, count + 1, max(1, count // 1000))]
        opens, pauses, slowest_gets, gets_during = [], [], [], []
        putters, getter = range(1, PROCESSES - 1), PROCESSES - 1
        for _ in range(ctx.scale.pause_rounds):
            with Workers(PROCESSES) as workers:
                workers.each(load, ctx.native)
                # The owner's open is a fresh open of the directory: the reopen
                # an owner's successor makes.
                opens.append(workers.call(open_store, {OWNER: ("qel", Qel(ctx.native), directory)})[OWNER])
                workers.each(open_store, "qel", Qel(ctx.native), directory, workers=range(1, PROCESSES))
                workers.each(start_puts, "qel", payload, workers=putters)
                workers.call(start_gets, {getter: ("qel", keys)})
                time.sleep(0.3)
                killed = time.perf_counter()
                workers.kill(OWNER)
                dead = time.perf_counter()
                # No put can succeed between the owner's death and its
                # successor's reopen, so the first to end after `dead` is
                # the first after the kill.
                ends = workers.each(first_put_after, dead, 120.0, workers=putters)
                pauses.append(max(ends) - killed)
                slowest, done = workers.call(slowest_get_since, {getter: (killed,)})[getter]
                slowest_gets.append(slowest)
                gets_during.append(done)
                workers.each(close_store, "qel", workers=range(1, PROCESSES))
        shutil.rmtree(directory)
        ctx.add(Row("owner killed", "qel reopen", KiB, 1, opens, "s", blobs=count,
                    note="a fresh open of the directory: reconcile every file"))
        ctx.add(Row("owner killed", "qel pause", KiB, PROCESSES - 1, pauses, "s", ratio_runs=ratios(pauses, opens),
                    blobs=count,
                    note=f"kill to the first put done in each of {len(putters)} putting peers, the later; "
                         f"a peer's gets meanwhile: the slowest {max(slowest_gets) * 1000:.1f} ms, "
                         f"at least {min(gets_during):,} done"))


# ---- hit ratio --------------------------------------------------------------


def zipf_trace(keys: int, exponent: float, length: int, seed: int) -> list[int]:
    """`length` draws of key numbers 0 to keys-1, key k with weight 1/(k+1)^exponent."""
    cdf = list(itertools.accumulate(1.0 / (k + 1) ** exponent for k in range(keys)))
    rng, total = random.Random(seed), cdf[-1]
    return [bisect.bisect_left(cdf, rng.random() * total) for _ in range(length)]


def hit_ratio(ctx: Context) -> None:
    blobs, requests, exponent = ctx.scale.hit_blobs, ctx.scale.hit_requests, 0.99
    keys = 5 * blobs
    log(f"hit ratio: Zipf {exponent} over {keys:,} IDs, {requests:,} requests over {PROCESSES} processes, "
        f"one directory of {blobs:,} blobs against {PROCESSES} of {blobs // PROCESSES:,}")
    # Every ID as long as the others, so the budget holds exactly `blobs` files.
    trace = [f"zipf-{k:07d}" for k in zipf_trace(keys, exponent, requests, 17)]
    payload = random.Random(19).randbytes(KiB)
    budget = blobs * (load_native(ctx.native).HEADER_LEN + len(trace[0]) + len(payload))
    shm = Path("/dev/shm")
    base = (shm if shm.is_dir() else ctx.work) / f"qel-bench-processes-{os.getpid()}"
    everyone = range(PROCESSES)
    hit_runs: dict[str, list[float]] = {}
    try:
        with Workers(PROCESSES) as workers:
            for system, directories, share in (("qel, one directory", [base / "shared"] * PROCESSES, budget),
                                                (f"qel, {PROCESSES} directories", [base / f"own-{i}" for i in everyone],
                                                 budget // PROCESSES)):
                workers.call(open_cache, {OWNER: (ctx.native, directories[OWNER], share)})
                workers.call(open_cache, {i: (ctx.native, directories[i], share) for i in everyone if i != OWNER})
                start = soon(0.1)
                hits = workers.call(replay, {i: (trace[i::PROCESSES], payload, start) for i in everyone})
                workers.each(close_cache, workers=range(1, PROCESSES))
                workers.call(close_cache, {OWNER: ()})
                hit_runs[system] = [sum(hits.values()) / requests]
                shutil.rmtree(base)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    where = "tmpfs" if base.is_relative_to(shm) else "disk"
    for system, runs in hit_runs.items():
        budget_of = f"{blobs:,} blobs" if "one" in system else f"{blobs // PROCESSES:,} blobs each"
        ctx.add(Row("hit ratio zipf-0.99", system, KiB, PROCESSES, runs, "hit ratio", blobs=blobs,
                    note=f"{budget_of}; {requests:,} requests round-robin, get then put on a miss; on {where}"))


# ---- fsspec -----------------------------------------------------------------


FSSPEC_FILES = 64
FSSPEC_SYSTEMS = ("qel, one directory", f"qel, {PROCESSES} directories", "filecache, one directory")


def fsspec_reads(ctx: Context) -> None:
    import fsspec_systems

    size, rounds = ctx.scale.fsspec_size, ctx.scale.fsspec_rounds
    log(f"fsspec: {PROCESSES} processes read the same {FSSPEC_FILES} files of {size // KiB} KiB, {rounds} rounds")
    rng = random.Random(23)
    contents = {f"bench/p{i:03d}": rng.randbytes(size) for i in range(FSSPEC_FILES)}
    digests = {path: hashlib.sha256(data).hexdigest() for path, data in contents.items()}
    served = {f"/{path}" for path in contents}
    everyone = range(PROCESSES)
    times: dict[str, list[float]] = {s: [] for s in FSSPEC_SYSTEMS}
    downloads: dict[str, list[int]] = {s: [] for s in FSSPEC_SYSTEMS}
    sent: dict[str, list[int]] = {s: [] for s in FSSPEC_SYSTEMS}
    wrong: dict[str, list[int]] = {s: [] for s in FSSPEC_SYSTEMS}  # reads that returned other bytes
    with fsspec_systems.serve() as (options, counting):
        s3 = fsspec_systems.filesystem("s3fs", options, ctx.work)
        s3.mkdir("bench")
        s3.pipe(contents)
        # Started once the server runs: they inherit its fake credentials.
        with Workers(PROCESSES) as workers:
            for rnd in range(rounds):
                for system in FSSPEC_SYSTEMS[rnd % 3:] + FSSPEC_SYSTEMS[:rnd % 3]:
                    protocol = "filecache" if system.startswith("filecache") else "qel"
                    root = ctx.work / f"fsspec-{rnd}-{protocol}"
                    directories = [root / str(i) for i in everyone] if "directories" in system else [root] * PROCESSES
                    _, sent_before = counting.settled()
                    with counting.lock:
                        seen = len(counting.requests)
                    start = soon(0.2)
                    results = workers.call(read_files, {i: (ctx.native, protocol, options, directories[i], digests,
                                                            start) for i in everyone})
                    _, sent_after = counting.settled()
                    with counting.lock:
                        fetched = sum(method == "GET" and path in served for method, path in counting.requests[seen:])
                    wrong[system].append(sum(w for _, w in results.values()))
                    times[system].append(max(s for s, _ in results.values()))
                    downloads[system].append(fetched)
                    sent[system].append(sent_after - sent_before)
                    shutil.rmtree(root)
    for system in FSSPEC_SYSTEMS:
        ctx.add(Row(f"fsspec {FSSPEC_FILES} files", system, size, PROCESSES, times[system], "s",
                    ratio_runs=ratios(times[system], times[FSSPEC_SYSTEMS[0]]),
                    note=f"{statistics.median(downloads[system]):.0f} downloads of {FSSPEC_FILES} files, "
                         f"{statistics.median(sent[system]) / 2**20:.1f} MiB served; "
                         f"{max(wrong[system])} of {PROCESSES * FSSPEC_FILES} reads with wrong bytes"))
    ctx.notes["fsspec downloads"] = downloads
    ctx.notes["fsspec bytes served"] = sent
    ctx.notes["fsspec reads with wrong bytes"] = wrong


# ---- targets ----------------------------------------------------------------


def targets(ctx: Context) -> list[dict]:
    rows = ctx.rows

    def figure(workload: str, system: str, processes: int | None = None) -> Row:
        row = rows.find(workload, system, threads=processes)
        assert row is not None, (workload, system)
        return row

    checks = []
    if rows.find("get owner/peer", "qel peer"):
        peer, owner = figure("get owner/peer", "qel peer"), figure("get owner/peer", "qel owner")
        checks.append(judged("get 4 KiB in a peer, times the same get in the owner", paired(peer.runs, owner.runs), 0.9))
    workload = f"get {PROCESSES} processes"
    if rows.find(workload, "qel", threads=PROCESSES):
        qel = figure(workload, "qel", PROCESSES).runs
        for system, wanted in (("plain open().read()", 0.9), ("diskcache", 1.0)):
            checks.append(judged(f"get 4 KiB from {PROCESSES} processes, total, times {system}'s",
                                 paired(qel, figure(workload, system, PROCESSES).runs), wanted))
    workload = f"put {PROCESSES} processes"
    if rows.find(workload, "qel"):
        checks.append(judged(f"put 4 KiB from {PROCESSES} processes, share of {PROCESSES} raw durable write loops",
                             figure(workload, "qel").ratio_to_limit or 0.0, 0.8))
    if "fsspec downloads" in ctx.notes:
        most = max(ctx.notes["fsspec downloads"][FSSPEC_SYSTEMS[0]])
        checks.append(judged(f"fsspec, {PROCESSES} processes on one directory: downloads of {FSSPEC_FILES} files, "
                             "most of any round", most, FSSPEC_FILES, at_most=True))
        for system in FSSPEC_SYSTEMS[:2]:
            checks.append(judged(f"fsspec through {system}: reads with wrong bytes", 
                                 sum(ctx.notes["fsspec reads with wrong bytes"][system]), 0, at_most=True))
    return checks


# ---- main -------------------------------------------------------------------

WORKLOADS: dict[str, Callable[[Context], None]] = {
    "get": gets,
    "put": puts,
    "killed": owner_killed,
    "hit": hit_ratio,
    "fsspec": fsspec_reads,
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="reduced sizes, under two minutes")
    parser.add_argument("--tools", type=Path, default=ROOT / "build/bench/bench", help="where raw_io and blob_files are")
    parser.add_argument("--native", type=Path,
                        help="the _native module, or the build tree holding it, to load instead of qel._native")
    parser.add_argument("--workdir", type=Path, default=ROOT / "build/bench/processes", help="scratch directory")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="where processes.json and .md go")
    parser.add_argument("--only", nargs="+", choices=tuple(WORKLOADS), default=list(WORKLOADS))
    args = parser.parse_args()
    if args.native:  # for qel's fsspec tier, which imports qel._native
        sys.modules["qel._native"] = load_native(args.native.resolve())
    work = args.workdir.resolve()
    scale = QUICK if args.quick else FULL
    started = time.perf_counter()
    ctx = Context(scale, args.tools.resolve(), args.native.resolve() if args.native else None, work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    load_before = os.getloadavg()
    try:
        host = machine(work)
        for name, workload in WORKLOADS.items():
            if name in args.only:
                began = time.perf_counter()
                workload(ctx)
                log(f"  ({name}: {time.perf_counter() - began:.0f} s)")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    load_after = os.getloadavg()
    checks = targets(ctx)
    cells = table(ctx.rows)
    cells[0][cells[0].index("threads")] = "processes"

    print(terminal_table(cells))
    print()
    print_checks(checks)
    load = f"load average {load_before[0]:.2f} before, {load_after[0]:.2f} after"
    print(f"\n{host['nproc']} x {host['cpu']}, {host['filesystem']}; {'quick' if args.quick else 'full'} run, "
          f"{time.perf_counter() - started:.0f} s; {load}")
    result = {"mode": "quick" if args.quick else "full", "machine": host, "load_average": [load_before, load_after],
              "scale": dataclasses.asdict(scale), "rows": [r.record() for r in ctx.rows], "notes": ctx.notes,
              "targets": checks}
    write_results(args.results / "processes", result, cells, checks)
    with (args.results / "processes.md").open("a") as md:
        md.write(f"\n{host['nproc']} x {host['cpu']}, {host['filesystem']}, Python {host['python']}, diskcache "
                 f"{host['diskcache']}; {result['mode']} run; {load} (the machine is shared).\n")


if __name__ == "__main__":
    main()
