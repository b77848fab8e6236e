"""qel beside the machine's own limits and the Python peers a user would pick.

Every system works on the same payloads in one run; each measurement is
repeated in rounds, the systems taking turns within a round, and the median
kept with the quartiles beside it. `make bench` runs the full size, `make
bench-quick` a reduced one. Writes a table to the terminal,
bench/results/latest.json and bench/results/latest.md.

The pieces: bench/harness.py (timing loops, rounds, rows), bench/systems.py
(one adapter per system), bench/workloads.py (what is measured),
bench/targets.py (the pass/fail table), bench/report.py (tables and files).
"""

from __future__ import annotations

import argparse
import shutil
import time
from pathlib import Path

from harness import HERE, ROOT
from report import machine, print_checks, table, terminal_table, write_results
from systems import DURABILITY
from targets import judge
from workloads import FULL, QUICK, WORKLOADS, Context


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="reduced sizes, under three minutes")
    parser.add_argument("--tools", type=Path, default=ROOT / "build/bench/bench", help="where raw_io and hit_ratio are")
    parser.add_argument("--native", type=Path, help="the _native module, or the build tree holding it, to load instead of qel._native")
    parser.add_argument("--workdir", type=Path, default=ROOT / "build/bench/data", help="scratch directory")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="where latest.json and latest.md go")
    parser.add_argument("--only", nargs="+", choices=tuple(WORKLOADS), default=list(WORKLOADS))
    args = parser.parse_args()
    work = args.workdir.resolve()
    scale = QUICK if args.quick else FULL
    started = time.perf_counter()
    ctx = Context(scale, args.tools, args.native, work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    try:
        host = machine(work)
        for name, workload in WORKLOADS.items():
            if name in args.only:
                workload(ctx)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    checks = judge(ctx.rows)
    cells = table(ctx.rows)

    print(terminal_table(cells))
    print()
    print_checks(checks)
    print(f"\n{host['nproc']} x {host['cpu']}, {host['filesystem']}; {'quick' if args.quick else 'full'} run, "
          f"median of {scale.repeats} rounds ({scale.put_rounds} for puts), {time.perf_counter() - started:.0f} s")
    result = {"mode": "quick" if args.quick else "full", "machine": host, "repeats": scale.repeats,
              "seconds_per_run": scale.seconds, "put_rounds": scale.put_rounds, "seconds_per_put_run": scale.put_seconds,
              "durability": DURABILITY, "rows": [r.record() for r in ctx.rows], "targets": checks}
    write_results(args.results / "latest", result, cells, checks)


if __name__ == "__main__":
    main()
