"""Per-operation counts that the load on a shared machine does not move, for
comparing builds of the _native module where timings cannot be trusted:

- instructions per call inside the module's get or put entry point, on the
  caller's thread, and per operation of the whole process, every thread
  included (callgrind);
- system calls per operation, by kind (strace -c -f).

Each is the difference of two runs, one three times as long as the other.

Gets read 16 stored blobs round and round (hits); puts store new blobs, with
and, where the module takes `durable`, without fsync. For example

    .venv/bin/python bench/op_counts.py --native build/bench --native /tmp/old/build/bench

Needs valgrind and strace. Each run's cache directory is removed outside the
counted process, so the counts hold only the cache's own work.
"""

from __future__ import annotations

import argparse
import gc
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from harness import ROOT, KiB, MiB, load_native

SIZES = {"4K": 4 * KiB, "64K": 64 * KiB, "1M": MiB}
BUDGET = 8 << 30
GET_BLOBS = 16


def worker(native: Path, op: str, size: int, count: int, durable: bool, directory: str) -> None:
    """The counted process: `count` operations after the setup."""
    module = load_native(native)
    cache = module.NativeBlobCache(directory, BUDGET, 0, **({} if durable else {"durable": False}))
    payload = os.urandom(size)
    gc.disable()  # a collection now and then would move the whole-process counts
    if op == "get":
        ids = [f"blob-{i}" for i in range(GET_BLOBS)]
        for blob_id in ids:
            assert cache.put(blob_id, payload)
        assert cache.get(ids[0]) == payload
        get = cache.get
        for n in range(count):
            get(ids[n % GET_BLOBS])
    else:
        put = cache.put
        for n in range(count):
            put(f"new-{n}", payload)
    cache.close()


def run(tool: list[str], args: argparse.Namespace, native: Path, op: str, size: int, count: int,
        durable: bool) -> None:
    """Runs the worker under `tool` in a fresh directory, removed after."""
    directory = tempfile.mkdtemp(dir=args.workdir)
    try:
        command = [*tool, sys.executable, __file__, "--worker", str(native), op, str(size), str(count),
                   str(int(durable)), directory]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    finally:
        shutil.rmtree(directory)


def instructions(args: argparse.Namespace, native: Path, op: str, size: int, count: int,
                 durable: bool) -> tuple[int, int]:
    """Instructions of the whole process and of the calls of the entry point."""
    out = Path(args.workdir) / "callgrind.out"
    run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"], args, native, op, size, count, durable)
    annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(out)], check=True,
                               capture_output=True, text=True).stdout
    out.unlink()
    total = re.search(r"^\s*([\d,]+) .*PROGRAM TOTALS", annotated, re.MULTILINE)
    # The entry point's name in every build so far.
    entry = re.search(rf"^\s*([\d,]+) .*(?<!\w)(?:qel_)?native_{op}(?!\w)", annotated, re.MULTILINE)
    if total is None or entry is None:
        raise SystemExit(f"no totals or no entry point in callgrind's output for {native} {op}")
    return int(total.group(1).replace(",", "")), int(entry.group(1).replace(",", ""))


def syscalls(args: argparse.Namespace, native: Path, op: str, size: int, count: int, durable: bool) -> dict[str, int]:
    out = Path(args.workdir) / "strace.out"
    run(["strace", "-f", "-c", "-o", str(out)], args, native, op, size, count, durable)
    calls = {}
    for line in out.read_text().splitlines():
        # % time, seconds, usecs/call, calls, [errors,] syscall
        fields = line.split()
        if len(fields) >= 5 and re.fullmatch(r"[\d.]+", fields[0]) and fields[-1] != "total":
            calls[fields[-1]] = int(fields[3])
    out.unlink()
    return calls


def takes_durable(native: Path) -> bool:
    return "durable" in (load_native(native).NativeBlobCache.__text_signature__ or "")


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        native, op, size, count, durable, directory = sys.argv[2:]
        worker(Path(native), op, int(size), int(count), durable == "1", directory)
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--native", type=Path, action="append", required=True,
                        help="a _native module or the build tree holding it; repeat to compare")
    parser.add_argument("--ops", default="get-4K,get-64K,get-1M,put-4K,put-64K,put-1M",
                        help="comma-separated OP-SIZE, OP get or put, SIZE one of " + ", ".join(SIZES))
    parser.add_argument("--count", type=int, default=1000, help="operations of the short run; the long one has 3x")
    parser.add_argument("--workdir", type=Path, default=ROOT / "build/bench/op-counts", help="scratch directory")
    args = parser.parse_args()
    if shutil.which("valgrind") is None or shutil.which("strace") is None:
        raise SystemExit("needs valgrind and strace")
    args.workdir.mkdir(parents=True, exist_ok=True)
    print("| module | operation | instructions in the entry point | instructions, process | system calls | by kind |")
    print("|---|---|---|---|---|---|")
    for wanted in args.ops.split(","):
        op, size_name = wanted.split("-")
        if op not in ("get", "put") or size_name not in SIZES:
            parser.error(f"--ops: {wanted}?")
        size = SIZES[size_name]
        # Long payloads take long enough under valgrind that fewer do.
        short = max(args.count * 4 * KiB // size, 20) if op == "get" else max(args.count // 10, 20)
        for native in args.native:
            for durable in (True, False) if op == "put" and takes_durable(native) else (True,):
                # Differences of a run and one three times as long: each
                # first use's costs (the digest's setup, say) cancel out.
                (whole0, entry0), (whole1, entry1) = (instructions(args, native, op, size, n, durable)
                                                      for n in (short, 3 * short))
                calls = [syscalls(args, native, op, size, n, durable) for n in (short, 3 * short)]
                per_op = {name: (calls[1].get(name, 0) - calls[0].get(name, 0)) / (2 * short) for name in calls[1]}
                kinds = ", ".join(f"{name} {n:.2f}" for name, n in sorted(per_op.items()) if n >= 0.01)
                label = f"{op} {size_name}" + ("" if durable else ", durable=False")
                print(f"| {native} | {label} | {(entry1 - entry0) / (2 * short):,.0f} | {(whole1 - whole0) / (2 * short):,.0f} "
                      f"| {sum(n for n in per_op.values() if n >= 0.01):.2f} | {kinds} |", flush=True)


if __name__ == "__main__":
    main()
