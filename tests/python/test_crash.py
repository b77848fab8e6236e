"""A writer SIGKILLed at random moments leaves no torn or stray file, and all it
was told is stored survives, also when several threads write at once and when
its puts skip fsync. A power loss under puts without fsync, simulated by
cutting or zeroing the tails of recent files, never returns a wrong byte: the
next open drops every torn file. QEL_CRASH_CYCLES sets the kills (``make stress``)."""

import os
import random
import time

import pytest

from qel._native import NativeBlobCache

import blob_files
from members import Member, churn, payload, promised

CYCLES = int(os.environ.get("QEL_CRASH_CYCLES", "100"))
IDS = [f"blob-{n}" for n in range(100)]
BUDGET = 1 << 26  # more than the writer can store, so nothing is evicted


@pytest.mark.parametrize("durable", [True, False])
@pytest.mark.parametrize("threads", [1, 3])
def test_sigkill_loses_nothing_promised(tmp_path, threads, durable):
    """Each of the writer's threads keeps to IDs of its own, so the log's order
    is each ID's order, and only a lone thread clears the cache."""
    directory, log, rng = str(tmp_path / "cache"), str(tmp_path / "log"), random.Random(8)
    stored = set()
    for cycle in range(CYCLES):
        writer = Member(directory, BUDGET, [churn(log, IDS[t::threads], IDS[t::threads], random.Random(rng.random()),
                                                  roomy=True, clears=threads == 1) for t in range(threads)],
                        durable=durable)
        if rng.random() < 0.9:  # else killed while it opens
            writer.opened()
        time.sleep(rng.uniform(0.005, 0.05))
        writer.kill()
        promised(log, stored)
        # Before any reopen can tidy up: at most the writes in flight left a
        # temp file each, and every committed file holds the bytes put under its ID.
        on_disk = blob_files.check_disk(directory, temp_files=threads)
        assert all(data == payload(blob_id) for blob_id, data in on_disk.items()), f"cycle {cycle}"
        cache = NativeBlobCache(directory, BUDGET, 0)
        assert blob_files.files(directory, "tmp") == [], f"cycle {cycle}"
        got = {blob_id: cache.get(blob_id) for blob_id in IDS}
        cache.close()
        readable = {b for b in IDS if got[b] is not None}
        assert all(got[b] == payload(b) for b in readable), f"cycle {cycle}"
        assert stored <= readable, f"cycle {cycle}: lost {sorted(stored - readable)}"
        assert readable == set(on_disk), f"cycle {cycle}: reopen kept {sorted(readable ^ set(on_disk))} apart"


def tear(path, how, rng):
    """What a power loss can leave of a file whose data had not reached the disk."""
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        if how == "zeroed tail":
            f.seek(start := rng.randrange(blob_files.HEADER.size, size))
            f.write(bytes(size - start))
        else:
            f.truncate(0 if how == "empty" else rng.randrange(1, size))


@pytest.mark.parametrize("how", ["empty", "cut", "zeroed tail"])
def test_power_loss_without_fsync_returns_no_wrong_byte(tmp_path, how):
    directory, rng = str(tmp_path / "cache"), random.Random(how)
    for cycle in range(10):
        cache = NativeBlobCache(directory, BUDGET, 0, durable=False)
        written = rng.sample(IDS, 30)
        for blob_id in written:
            cache.put(blob_id, payload(blob_id))
        cache.close()
        torn = set(rng.sample(written, 10))
        for blob_id in torn:
            tear(blob_files.path_for(directory, blob_id), how, rng)

        cache = NativeBlobCache(directory, BUDGET, 0, durable=False)
        on_disk = blob_files.check_disk(directory)  # after the open: every file left verifies
        got = {blob_id: cache.get(blob_id) for blob_id in IDS}
        cache.close()
        assert all(data is None or data == payload(blob_id) for blob_id, data in got.items()), f"cycle {cycle}"
        assert torn.isdisjoint(on_disk), f"cycle {cycle}: torn files kept"
        assert set(written) - torn <= set(on_disk), f"cycle {cycle}: intact files dropped"
        assert {b for b in IDS if got[b] is not None} == set(on_disk), f"cycle {cycle}"
