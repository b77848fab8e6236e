"""The binding: argument handling, round trips, errors and lifecycle."""

import pathlib

import pytest

from qel import BlobCache, NativeBlobCache, PanicException


def config(reason):
    return f"^invalid blob cache configuration: {reason}$"


NOT_NAMED = "^(?!argument ')"  # a failure in no parameter's conversion


@pytest.mark.parametrize(
    "call, error, pattern",
    [  # converted in parameter order, before any rule is checked
        (lambda c: NativeBlobCache(b"", "x", None), TypeError, "^argument 'directory': "),
        (lambda c: NativeBlobCache("d", "x", 1 << 63), TypeError, "^argument 'max_bytes': "),
        (lambda c: NativeBlobCache("", 1, None), TypeError, "^argument 'frequency_counters': "),
        (lambda c: NativeBlobCache("d", 1 << 63, None), OverflowError, NOT_NAMED),
        (lambda c: NativeBlobCache("d", 1, -(1 << 63) - 1), OverflowError, NOT_NAMED),
        (lambda c: NativeBlobCache("\udc80", "x", 0), UnicodeEncodeError, NOT_NAMED),
        # configuration rules go in this order: empty, max_bytes, frequency_counters, NUL
        (lambda c: NativeBlobCache("", 0, -1), ValueError, config("directory must not be empty")),
        (lambda c: NativeBlobCache("d", -(1 << 63), -1), ValueError, config("max_bytes must be positive")),
        (lambda c: NativeBlobCache("a\0b", 0, 0), ValueError, config("max_bytes must be positive")),
        (lambda c: NativeBlobCache("\0", 1, -1), ValueError, config("frequency_counters must not be negative")),
        (lambda c: NativeBlobCache("a\0b", 1, 0), ValueError, config("directory must not contain NUL characters")),
        # beyond what the admission filter can be sized for: the limit, not internals
        (lambda c: NativeBlobCache("d", 1, (1 << 30) + 1), ValueError, config("frequency_counters must be at most 1073741824")),
        (lambda c: NativeBlobCache("d", 1, 1 << 40), ValueError, config("frequency_counters must be at most 1073741824")),
        (lambda c: c.get(b"k"), TypeError, "^argument 'blob_id': "),
        (lambda c: c.put(b"k", bytearray()), TypeError, "^argument 'blob_id': "),
        (lambda c: c.put("k", memoryview(b"v")), TypeError, "^argument 'payload': "),
        (lambda c: c.get(), TypeError, "missing required argument 'blob_id'"),
        (lambda c: c.get("a", "b"), TypeError, "positional"),
        (lambda c: c.get("a", blob_id="a"), TypeError, "multiple values for argument 'blob_id'"),
        (lambda c: c.delete_all(True), TypeError, "takes no arguments"),
        # names are matched before any value is converted
        (lambda c: c.put(b"not text", b"v", extra=1), TypeError, "unexpected keyword argument 'extra'"),
        (lambda c: NativeBlobCache("d", 1, 0, directory="d"), TypeError, "multiple values for argument 'directory'"),
        # durable is keyword-only and a bool
        (lambda c: NativeBlobCache("d", 1, 0, False), TypeError, "takes 3 positional arguments but 4 were given"),
        (lambda c: NativeBlobCache("d", 1, 0, durable=0), TypeError, "^argument 'durable': expected bool, got 'int'"),
        (lambda c: NativeBlobCache("d", 1, durable=True), TypeError, "missing required argument 'frequency_counters'"),
        (lambda c: NativeBlobCache.put(object(), "k", b"v"), TypeError, "NativeBlobCache"),
        # ID checks, surrogates included, are the model test's; failing steps the fault tests'
    ],
)
def test_call_failures(cache, call, error, pattern):
    with pytest.raises(error, match=pattern) as raised:
        call(cache)
    message, cause = str(raised.value), raised.value.__cause__
    assert type(raised.value) is error
    if message.startswith("argument '"):  # the conversion's own TypeError, chained under the parameter's name
        assert message == message.split(": ")[0] + f": {cause}" and type(cause) is TypeError


def regular_file(tmp):
    (tmp / "cache").write_text("a file")
    return tmp / "cache", "Not a directory (os error 20)"


def dangling_link(tmp):
    (tmp / "cache").symlink_to(tmp / "missing")
    return tmp / "cache", f"{tmp / 'cache'} is a dangling symbolic link"


def dangling_link_above(tmp):
    (tmp / "gone").symlink_to(tmp / "missing")
    return tmp / "gone" / "cache", f"{tmp / 'gone'} is a dangling symbolic link"


@pytest.mark.parametrize("make", [regular_file, dangling_link, dangling_link_above])
def test_unusable_directory_says_why(tmp_path, make):
    directory, reason = make(tmp_path)
    with pytest.raises(RuntimeError) as raised:
        NativeBlobCache(str(directory), 1 << 20, 0)
    assert str(raised.value) == "create blob cache root: " + reason


def test_keywords_and_subclasses_are_accepted(cache_dir):
    index = type("Index", (), {"__index__": lambda self: 1 << 20})
    text, blob = type("Text", (str,), {}), type("Blob", (bytes,), {})
    cache = NativeBlobCache(frequency_counters=index(), max_bytes=index(), directory=text(cache_dir))
    assert cache.put(payload=blob(b"payload"), blob_id=text("key")) is True
    assert (stored := cache.get(blob_id="key")) == b"payload" and type(stored) is bytes
    assert cache.delete(blob_id=text("key")) is None and cache.get("key") is None
    cache.close()


def test_panic_exception_escapes_except_exception():
    assert issubclass(PanicException, BaseException) and not issubclass(PanicException, Exception)


# Small payloads and the longest, non-ASCII and odd IDs are the model test's.
@pytest.mark.parametrize(
    "blob_id, payload, frequency_counters",
    [("model/v3/weights", bytes(range(256)) * 4096, 1), ("a\0b", b"not the same blob as 'a'", 0)], ids=range(2))
def test_round_trip_survives_reopen(cache_dir, blob_id, payload, frequency_counters):
    with BlobCache(cache_dir, 8 << 20, frequency_counters=frequency_counters) as cache:
        assert cache.put(blob_id, payload) is True and cache.get(blob_id) == payload
        cut = blob_id.split("\0")[0]  # a NUL does not end the ID
        assert cache.get(cut if cut != blob_id else blob_id[:-1] + "?") is None
    with BlobCache(pathlib.Path(cache_dir), 8 << 20, frequency_counters=frequency_counters) as cache:
        assert cache.get(blob_id) == payload


def test_closed_cache(tmp_path):
    with pytest.raises(KeyError):
        with BlobCache(tmp_path, 1 << 20) as cache:
            assert cache.put("k", b"v")
            raise KeyError("the with block still closes the cache")
    assert cache.close() is None
    with pytest.raises(RuntimeError, match="^blob cache is closed$"):  # each operation's refusal is the model test's
        cache.get("k")
