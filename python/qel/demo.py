"""A realistic mixed workload over one cache, and a report of what it did.

Several threads read blob IDs drawn from a Zipf distribution; a miss fetches
the payload from a stand-in origin and puts it (read-through), and now and
then an ID is invalidated. Every payload read back is checked against the
origin. The cache is then reopened over the same directory, which verifies
every file, and the blobs it kept are read and checked again.
"""

from __future__ import annotations

import contextlib
import hashlib
import itertools
import math
import random
import tempfile
import threading
import time
from dataclasses import dataclass, fields
from pathlib import Path

from tqdm import tqdm

from qel.cache import BlobCache

THREADS = 4
READS_PER_BLOB = 10
MIN_PAYLOAD = 1 << 10
MAX_PAYLOAD = 256 << 10
ZIPF_EXPONENT = 1.1
INVALIDATE_EVERY = 50  # one delete per this many reads, on average
SEED = 20240601


@dataclass
class Tally:
    gets: int = 0
    hits: int = 0
    puts: int = 0
    admitted: int = 0
    deletes: int = 0
    bytes_read: int = 0
    bytes_written: int = 0
    mismatches: int = 0

    def add(self, other: Tally) -> None:
        for f in fields(self):
            setattr(self, f.name, getattr(self, f.name) + getattr(other, f.name))


class Origin:
    """The slow source the cache stands in front of: each ID has a fixed
    payload of 1 KiB to 256 KiB (log-uniform), the same on every run."""

    def __init__(self, blobs: int) -> None:
        rng = random.Random(SEED)
        low, high = math.log(MIN_PAYLOAD), math.log(MAX_PAYLOAD)
        self.sizes = [round(math.exp(rng.uniform(low, high))) for _ in range(blobs)]
        self.ids = [f"demo/object-{index:07d}" for index in range(blobs)]
        # Rank 0 is the most popular ID.
        self.cum_weights = list(itertools.accumulate(1.0 / (rank + 1) ** ZIPF_EXPONENT for rank in range(blobs)))
        self._digests: dict[int, bytes] = {}

    def fetch(self, index: int) -> bytes:
        payload = random.Random(SEED * 1_000_003 + index).randbytes(self.sizes[index])
        self._digests[index] = digest(payload)
        return payload

    def matches(self, index: int, payload: bytes) -> bool:
        expected = self._digests.get(index)
        if expected is None:  # stored by an earlier run over the same directory
            expected = digest(self.fetch(index))
        return digest(payload) == expected


def digest(payload: bytes) -> bytes:
    return hashlib.blake2b(payload, digest_size=16).digest()


def client(cache: BlobCache, origin: Origin, reads: int, seed: int, tally: Tally) -> None:
    rng = random.Random(seed)
    picks = rng.choices(range(len(origin.ids)), cum_weights=origin.cum_weights, k=reads)
    for index in picks:
        blob_id = origin.ids[index]
        if rng.randrange(INVALIDATE_EVERY) == 0:
            cache.delete(blob_id)
            tally.deletes += 1
        payload = cache.get(blob_id)
        tally.gets += 1
        if payload is not None:
            tally.hits += 1
            tally.bytes_read += len(payload)
            tally.mismatches += not origin.matches(index, payload)
        else:
            payload = origin.fetch(index)
            tally.puts += 1
            if cache.put(blob_id, payload):
                tally.admitted += 1
                tally.bytes_written += len(payload)


