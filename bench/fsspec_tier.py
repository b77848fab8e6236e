"""Reading a set of remote files twice: plain s3fs, s3fs behind fsspec's own
whole-file cache ("filecache"), and s3fs behind qel ("qel::"), all against
one local S3 server on 127.0.0.1 in the same run.

Each repeat gives every system a fresh, empty cache directory; the systems
take turns within a repeat, and ratios are taken within each repeat (the
machine's speed drifts) and their median reported. Writes a table to the
terminal, bench/results/fsspec.json and bench/results/fsspec.md.

With --block-sizes it measures instead what the tier's block size costs
reads of one large object (the measurement behind the default): scattered
small reads, a whole copy with `get_file`, and that copy again from the cache.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import random
import shutil
import statistics
import sys
import time
from pathlib import Path
from typing import Callable

import fsspec

from harness import HERE, ROOT, KiB, load_native, log
from report import markdown_table, terminal_table

sys.path.insert(0, str(ROOT / "tests/python"))
import s3_server  # noqa: E402

SYSTEMS = ("s3fs", "filecache", "qel::")


def make_fs(system: str, options: dict, directory: Path) -> fsspec.AbstractFileSystem:
    if system == "s3fs":
        return fsspec.filesystem("s3", skip_instance_cache=True, **options)
    if system == "filecache":
        return fsspec.filesystem("filecache", target_protocol="s3", target_options=options,
                                 cache_storage=str(directory), skip_instance_cache=True)
    from qel.fsspec import QelFileSystem

    return QelFileSystem(target_protocol="s3", target_options=options, directory=directory, max_bytes=1 << 40,
                         skip_instance_cache=True)


def read_all(fs: fsspec.AbstractFileSystem, paths: list[str], expected: dict[str, bytes]) -> float:
    """Seconds to open and read every file once; checks what it read."""
    start = time.perf_counter()
    for path in paths:
        with fs.open(path, "rb") as f:
            data = f.read()
        if data != expected[path]:
            raise SystemExit(f"wrong bytes for {path}")
    return time.perf_counter() - start


def block_sizes(workdir: Path, quick: bool) -> None:
    """Prints, per block size, the median seconds of: 16 reads of 100 bytes at
    scattered offsets of a 64 MiB object (first pass, so each fetches a block),
    a first `get_file` of it, and a second one from the cache."""
    from qel.fsspec import QelFileSystem

    size, repeats, sizes = 64 << 20, 3 if quick else 5, [256 * KiB, 1 << 20, 2 << 20, 4 << 20, 8 << 20, 16 << 20]
    rng = random.Random(5)
    data = rng.randbytes(size)
    offsets = [rng.randrange(size - 100) for _ in range(16)]
    with s3_server.serve(os.environ) as (endpoint, counting):
        options = s3_server.s3_options(endpoint)
        s3 = fsspec.filesystem("s3", **options)
        s3.mkdir("bench")
        s3.pipe_file("bench/large", data)
        runs: dict[int, dict[str, list[float]]] = {b: {"scattered": [], "copy": [], "again": []} for b in sizes}
        for rep in range(repeats):
            for block in sizes[rep % len(sizes):] + sizes[:rep % len(sizes)]:
                directory = workdir / f"blocks-{block}"
                fs = QelFileSystem(target_protocol="s3", target_options=options, directory=directory,
                                   max_bytes=1 << 30, block_size=block, skip_instance_cache=True)
                fs.info("bench/large")
                start = time.perf_counter()
                for offset in offsets:
                    if fs.cat_file("bench/large", offset, offset + 100) != data[offset:offset + 100]:
                        raise SystemExit("wrong bytes")
                runs[block]["scattered"].append(time.perf_counter() - start)
                fs.close()
                shutil.rmtree(directory)
                # No payloads kept in memory: the second copy reads the blobs, as the block size governs.
                fs = QelFileSystem(target_protocol="s3", target_options=options, directory=directory,
                                   max_bytes=1 << 30, block_size=block, memory_bytes=0, skip_instance_cache=True)
                for key in ("copy", "again"):
                    start = time.perf_counter()
                    fs.get_file("bench/large", str(workdir / "copy"))
                    runs[block][key].append(time.perf_counter() - start)
                if (workdir / "copy").read_bytes() != data:
                    raise SystemExit("wrong copy")
                fs.close()
                shutil.rmtree(directory)
    print("block size  16 scattered reads  first get_file  second get_file")
    for block in sizes:
        r = {key: statistics.median(v) * 1000 for key, v in runs[block].items()}
        print(f"{block // KiB:>7} KiB  {r['scattered']:>15.0f} ms  {r['copy']:>11.0f} ms  {r['again']:>12.0f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer files and repeats")
    parser.add_argument("--workdir", type=Path, default=ROOT / "build/bench/fsspec", help="scratch directory")
    parser.add_argument("--native", type=Path, help="the _native module, or the build tree holding it, to use")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="where fsspec.json and .md go")
    parser.add_argument("--block-sizes", action="store_true", help="measure the block size's costs instead")
    args = parser.parse_args()
    if args.native:
        sys.modules["qel._native"] = load_native(args.native)
    if args.block_sizes:
        logging.getLogger("werkzeug").setLevel(logging.ERROR)
        args.workdir.mkdir(parents=True, exist_ok=True)
        block_sizes(args.workdir, args.quick)
        shutil.rmtree(args.workdir, ignore_errors=True)
        return
    files, size, repeats = (32, 256 * KiB, 3) if args.quick else (64, 256 * KiB, 5)
    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    rng = random.Random(3)
    shutil.rmtree(args.workdir, ignore_errors=True)
    runs: dict[str, dict[str, list[float]]] = {s: {"first": [], "second": [], "second_requests": []} for s in SYSTEMS}
    with s3_server.serve(os.environ) as (endpoint, counting):
        options = s3_server.s3_options(endpoint)
        s3 = fsspec.filesystem("s3", **options)
        s3.mkdir("bench")
        expected = {f"bench/f{i:03d}": rng.randbytes(size) for i in range(files)}
        s3.pipe(expected)
        paths = sorted(expected)
        log(f"{files} files of {size // KiB} KiB, read twice, {repeats} repeats")
        for rep in range(repeats):
            order = SYSTEMS[rep % len(SYSTEMS):] + SYSTEMS[:rep % len(SYSTEMS)]
            for system in order:
                directory = args.workdir / f"{system.strip(':')}-{rep}"
                fs = make_fs(system, options, directory)
                runs[system]["first"].append(read_all(fs, paths, expected))
                before = counting.count()
                runs[system]["second"].append(read_all(fs, paths, expected))
                runs[system]["second_requests"].append(counting.count() - before)
                if system == "qel::":
                    fs.close()
                shutil.rmtree(directory, ignore_errors=True)
            log(f"  repeat {rep + 1}: " + ", ".join(
                f"{s} {runs[s]['first'][-1] * 1000:.0f}+{runs[s]['second'][-1] * 1000:.0f} ms" for s in SYSTEMS))
    shutil.rmtree(args.workdir, ignore_errors=True)

    def paired(system: str, base: str, key: Callable[[dict[str, list[float]], int], float]) -> float:
        return statistics.median(key(runs[base], i) / key(runs[system], i) for i in range(repeats))

    both = lambda r, i: r["first"][i] + r["second"][i]  # noqa: E731
    second = lambda r, i: r["second"][i]  # noqa: E731
    rows = []
    for system in SYSTEMS:
        r = runs[system]
        rows.append({
            "system": system,
            "first_pass_s": statistics.median(r["first"]),
            "second_pass_s": statistics.median(r["second"]),
            "second_pass_requests": statistics.median(r["second_requests"]),
            "speedup_vs_s3fs_both_passes": paired(system, "s3fs", both),
            "speedup_vs_s3fs_second_pass": paired(system, "s3fs", second),
            "speedup_vs_filecache_second_pass": paired(system, "filecache", second),
            "runs": r,
        })
    header = ["system", "1st pass", "2nd pass", "requests in 2nd", "x s3fs (both)", "x s3fs (2nd)", "x filecache (2nd)"]
    cells = [header] + [[row["system"], f"{row['first_pass_s'] * 1000:.0f} ms", f"{row['second_pass_s'] * 1000:.0f} ms",
                         f"{row['second_pass_requests']:.0f}", f"{row['speedup_vs_s3fs_both_passes']:.2f}",
                         f"{row['speedup_vs_s3fs_second_pass']:.2f}", f"{row['speedup_vs_filecache_second_pass']:.2f}"]
                        for row in rows]
    print(terminal_table(cells))
    caption = (f"{files} files of {size // KiB} KiB from a local S3 server (moto) on 127.0.0.1, each read twice "
               f"with open().read(); median of {repeats}; speedups are medians of ratios within each repeat.")
    print(caption)
    args.results.mkdir(parents=True, exist_ok=True)
    (args.results / "fsspec.json").write_text(json.dumps(
        {"mode": "quick" if args.quick else "full", "files": files, "size": size, "repeats": repeats, "rows": rows},
        indent=1) + "\n")
    (args.results / "fsspec.md").write_text(markdown_table(cells) + "\n\n" + caption + "\n")


if __name__ == "__main__":
    main()
