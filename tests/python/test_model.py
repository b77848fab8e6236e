"""Random operations on a BlobCache against a model of what it may hold: it may drop any entry, but never returns
bytes the model does not hold under that ID, never keeps more than its budget on disk, and never leaves a
temp file between operations. Puts racing each other are the C++ concurrency suite's.
QEL_MODEL_EXAMPLES raises the count (``make stress``)."""

import os
import shutil
import tempfile

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from qel import BlobCache

import blob_files
from blob_files import HEADER, MAX_ID

EXAMPLES = int(os.environ.get("QEL_MODEL_EXAMPLES", "60"))
# Durability is the crash test's subject; on tmpfs an fsync costs nothing.
SCRATCH = "/dev/shm" if os.path.isdir("/dev/shm") else None

blob_ids = st.one_of(
    st.sampled_from(["k0", "k1", "k2", "ключ", "😀", 'q"\\\n']),  # reused, so write-once rules bite
    st.text(max_size=6),  # includes the empty ID
    # the longest IDs in UTF-8 bytes and one byte more; built on draw, as
    # hypothesis is slow to sample from megabyte strings
    st.sampled_from([("a", MAX_ID, ""), ("é", MAX_ID // 2, ""), ("a", MAX_ID, "a"), ("é", MAX_ID // 2, "a")])
    .map(lambda parts: parts[0] * parts[1] + parts[2]),
    st.text(max_size=3).map(lambda s: s + "\ud800"),  # a lone surrogate
)
payloads = st.one_of(st.binary(max_size=64), st.integers(0, 1500).map(lambda n: bytes([n % 251]) * n))


def refusal(blob_id):
    """The exception and message pattern an ID is refused with first."""
    try:
        raw = blob_id.encode()
    except UnicodeEncodeError:
        return UnicodeEncodeError, "surrogates not allowed"
    if not raw or len(raw) > MAX_ID:
        return RuntimeError, "^invalid blob: blob ID " + (f"exceeds {MAX_ID} bytes$" if raw else "must not be empty$")
    return None


class CacheModel(RuleBasedStateMachine):
    @initialize(max_bytes=st.sampled_from([200, 2000, 3 << 20]), counters=st.sampled_from([0, 50]))
    def open_cache(self, max_bytes, counters):
        self.directory = tempfile.mkdtemp(prefix="qel-model-", dir=SCRATCH)
        self.max_bytes, self.counters, self.closed = max_bytes, counters, False
        self.cache = BlobCache(self.directory, max_bytes, frequency_counters=counters)
        self.model = {}  # blob ID -> the only payload the cache may hold for it

    def teardown(self):
        if hasattr(self, "cache"):
            self.cache.close()
            shutil.rmtree(self.directory)

    def refused(self, blob_id, call):
        """Checks the refusal due to the ID or a closed cache; True if refused."""
        expected = refusal(blob_id) or ((RuntimeError, "^blob cache is closed$") if self.closed else None)
        if expected is not None:
            with pytest.raises(expected[0], match=expected[1]):
                call()
        return expected is not None

    def check_get(self, blob_id):
        got = self.cache.get(blob_id)
        assert (blob_id in self.cache) is (got is not None), f"get and in disagree on {blob_id!r}"
        if got is None:
            self.model.pop(blob_id, None)
        else:
            assert got == self.model.get(blob_id), f"wrong bytes for {blob_id!r}"

    @rule(blob_id=blob_ids, payload=payloads)
    def put(self, blob_id, payload):
        if self.refused(blob_id, lambda: self.cache.put(blob_id, payload)):
            return
        try:
            stored = self.cache.put(blob_id, payload)
        except RuntimeError as e:
            assert str(e).startswith("blob ID content mismatch: "), e  # the quoting is the format suite's
            assert self.model.get(blob_id, payload) != payload, "an identical put is accepted"
            return
        assert not stored or HEADER.size + len(blob_id.encode()) + len(payload) <= self.max_bytes, "over budget"
        if stored:
            self.model[blob_id] = payload
            assert self.cache.get(blob_id) == payload, "a stored blob reads back"
        elif self.model.get(blob_id) == payload:
            del self.model[blob_id]  # a refused put over budget leaves another payload be

    # What the model holds depends on the engine's timing (when the admission
    # filter hears of reads): the draw is an index made before looking, so
    # the generated steps stay the same on a replay.
    @precondition(lambda self: not self.closed)
    @rule(pick=st.integers(0, 63), put_again=st.booleans())
    def known(self, pick, put_again):
        ids = sorted(self.model)
        if not ids:
            return
        blob_id = ids[pick % len(ids)]
        if put_again:
            self.put(blob_id, self.model[blob_id])
        else:
            self.check_get(blob_id)

    @rule(blob_id=blob_ids)
    def get(self, blob_id):
        if not self.refused(blob_id, lambda: self.cache.get(blob_id)):
            self.check_get(blob_id)

    @rule(blob_id=blob_ids)
    def delete(self, blob_id):
        if not self.refused(blob_id, lambda: self.cache.delete(blob_id)):
            assert self.cache.delete(blob_id) is None and self.cache.get(blob_id) is None
            self.model.pop(blob_id, None)

    @rule()
    def delete_all(self):
        if not self.refused("any", self.cache.delete_all):
            assert self.cache.delete_all() is None
            self.model.clear()

    @rule()
    def close(self):
        assert self.cache.close() is None
        self.closed = True

    @rule(close_first=st.booleans())
    def reopen(self, close_first):
        if close_first:
            self.cache.close()
        self.cache = None  # dropping an open cache keeps its files, as closing does
        self.cache = BlobCache(self.directory, self.max_bytes, frequency_counters=self.counters)
        self.closed = False

    @invariant()
    def disk_matches_model(self):
        # The checksum is the cache's to check; the content must be the model's.
        on_disk = blob_files.check_disk(self.directory, checksum=False)
        assert all(self.model.get(blob_id) == data for blob_id, data in on_disk.items()), "a file holds other bytes"
        total = sum(HEADER.size + len(blob_id.encode()) + len(data) for blob_id, data in on_disk.items())
        assert total <= self.max_bytes, "blob files exceed the budget"
        assert self.closed or len(self.cache) == len(on_disk), "len is not the count of blob files"


CacheModel.TestCase.settings = settings(max_examples=EXAMPLES, stateful_step_count=30, deadline=None, database=None)
test_cache_model = CacheModel.TestCase