def run_clients(cache: BlobCache, origin: Origin, reads: int) -> tuple[Tally, float]:
    per_thread = [reads // THREADS + (slot < reads % THREADS) for slot in range(THREADS)]
    tallies = [Tally() for _ in range(THREADS)]
    failures: list[BaseException] = []

    def guarded(slot: int) -> None:
        try:
            client(cache, origin, per_thread[slot], SEED + slot, tallies[slot])
        except BaseException as failure:  # reported by the main thread
            failures.append(failure)

    threads = [threading.Thread(target=guarded, args=(slot,), name=f"qel-demo-{slot}") for slot in range(THREADS)]
    start = time.perf_counter()
    with tqdm(total=reads, unit="get", desc="workload", leave=False) as bar:
        for thread in threads:
            thread.start()
        # Each client counts its own gets; only this thread moves the bar.
        while any(thread.is_alive() for thread in threads):
            threads[0].join(0.1)
            bar.update(sum(tally.gets for tally in tallies) - bar.n)
    elapsed = time.perf_counter() - start
    if failures:
        raise failures[0]
    total = Tally()
    for tally in tallies:
        total.add(tally)
    return total, elapsed


def check_after_reopen(cache: BlobCache, origin: Origin) -> tuple[int, int]:
    """Reads every ID once; returns how many were cached and how many of
    those did not match the origin."""
    found = mismatched = 0
    for index, blob_id in enumerate(tqdm(origin.ids, unit="blob", desc="verify", leave=False)):
        payload = cache.get(blob_id)
        if payload is not None:
            found += 1
            mismatched += not origin.matches(index, payload)
    return found, mismatched


class UnusableDirectory(Exception):
    """The cache could not be opened over the directory given."""


def open_cache(root: Path, max_bytes: int, durable: bool) -> BlobCache:
    try:
        return BlobCache(root, max_bytes, durable=durable)
    except (RuntimeError, ValueError) as failure:
        raise UnusableDirectory(f"cannot open a cache over {root}: {failure}") from None


def size(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def run(directory: Path | None, blobs: int, max_bytes: int, *, durable: bool = True) -> int:
    origin = Origin(blobs)
    reads = blobs * READS_PER_BLOB
    with contextlib.ExitStack() as stack:
        root = directory or Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="qel-demo-")))
        cache = open_cache(root, max_bytes, durable)
        print(f"qel demo over {root}")
        print(
            f"  {blobs:,} distinct blobs of {size(MIN_PAYLOAD)} to {size(MAX_PAYLOAD)} "
            f"({size(sum(origin.sizes))} in all), budget {size(max_bytes)}, "
            f"{THREADS} threads doing {reads:,} Zipf-distributed reads"
        )

        with cache:
            tally, elapsed = run_clients(cache, origin, reads)

        start = time.perf_counter()
        reopened = BlobCache(root, max_bytes, durable=durable)
        reopen_seconds = time.perf_counter() - start
        with reopened:
            # What the reopen verified and kept: every file the workload left.
            kept = reopened.stats()
            found, mismatched_after = check_after_reopen(reopened, origin)

    operations = tally.gets + tally.puts + tally.deletes
    hit_ratio = tally.hits / tally.gets if tally.gets else 0.0
    rows = [
        ("operations", f"{tally.gets:,} gets, {tally.puts:,} puts, {tally.deletes:,} deletes in {elapsed:.2f} s"),
        ("throughput", f"{operations / elapsed:,.0f} operations/s, {size((tally.bytes_read + tally.bytes_written) / elapsed)}/s"),
        ("hit ratio", f"{hit_ratio:.1%} ({tally.hits:,} of {tally.gets:,} gets)"),
        ("admitted", f"{tally.admitted:,} of {tally.puts:,} puts ({size(tally.bytes_written)} written)"),
        ("blobs stored", f"{kept.blobs:,}"),
        ("bytes on disk", f"{size(kept.bytes)} of {size(max_bytes)} budget ({kept.bytes / max_bytes:.1%})"),
        ("reopen", f"{reopen_seconds * 1000:.0f} ms to verify and admit {kept.blobs:,} files; {found:,} blobs read back"),
        ("verified", "every payload matched its origin" if tally.mismatches + mismatched_after == 0
         else f"{tally.mismatches + mismatched_after:,} payloads did NOT match their origin"),
    ]
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"  {label:<{width}}  {value}")
    return 0 if tally.mismatches + mismatched_after == 0 else 1
