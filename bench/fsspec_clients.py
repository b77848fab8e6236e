"""Real clients reading from S3 twice: pandas, zarr and fs.get through plain
s3fs, fsspec's filecache, simplecache and blockcache, and qel's tier, against
one local S3 server (moto) on 127.0.0.1.

Each workload runs twice in one session through each system, the cache
directory fresh for the first pass; the server counts the requests and the
bytes of response body it writes during each pass. pandas and zarr reach the systems by
chained URL with storage options, fs.get through the filesystem object. The
systems take turns, in a rotated order each repeat; times are medians over
the repeats. Prints a table and the targets, and writes
bench/results/fsspec_clients.json and .md.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import io
import shutil
import statistics
import sys
import time
import traceback
import warnings
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import fsspec
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import zarr

import fsspec_systems
from harness import HERE, load_native, log
from report import machine, print_checks, terminal_table, write_results
from fsspec_systems import CACHES, filesystem, url

MiB = 1 << 20
PARQUET_COLUMNS = 8
PARQUET_ROW_GROUPS = 16
READ_COLUMN = "c3"
BUCKET = "bench"
PARQUET_TARGET = 1.5  # first-pass bytes of the one-column read, at most this times plain s3fs's


@dataclass(frozen=True)
class Sizes:
    parquet: int  # bytes of column data; the file adds little to it
    csv_rows: int
    zarr_side: int  # a square array of float32
    zarr_chunk: int  # a square chunk; side / chunk = 10 makes 100 chunks
    object: int  # fetched with fs.get
    repeats: int


# Second passes move by half from one repeat to the next (a CSV parse takes
# 25 or 42 ms, in every system): seven repeats steady their medians.
FULL = Sizes(parquet=64 * MiB, csv_rows=250_000, zarr_side=2560, zarr_chunk=256, object=64 * MiB, repeats=7)
QUICK = Sizes(parquet=16 * MiB, csv_rows=50_000, zarr_side=1280, zarr_chunk=128, object=16 * MiB, repeats=1)


class Dataset:
    """The objects on the server, and what each workload must read back."""

    def __init__(self, s3: fsspec.AbstractFileSystem, sizes: Sizes, scratch: Path) -> None:
        rng = np.random.default_rng(27)
        rows = sizes.parquet // (8 * PARQUET_COLUMNS)
        table = pa.table({f"c{i}": rng.standard_normal(rows) for i in range(PARQUET_COLUMNS)})
        sink = io.BytesIO()
        pq.write_table(table, sink, row_group_size=rows // PARQUET_ROW_GROUPS, use_dictionary=False)
        self.parquet = sink.getvalue()
        self.column = table.column(READ_COLUMN).to_numpy()
        meta = pq.ParquetFile(io.BytesIO(self.parquet)).metadata
        index = table.column_names.index(READ_COLUMN)
        # What a reader of the column cannot avoid: its chunks and the footer.
        self.column_bytes = sum(meta.row_group(g).column(index).total_compressed_size
                                for g in range(meta.num_row_groups)) + meta.serialized_size + 8
        self.row_groups = meta.num_row_groups

        frame = pd.DataFrame({"id": np.arange(sizes.csv_rows), "x": rng.standard_normal(sizes.csv_rows).round(6),
                              "y": rng.integers(0, 1 << 30, sizes.csv_rows),
                              "name": [f"item-{i % 977}" for i in range(sizes.csv_rows)]})
        self.csv = frame.to_csv(index=False).encode()
        self.frame = pd.read_csv(io.BytesIO(self.csv))

        side, chunk = sizes.zarr_side, sizes.zarr_chunk
        self.array = rng.standard_normal((side, side), dtype=np.float32)
        local = scratch / "array.zarr"
        stored = zarr.create_array(str(local), shape=self.array.shape, chunks=(chunk, chunk), dtype="float32")
        stored[:] = self.array
        self.zarr_chunks = (side // chunk) ** 2
        # Row bands, a column band and a small window: most chunks, some twice.
        self.slices = [np.s_[: side * 2 // 5, :], np.s_[:, side * 2 // 5: side * 3 // 5],
                       np.s_[side * 7 // 10: side * 4 // 5, side * 3 // 4: side * 9 // 10]]

        self.object = np.random.default_rng(28).bytes(sizes.object)
        self.object_digest = hashlib.sha256(self.object).digest()

        s3.mkdir(BUCKET)
        s3.pipe({f"{BUCKET}/table.parquet": self.parquet, f"{BUCKET}/frame.csv": self.csv,
                 f"{BUCKET}/object.bin": self.object})
        s3.put(str(local), f"{BUCKET}/array.zarr", recursive=True)
        shutil.rmtree(local)

    def describe(self) -> dict:
        return {"parquet_bytes": len(self.parquet), "parquet_row_groups": self.row_groups,
                "parquet_columns": PARQUET_COLUMNS, "parquet_column_bytes": self.column_bytes,
                "csv_bytes": len(self.csv), "zarr_shape": list(self.array.shape), "zarr_chunks": self.zarr_chunks,
                "zarr_bytes": self.array.nbytes, "object_bytes": len(self.object)}


# A workload makes one pass through a system: it returns a check, run after
# the pass is timed, that raises if what was read is wrong.
Workload = Callable[[Dataset, str, dict, Path, Path], Callable[[], None]]


def read_parquet(data: Dataset, system: str, options: dict, cache: Path, out: Path) -> Callable[[], None]:
    path, storage = url(system, f"{BUCKET}/table.parquet", options, cache)
    frame = pd.read_parquet(path, columns=[READ_COLUMN], storage_options=storage)
    return lambda: np.testing.assert_array_equal(frame[READ_COLUMN].to_numpy(), data.column)


def read_csv(data: Dataset, system: str, options: dict, cache: Path, out: Path) -> Callable[[], None]:
    path, storage = url(system, f"{BUCKET}/frame.csv", options, cache)
    frame = pd.read_csv(path, storage_options=storage)
    return lambda: pd.testing.assert_frame_equal(frame, data.frame)


def zarr_slices(data: Dataset, system: str, options: dict, cache: Path, out: Path) -> Callable[[], None]:
    path, storage = url(system, f"{BUCKET}/array.zarr", options, cache)
    array = zarr.open_array(path, mode="r", storage_options=storage)
    got = [array[s] for s in data.slices]

    def check() -> None:
        for s, values in zip(data.slices, got):
            np.testing.assert_array_equal(values, data.array[s])

    return check


def fs_get(data: Dataset, system: str, options: dict, cache: Path, out: Path) -> Callable[[], None]:
    filesystem(system, options, cache).get(f"{BUCKET}/object.bin", str(out))

    def check() -> None:
        if hashlib.sha256(out.read_bytes()).digest() != data.object_digest:
            raise AssertionError(f"fs.get wrote other bytes to {out}")
        out.unlink()

    return check


WORKLOADS: dict[str, Workload] = {"read_parquet 1 column": read_parquet, "read_csv": read_csv,
                                  "zarr slices": zarr_slices, "fs.get": fs_get}


def one_pass(workload: Workload, data: Dataset, system: str, options: dict, cache: Path, out: Path,
             counting) -> dict:
    """Time, requests and bytes of one pass; an error instead when the
    system cannot do it. Wrong bytes end the benchmark."""
    first, sent = counting.settled()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.simplefilter("ignore", ResourceWarning)  # fsspec's caches leave files to the collector
        start = time.perf_counter()
        try:
            check = workload(data, system, options, cache, out)
        except Exception as e:  # noqa: BLE001 - a peer that cannot do the workload is a finding
            log("".join(traceback.format_exception_only(e)).strip())
            return {"error": f"{type(e).__name__}: {str(e).splitlines()[0] if str(e) else ''}"[:200]}
        seconds = time.perf_counter() - start
    last, sent_after = counting.settled()
    with counting.lock:
        served = counting.requests[first:last]
    sent = sent_after - sent
    try:
        check()
    except AssertionError as e:
        raise SystemExit(f"{system} read wrong data: {e}") from e
    result = {"seconds": seconds, "requests": len(served), "bytes": sent,
              "methods": dict(Counter(method for method, _ in served))}
    messages = sorted({f"{w.category.__name__}: {w.message}" for w in caught})
    if messages:
        result["warnings"] = messages
    return result


def median_pass(runs: list[dict]) -> dict:
    """The median of each figure over the repeats, or the error if any failed."""
    failed = next((r for r in runs if "error" in r), None)
    if failed:
        return failed
    return {key: statistics.median(r[key] for r in runs) for key in ("seconds", "requests", "bytes")}


def fmt_bytes(n: float) -> str:
    return f"{n / MiB:.1f} MiB" if n >= MiB / 10 else f"{n / 1024:.0f} KiB"


def fmt_pass(p: dict) -> list[str]:
    if "error" in p:
        return ["failed", "-", "-"]
    return [f"{p['seconds'] * 1000:,.0f} ms", fmt_bytes(p["bytes"]), f"{p['requests']:.0f}"]


def targets(rows: list[dict], runs: dict) -> list[dict]:
    checks = []

    def check(name: str, got: float, want: float) -> None:
        checks.append({"target": name, "measured": round(got, 3), "wanted": f"<= {want}", "met": got <= want})

    def find(workload: str, system: str) -> dict:
        return next(r for r in rows if r["workload"] == workload and r["system"] == system)

    for workload in WORKLOADS:
        qel = find(workload, "qel")
        if "error" in qel["second"]:
            checks.append({"target": f"{workload}: qel's second pass", "measured": qel["second"]["error"],
                           "wanted": "a pass", "met": False})
            continue
        check(f"{workload}: requests in qel's second pass, most of any repeat",
              max(run["second"]["requests"] for run in runs[workload]["qel"]), 0)
        # The fastest cache is the one whose median second pass is least; the
        # least of three caches within each repeat would be no cache's time.
        peers = {c: find(workload, c)["second"] for c in CACHES}
        peers = {c: p["seconds"] for c, p in peers.items() if "error" not in p}
        if peers:
            fastest = min(peers, key=peers.__getitem__)
            check(f"{workload}: qel's second pass time over the fastest fsspec cache's ({fastest})",
                  qel["second"]["seconds"] / peers[fastest], 1.0)
    qel, s3fs = find("read_parquet 1 column", "qel")["first"], find("read_parquet 1 column", "s3fs")["first"]
    if "error" not in qel and "error" not in s3fs:
        check("read_parquet 1 column: qel's first-pass bytes over plain s3fs's", qel["bytes"] / s3fs["bytes"],
              PARQUET_TARGET)
    return checks


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller objects, one repeat")
    parser.add_argument("--repeats", type=int, help="repeats instead of the mode's")
    parser.add_argument("--workdir", type=Path, default=HERE.parent / "build/bench/clients", help="scratch directory")
    parser.add_argument("--native", type=Path, help="the _native module, or the build tree holding it, to use")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="where fsspec_clients.json and .md go")
    args = parser.parse_args()
    if args.native:
        sys.modules["qel._native"] = load_native(args.native)
    sizes = QUICK if args.quick else FULL
    repeats = args.repeats or sizes.repeats
    started = time.perf_counter()
    shutil.rmtree(args.workdir, ignore_errors=True)
    args.workdir.mkdir(parents=True)
    runs: dict[str, dict[str, list[dict]]] = {w: {s: [] for s in fsspec_systems.SYSTEMS} for w in WORKLOADS}
    try:
        with fsspec_systems.serve() as (options, counting):
            data = Dataset(fsspec.filesystem("s3", **options), sizes, args.workdir)
            log(f"data on the server after {time.perf_counter() - started:.0f} s: {data.describe()}")
            for rep in range(repeats):
                for w, (name, workload) in enumerate(WORKLOADS.items()):
                    turn = (rep + w) % len(fsspec_systems.SYSTEMS)
                    for system in fsspec_systems.SYSTEMS[turn:] + fsspec_systems.SYSTEMS[:turn]:
                        fsspec_systems.forget()
                        cache = args.workdir / f"{system}-{rep}-{w}"
                        passes = {label: one_pass(workload, data, system, options, cache,
                                                  args.workdir / f"{label}.out", counting)
                                  for label in ("first", "second")}
                        runs[name][system].append(passes)
                        fsspec_systems.forget()
                        shutil.rmtree(cache, ignore_errors=True)
                        log(f"  repeat {rep + 1}, {name}, {system}: " + "; ".join(
                            " ".join(fmt_pass(p)) if "error" not in p else p["error"] for p in passes.values()))
    finally:
        with contextlib.suppress(Exception):
            fsspec_systems.forget()
        shutil.rmtree(args.workdir, ignore_errors=True)

    rows = [{"workload": name, "system": system,
             "first": median_pass([r["first"] for r in by_system[system]]),
             "second": median_pass([r["second"] for r in by_system[system]]), "runs": by_system[system]}
            for name, by_system in runs.items() for system in fsspec_systems.SYSTEMS]
    header = ["workload", "system", "1st time", "1st bytes", "1st requests", "2nd time", "2nd bytes", "2nd requests"]
    cells = [header] + [[r["workload"], r["system"], *fmt_pass(r["first"]), *fmt_pass(r["second"])] for r in rows]
    checks = targets(rows, runs)
    elapsed = time.perf_counter() - started
    host = machine(args.workdir)
    described = data.describe()
    caption = (f"Local S3 server (moto) on 127.0.0.1; bytes are response bodies the server wrote. Parquet "
               f"{fmt_bytes(described['parquet_bytes'])} in {data.row_groups} row groups of {PARQUET_COLUMNS} "
               f"float64 columns, one column read ({fmt_bytes(data.column_bytes)} of its chunks and footer); CSV "
               f"{fmt_bytes(len(data.csv))}; zarr {data.array.shape[0]}x{data.array.shape[1]} float32 in "
               f"{data.zarr_chunks} chunks, {len(data.slices)} slices; fs.get of {fmt_bytes(len(data.object))}. "
               f"Median of {repeats}; {host['nproc']} cores; {elapsed:.0f} s in all.")
    print(terminal_table(cells))
    print()
    print_checks(checks)
    print(f"\n{caption}")
    for r in rows:
        for label in ("first", "second"):
            if "error" in r[label]:
                print(f"{r['workload']}, {r['system']}, {label} pass: {r[label]['error']}")
    result = {"mode": "quick" if args.quick else "full", "repeats": repeats, "machine": host, "data": described,
              "rows": rows, "targets": checks, "seconds": elapsed}
    write_results(args.results / "fsspec_clients", result, cells, checks)
    md = args.results / "fsspec_clients.md"
    md.write_text(md.read_text() + "\n" + caption + "\n")


if __name__ == "__main__":
    main()
