"""Random sequences of operations against a model of what the cache may hold.

The cache may drop any entry at any time, but it never returns bytes the model
does not hold under that ID, never keeps more than its budget on disk, and
never leaves a temporary file between operations. QEL_MODEL_EXAMPLES raises
the number of sequences (``make stress``)."""

import os
import re
import shutil
import tempfile

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from qel._native import NativeBlobCache

import blob_files

MAX_ID = 1048576
HEADER_LEN = 24

blob_ids = st.one_of(
    st.sampled_from(["k0", "k1", "k2", "ключ", "😀", 'q"\\\n']),  # reused, so write-once rules bite
    st.text(max_size=6),  # includes the empty ID
    st.sampled_from(["a" * MAX_ID, "é" * (MAX_ID // 2), "a" * (MAX_ID + 1), "é" * (MAX_ID // 2) + "a"]),
    st.text(max_size=3).map(lambda s: s + "\ud800"),  # a lone surrogate
)
payloads = st.one_of(st.binary(max_size=64), st.integers(0, 1500).map(lambda n: bytes([n % 251]) * n))


def refusal(blob_id):
    """The exception and message an ID is refused with before anything else."""
    try:
        raw = blob_id.encode()
    except UnicodeEncodeError:
        return UnicodeEncodeError, None
    if not raw:
        return RuntimeError, "invalid blob: blob ID must not be empty"
    if len(raw) > MAX_ID:
        return RuntimeError, f"invalid blob: blob ID exceeds {MAX_ID} bytes"
    return None


class CacheModel(RuleBasedStateMachine):
    @initialize(max_bytes=st.sampled_from([200, 2000, 3 << 20]), counters=st.sampled_from([0, 50]))
    def open_cache(self, max_bytes, counters):
        self.directory = tempfile.mkdtemp(prefix="qel-model-")
        self.max_bytes = max_bytes
        self.counters = counters
        self.cache = NativeBlobCache(self.directory, max_bytes, counters)
        self.closed = False
        self.model = {}  # blob ID -> the only payload the cache may hold for it

    def teardown(self):
        if hasattr(self, "cache"):
            self.cache.close()
            shutil.rmtree(self.directory)

    def refused(self, blob_id, call):
        """Checks the refusal due to the ID or a closed cache; True if refused."""
        expected = refusal(blob_id) or ((RuntimeError, "blob cache is closed") if self.closed else None)
        if expected is None:
            return False
        kind, message = expected
        with pytest.raises(kind) as raised:
            call()
        assert message is None or str(raised.value) == message
        return True

    def check_get(self, blob_id):
        got = self.cache.get(blob_id)
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
            assert str(e).startswith("blob ID content mismatch: "), e
            if re.fullmatch(r"[\w-]+", blob_id, re.ASCII):
                assert str(e) == f'blob ID content mismatch: "{blob_id}"'
            assert self.model.get(blob_id, payload) != payload, "an identical put is accepted"
            return
        if HEADER_LEN + len(blob_id.encode()) + len(payload) > self.max_bytes:
            assert not stored, "a blob over budget is refused"
        if stored:
            self.model[blob_id] = payload
            assert self.cache.get(blob_id) == payload, "a stored blob reads back"
        else:
            self.model.pop(blob_id, None)

    @precondition(lambda self: self.model and not self.closed)
    @rule(data=st.data())
    def put_again(self, data):
        blob_id = data.draw(st.sampled_from(sorted(self.model)))
        if self.cache.put(blob_id, self.model[blob_id]):
            assert self.cache.get(blob_id) == self.model[blob_id]
        else:
            del self.model[blob_id]

    @rule(blob_id=blob_ids)
    def get(self, blob_id):
        if not self.refused(blob_id, lambda: self.cache.get(blob_id)):
            self.check_get(blob_id)

    @precondition(lambda self: self.model and not self.closed)
    @rule(data=st.data())
    def get_known(self, data):
        self.check_get(data.draw(st.sampled_from(sorted(self.model))))

    @rule(blob_id=blob_ids)
    def delete(self, blob_id):
        if self.refused(blob_id, lambda: self.cache.delete(blob_id)):
            return
        assert self.cache.delete(blob_id) is None
        self.model.pop(blob_id, None)
        assert self.cache.get(blob_id) is None

    @rule()
    def delete_all(self):
        if self.closed:
            with pytest.raises(RuntimeError, match="^blob cache is closed$"):
                self.cache.delete_all()
            return
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
        # Dropping an open cache keeps its files, as closing does.
        self.cache = None
        self.cache = NativeBlobCache(self.directory, self.max_bytes, self.counters)
        self.closed = False

    @invariant()
    def disk_matches_model(self):
        if not hasattr(self, "cache"):
            return
        assert blob_files.files(self.directory, "tmp") == [], "temporary file left between operations"
        total = 0
        for path in blob_files.files(self.directory, "blobs"):
            # The checksum is the cache's to check; here the content must be
            # what the model holds.
            blob_id, data = blob_files.verify(self.directory, path, checksum=False)
            assert self.model.get(blob_id) == data, f"file of {blob_id!r} holds other bytes"
            total += os.path.getsize(path)
        assert total <= self.max_bytes, "blob files exceed the budget"


CacheModel.TestCase.settings = settings(
    max_examples=int(os.environ.get("QEL_MODEL_EXAMPLES", "60")),
    stateful_step_count=30,
    deadline=None,
    database=None,
)
test_cache_model = CacheModel.TestCase
