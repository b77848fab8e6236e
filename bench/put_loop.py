"""One system's put loop alone, for a profiler to watch: new blobs of one
size into a fresh directory for a time, then the rate. For example

    perf record -g -o put.data -- .venv/bin/python bench/put_loop.py --native build/bench
    perf trace -s -- .venv/bin/python bench/put_loop.py --native build/bench
    perf trace -s -- .venv/bin/python bench/put_loop.py --system "raw C++ sharded"

The systems are those of bench/systems.py; the directory is removed after.
"""

from __future__ import annotations

import argparse
import random
import shutil
from pathlib import Path

from harness import ROOT, KiB
from systems import by_name


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--system", default="qel", help="a name from bench/systems.py's DURABILITY table")
    parser.add_argument("--size", type=int, default=4 * KiB, help="payload bytes")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--tools", type=Path, default=ROOT / "build/bench/bench", help="where raw_io is")
    parser.add_argument("--native", type=Path, help="the _native module, or the build tree holding it")
    parser.add_argument("--workdir", type=Path, default=ROOT / "build/bench/put-loop", help="scratch directory")
    args = parser.parse_args()
    systems = by_name(args.tools, args.native)
    if args.system not in systems:
        parser.error(f"--system: one of {', '.join(systems)}")
    adapter = systems[args.system]
    rng = random.Random(7)
    payloads = [rng.randbytes(args.size) for _ in range(8)]
    shutil.rmtree(args.workdir, ignore_errors=True)
    args.workdir.mkdir(parents=True)
    try:
        store = adapter.open(args.workdir / "store")
        try:
            rate = store.put_rate("loop", payloads, args.threads, args.seconds)
        finally:
            store.close()
    finally:
        shutil.rmtree(args.workdir, ignore_errors=True)
    print(f"{adapter.name}: {rate:,.0f} puts/s of {args.size:,} bytes, {args.threads} thread(s)")


if __name__ == "__main__":
    main()
