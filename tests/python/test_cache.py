"""Behaviour seen through the binding: round trips, errors, lifecycle."""

import os
import pathlib

import pytest

from qel import BlobCache, NativeBlobCache

HEADER = 24
MAX_ID = 1048576


def blob_files(directory):
    return sorted(pathlib.Path(directory, "blobs").rglob("*.blob"))


@pytest.mark.parametrize("frequency_counters", [0, 1, 10000])
@pytest.mark.parametrize(
    ("blob_id", "payload"),
    [
        ("k", b""),
        ("model/v3/weights", bytes(range(256)) * 4096),
        ("ключ/🙂", b"\x00payload\x00"),
        ("a\0b", b"not the same blob as 'a'"),
        ("line\nbreak", os.urandom(65537)),
    ],
)
def test_round_trip_survives_reopen(cache_dir, frequency_counters, blob_id, payload):
    cache = NativeBlobCache(cache_dir, 8 << 20, frequency_counters)
    assert cache.put(blob_id, payload) is True
    assert cache.get(blob_id) == payload
    assert cache.put(blob_id, payload) is True  # identical bytes again: accepted
    assert cache.get(blob_id.split("\0")[0] + "?") is None
    cache.close()
    reopened = NativeBlobCache(cache_dir, 8 << 20, frequency_counters)
    try:
        assert reopened.get(blob_id) == payload
    finally:
        reopened.close()


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda c: c.get(""), "invalid blob: blob ID must not be empty"),
        (lambda c: c.put("", b"v"), "invalid blob: blob ID must not be empty"),
        (lambda c: c.delete(""), "invalid blob: blob ID must not be empty"),
        (lambda c: c.get("x" * (MAX_ID + 1)), f"invalid blob: blob ID exceeds {MAX_ID} bytes"),
        # The limit counts UTF-8 bytes, not characters.
        (lambda c: c.put("é" * (MAX_ID // 2) + "x", b""), f"invalid blob: blob ID exceeds {MAX_ID} bytes"),
    ],
)
def test_core_errors_are_runtime_errors_with_display_text(cache, call, message):
    with pytest.raises(RuntimeError) as raised:
        call(cache)
    assert type(raised.value) is RuntimeError
    assert str(raised.value) == message


def test_longest_blob_id_passes_validation(cache):
    assert cache.get("é" * (MAX_ID // 2)) is None


def test_different_payload_under_stored_id_is_refused(cache):
    assert cache.put('say "hi"', b"first")
    with pytest.raises(RuntimeError) as raised:
        cache.put('say "hi"', b"second")
    assert str(raised.value) == r'blob ID content mismatch: "say \"hi\""'
    assert cache.get('say "hi"') == b"first"


def test_budget_bounds_the_file_length(cache_dir):
    cache = NativeBlobCache(cache_dir, 100, 0)
    try:
        assert cache.put("big", bytes(100 - HEADER - 3 + 1)) is False
        assert blob_files(cache_dir) == []
        assert cache.put("fit", bytes(100 - HEADER - 3)) is True
        assert cache.get("fit") == bytes(100 - HEADER - 3)
    finally:
        cache.close()


def test_delete_and_delete_all(cache, cache_dir):
    for blob_id in ("a", "b", "c"):
        assert cache.put(blob_id, blob_id.encode() * 10)
    assert cache.delete("a") is None
    assert cache.get("a") is None and cache.get("b") == b"b" * 10
    assert cache.delete("a") is None
    assert cache.delete("never stored") is None
    assert len(blob_files(cache_dir)) == 2
    assert cache.delete_all() is None
    assert (cache.get("b"), cache.get("c")) == (None, None)
    assert blob_files(cache_dir) == []
    assert cache.put("b", b"fresh") and cache.get("b") == b"fresh"


def test_closed_cache(cache_dir):
    cache = NativeBlobCache(cache_dir, 1 << 20, 0)
    assert cache.put("k", b"v")
    assert cache.close() is None
    assert cache.close() is None
    for call in (lambda: cache.get("k"), lambda: cache.put("k", b"v"), lambda: cache.delete("k"), cache.delete_all):
        with pytest.raises(RuntimeError, match="^blob cache is closed$"):
            call()
    # The ID is checked before the closed state.
    with pytest.raises(RuntimeError, match="blob ID must not be empty"):
        cache.get("")


def test_dropping_an_open_cache_keeps_its_blobs(cache_dir):
    cache = NativeBlobCache(cache_dir, 1 << 20, 0)
    assert cache.put("kept", b"payload")
    del cache
    again = NativeBlobCache(cache_dir, 1 << 20, 0)
    try:
        assert again.get("kept") == b"payload"
    finally:
        again.close()


def test_unusable_directory_is_a_runtime_error(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_bytes(b"")
    with pytest.raises(RuntimeError, match="create blob cache root"):
        NativeBlobCache(str(blocker / "cache"), 1 << 20, 0)


def test_blob_cache_closes_at_the_end_of_a_with_block(tmp_path):
    with pytest.raises(KeyError):
        with BlobCache(tmp_path, 1 << 20) as cache:
            assert cache.put("k", b"v") and cache.get("k") == b"v"
            raise KeyError("boom")
    with pytest.raises(RuntimeError, match="blob cache is closed"):
        cache.get("k")
    with BlobCache(str(tmp_path), 1 << 20, 10) as reopened:
        assert reopened.get("k") == b"v"
        reopened.delete("k")
        reopened.delete_all()
