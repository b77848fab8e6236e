"""The pass/fail targets of bench/compare.py, in one table.

Each target names what it judges, the bound, and how to read its figure
from the rows of a run; a target whose rows were not measured (a run with
--only, or a condition unmet) is left out. To add one: a line in `TARGETS`.
"""

from __future__ import annotations

import dataclasses
from typing import Callable

from harness import KiB, MiB, Rows, paired
from report import fmt_size, judged
from workloads import SIZES

TRACES = ("loop-1.1x", "zipf-0.8", "zipf-0.99", "zipf-0.99+scan", "zipf-1.2")
HIT_BLOBS = (1_000, 10_000, 100_000)


@dataclasses.dataclass(frozen=True)
class Target:
    name: str
    wanted: float
    measure: Callable[[Rows], float | None]
    at_most: bool = False


def share(workload: str, size: int, threads: int | None = None) -> Callable[[Rows], float | None]:
    """qel's share of the limit of its rows, as the rows hold it."""
    def measure(rows: Rows) -> float | None:
        row = rows.find(workload, "qel", size, threads)
        return None if row is None else row.ratio_to_limit

    return measure


def versus(a: tuple, b: tuple) -> Callable[[Rows], float | None]:
    """Row `a`'s figure over row `b`'s, within each round."""
    def measure(rows: Rows) -> float | None:
        x, y = rows.find(*a), rows.find(*b)
        return None if x is None or y is None else paired(x.runs, y.runs)

    return measure


def over(a: tuple, b: tuple) -> Callable[[Rows], float | None]:
    """Row `a`'s median over row `b`'s: for rows not measured in the same rounds."""
    def measure(rows: Rows) -> float | None:
        x, y = rows.find(*a), rows.find(*b)
        return None if x is None or y is None or not y.value else x.value / y.value

    return measure


def thread_gain(size: int) -> Callable[[Rows], float | None]:
    """qel's gain from 1 to 4 putting threads, judged only where the raw loop
    itself gains 2.5x: on a disk that does not, no cache can."""
    def measure(rows: Rows) -> float | None:
        raw = over(("put threads", "raw C++ sharded", size, 4), ("put threads", "raw C++ sharded", size, 1))(rows)
        if raw is None or raw < 2.5:
            return None
        return over(("put threads", "qel", size, 4), ("put threads", "qel", size, 1))(rows)

    return measure


def slowest(workload: str) -> Callable[[Rows], float | None]:
    def measure(rows: Rows) -> float | None:
        row = rows.find(workload, "qel")
        return None if row is None else max(row.runs)

    return measure


def hit_points(trace: str, blobs: int, higher: str, lower: str) -> Callable[[Rows], float | None]:
    """Hit ratio of policy `higher` minus that of `lower`, in points."""
    def measure(rows: Rows) -> float | None:
        x = rows.find(f"hit ratio {trace}", higher, blobs=blobs)
        y = rows.find(f"hit ratio {trace}", lower, blobs=blobs)
        return None if x is None or y is None else 100 * (x.value - y.value)

    return measure


def hit_targets(blobs: int, trace: str) -> list[Target]:
    name = f"hit ratio {trace}, {blobs:,} blobs"
    out = [Target(f"{name}: qel minus LRU (points)", 1.0 if trace.startswith("zipf-") else 0.0,
                  hit_points(trace, blobs, "qel", "LRU"))]
    if trace == "zipf-0.99":
        out.append(Target(f"{name}: OPT minus qel (points)", 10.0, hit_points(trace, blobs, "OPT", "qel"), True))
    return out


TARGETS: list[Target] = [
    Target("get 4 KiB, 1 thread, share of the raw read limit", 0.8, share("get", 4 * KiB, 1)),
    Target("get 64 KiB, 1 thread, share of the raw read limit", 0.7, share("get", 64 * KiB, 1)),
    Target("get 1 MiB, 1 thread, share of the raw read limit", 0.55, share("get", MiB, 1)),
    Target("get 1 MiB, 1 thread, times plain open().read()", 0.65,
           versus(("get", "qel", MiB, 1), ("get", "plain dir", MiB, 1))),
    Target("get 4 KiB, 1 thread, times diskcache get", 2.0,
           versus(("get", "qel", 4 * KiB, 1), ("get", "diskcache", 4 * KiB, 1))),
    *(Target(f"get {fmt_size(size)}, 2 threads over 1 thread", 1.7,
             over(("get", "qel", size, 2), ("get", "qel", size, 1))) for size in SIZES),
    *(Target(f"put {fmt_size(size)}, share of the raw durable loop into the same shard layout", 0.9,
             versus(("put", "qel", size, 1), ("put", "raw C++ sharded", size, 1)))
      for size in (4 * KiB, MiB)),
    Target("put 4 KiB durable=False, 1 thread, times diskcache set", 1.5,
           versus(("put", "qel durable=False", 4 * KiB, 1), ("put", "diskcache", 4 * KiB, 1))),
    Target("put 4 KiB durable=False, 4 threads, times diskcache set", 1.5,
           versus(("put threads", "qel durable=False", 4 * KiB, 4), ("put threads", "diskcache", 4 * KiB, 4))),
    Target("put 4 KiB durable=False on tmpfs, 1 thread, times diskcache set", 1.5,
           versus(("put tmpfs", "qel durable=False", 4 * KiB, 1), ("put tmpfs", "diskcache", 4 * KiB, 1))),
    Target("reopen of the cache, times the raw walk-and-read", 1.5,
           versus(("reopen", "qel"), ("reopen", "raw C++")), at_most=True),
    *(t for size in (4 * KiB, 64 * KiB) for t in (
        Target(f"put {fmt_size(size)}, 4 threads, share of the raw loop with 4 threads", 0.8,
               share("put threads", size, 4)),
        Target(f"put {fmt_size(size)}, 4 threads over 1 thread, where the raw loop gains 2.5x", 2.0,
               thread_gain(size)))),
    *(Target(f"{call} beside 4 busy threads, slowest of the rounds (s)", 0.1, slowest(f"{call} busy"), at_most=True)
      for call in ("close", "delete_all")),
    # Hit ratio on the real path, with the default settings, at every size.
    *(t for blobs in HIT_BLOBS for trace in TRACES for t in hit_targets(blobs, trace)),
]


def judge(rows: Rows) -> list[dict]:
    """Each target with the figure it was judged by, in the table's order."""
    checks = []
    for target in TARGETS:
        measured = target.measure(rows)
        if measured is not None:
            checks.append(judged(target.name, measured, target.wanted, target.at_most))
    return checks
