"""How opening a cache grows with the number of blobs it holds.

For each count, `blob_files` writes that many blob files of 1 KiB payloads and
14-byte IDs straight into a cache directory; then, taking turns within each
repeat, `raw_io walk` lists the tree and reads every byte once on one thread,
and a fresh Python process opens `NativeBlobCache(dir, 1 << 62, 0)`, timing the
open and reading its own resident memory before and after. The page cache is
warm for both. Writes a table to the terminal, bench/results/scale.json and
bench/results/scale.md; the directories are deleted after their count is done.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

from harness import HERE, ROOT, load_native, log, paired, run_tool, take_turns
from report import judged, machine, print_checks, terminal_table, write_results

COUNTS = (10_000, 100_000, 1_000_000)
PAYLOAD_LEN = 1024
ID_LEN = 14
BUDGET = 1 << 62
RATIO_TARGET = 1.0  # open time at most this many times the raw walk, from 100,000 blobs up


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")


def child(directory: str, native: Path | None) -> None:
    """One open in this process: seconds, and resident memory added."""
    module = load_native(native)
    before = resident_bytes()
    start = time.perf_counter()
    cache = module.NativeBlobCache(directory, BUDGET, 0)
    seconds = time.perf_counter() - start
    after = resident_bytes()
    blobs = cache.stats()[0]
    cache.close()
    print(json.dumps({"seconds": seconds, "rss_added": after - before, "blobs": blobs}))


def open_in_child(directory: Path, native: Path | None) -> dict:
    command = [sys.executable, __file__, "--child", str(directory)]
    if native is not None:
        command += ["--native", str(native)]
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def measure(count: int, args: argparse.Namespace) -> dict:
    directory = args.workdir / f"blobs-{count}"
    shutil.rmtree(directory, ignore_errors=True)
    log(f"{count:,} blobs: writing")
    written = run_tool(args.tools / "blob_files", directory, count, PAYLOAD_LEN)
    try:
        run_tool(args.tools / "raw_io", "walk", directory)  # warm the page cache
        runs: dict[str, list[dict]] = {}
        for rep in range(args.repeats):
            log(f"{count:,} blobs: repeat {rep + 1} of {args.repeats}")
            take_turns([[("walk", lambda: run_tool(args.tools / "raw_io", "walk", directory))],
                        [("open", lambda: open_in_child(directory, args.native))]], rep, runs)
        walks, opens = runs["walk"], runs["open"]
        for seen in [w["ops"] for w in walks] + [o["blobs"] for o in opens]:
            if seen != count:
                raise SystemExit(f"{seen} blobs seen in a directory of {count}")
        return {
            "blobs": count,
            "bytes_on_disk": written["bytes"],
            "write_seconds": written["seconds"],
            "open_seconds": [o["seconds"] for o in opens],
            "walk_seconds": [w["seconds"] for w in walks],
            "rss_added": [o["rss_added"] for o in opens],
            "open_vs_walk": paired([o["seconds"] for o in opens], [w["seconds"] for w in walks]),
        }
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def row_cells(r: dict) -> list[str]:
    open_s = statistics.median(r["open_seconds"])
    walk_s = statistics.median(r["walk_seconds"])
    rss = statistics.median(r["rss_added"])
    return [f"{r['blobs']:,}", f"{open_s:.2f} s", f"{r['blobs'] / open_s:,.0f}", f"{rss / 2**20:.1f} MiB",
            f"{rss / r['blobs']:,.0f} B", f"{walk_s:.2f} s", f"{r['blobs'] / walk_s:,.0f}", f"{r['open_vs_walk']:.2f}"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tools", type=Path, default=ROOT / "build/bench/bench", help="where blob_files and raw_io are")
    parser.add_argument("--native", type=Path, help="the _native module, or the build tree holding it")
    parser.add_argument("--workdir", type=Path, default=ROOT / "build/bench/scale", help="scratch directory")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="where scale.json and scale.md go")
    parser.add_argument("--counts", type=int, nargs="+", default=list(COUNTS))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.native)
        return
    args.workdir = args.workdir.resolve()
    args.workdir.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    host = machine(args.workdir)
    try:
        rows = [measure(count, args) for count in args.counts]
    finally:
        shutil.rmtree(args.workdir, ignore_errors=True)

    header = ["blobs", "open", "files/s", "resident memory added", "per blob", "raw walk", "raw files/s", "open / raw walk"]
    cells = [header] + [row_cells(r) for r in rows]
    checks = [judged(f"open of {r['blobs']:,} blobs, times the raw single-thread walk-and-read", r["open_vs_walk"],
                     RATIO_TARGET, at_most=True) for r in rows if r["blobs"] >= 100_000]
    print(terminal_table(cells))
    print()
    print_checks(checks)
    print(f"\n{host['nproc']} x {host['cpu']}, {host['filesystem']}; median of {args.repeats}, "
          f"{time.perf_counter() - started:.0f} s")

    result = {"machine": host, "repeats": args.repeats, "payload_bytes": PAYLOAD_LEN, "id_bytes": ID_LEN,
              "rows": rows, "targets": checks}
    write_results(args.results / "scale", result, cells, checks)


if __name__ == "__main__":
    main()
