"""qel.BlobCache and the binding under it: argument handling, round trips, error classes,
lifecycle, membership, length, statistics, read-through and memoize."""

import gc
import logging
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap
import time
import tracemalloc

import pytest

import qel
from qel import (BlobCache, BlobMismatchError, CacheClosedError, CacheStats, DirectoryInUseError, NativeBlobCache,
                 PanicException)
from qel._native import DirectoryLock

PAYLOAD = bytes(range(256)) * 4


def file_len(blob_id):
    return 24 + len(blob_id.encode()) + len(PAYLOAD)


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


def test_a_front_joins_the_binding_and_closes_with_its_block(cache_dir):
    """The binding takes keywords and subclasses of its types; a BlobCache with the same configuration joins
    its cache; an ID with a NUL is one ID, not its prefix; get takes a default; a with block closes the front,
    also when it raises. Each operation's results and refusals are the model test's."""
    index = type("Index", (), {"__index__": lambda self: 8 << 20})
    text, blob = type("Text", (str,), {}), type("Blob", (bytes,), {})
    native = NativeBlobCache(frequency_counters=index(), max_bytes=index(), directory=text(cache_dir))
    payload = bytes(range(256)) * 4096
    assert native.put(payload=blob(payload), blob_id=text("a\0b")) is True
    assert (stored := native.get(blob_id="a\0b")) == payload and type(stored) is bytes and native.get("a") is None
    with pytest.raises(KeyError), BlobCache(pathlib.Path(cache_dir), 8 << 20, frequency_counters=8 << 20) as cache:
        assert cache.put("b", b"")
        assert [cache.get(i, b"default") for i in ("a\0b", "b", "c")] == [payload, b"", b"default"]
        assert native.delete(blob_id=text("a\0b")) is None and ("a\0b" in cache, len(cache)) == (False, 1)
        raise KeyError("the with block still closes the cache")
    with pytest.raises(RuntimeError, match="^blob cache is closed$"):
        "b" in cache
    assert cache.close() is None and native.get("b") == b""  # closing again is no error; the binding stays open
    native.close()
    with pytest.raises(TypeError):
        BlobCache(cache_dir, 1 << 20, 0)  # frequency_counters is keyword-only


# Each call's state comes from the interpreter's allocator, which tracemalloc
# sees: one left behind per call would grow the traced memory by its size.
@pytest.mark.parametrize("call", [
    lambda c: c.get("short"), lambda c: c.get("long"), lambda c: c.get("absent"), lambda c: c.put("short", PAYLOAD),
    lambda c: c.contains("long"), lambda c: c.delete("absent"), lambda c: c.stats(),
    lambda c: pytest.raises(BlobMismatchError, c.put, "short", b"other bytes"), lambda c: pytest.raises(TypeError, c.get, b"x"),
], ids=["get short", "get long", "get miss", "put again", "contains", "delete", "stats", "mismatch", "refused"])
def test_calls_give_back_their_memory(cache, call):
    assert cache.put("short", PAYLOAD) and cache.put("long", PAYLOAD * 64)
    calls = 500
    tracemalloc.start()
    try:
        grown = []
        for _ in range(2):  # what the first calls keep for good, the first round takes
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(calls):
                call(cache)
            gc.collect()
            grown.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
    assert grown[1] < calls * 8


def open_at(path):
    NativeBlobCache(str(path), 1 << 20, 0)


IN_USE = "lock blob cache directory {d}: in use by another open cache"
UNSERVED = ("join blob cache directory {d}: its lock is held by a process that does not serve it "
            "(a tool, or a cache in another network namespace)")


@pytest.mark.parametrize("failure, error, message", [
    (lambda d, c: c.put("k", b"a") and c.put("k", b"b"), BlobMismatchError, 'blob ID content mismatch: "k"'),
    (lambda d, c: c.close() or c.get("k"), CacheClosedError, "blob cache is closed"),
    (lambda d, c: DirectoryLock(f"{d}/missing"), RuntimeError,
     "open blob cache root: No such file or directory (os error 2)"),  # not made, or it would not fail
    # an unusable directory has no class of its own, but says why
    (lambda d, c: open(f"{d}-file", "wb").close() or open_at(f"{d}-file"), RuntimeError,
     "create blob cache root: Not a directory (os error 20)"),
    (lambda d, c: os.symlink(f"{d}-missing", f"{d}-link") or open_at(f"{d}-link"), RuntimeError,
     "create blob cache root: {d}-link is a dangling symbolic link"),
    (lambda d, c: os.symlink(f"{d}-missing", f"{d}-link") or open_at(f"{d}-link/cache"), RuntimeError,
     "create blob cache root: {d}-link is a dangling symbolic link"),
])
def test_failures_callers_tell_apart_have_classes(cache_dir, cache, failure, error, message):
    with pytest.raises(RuntimeError) as raised:
        failure(cache_dir, cache)
    assert (type(raised.value), str(raised.value)) == (error, message.format(d=cache_dir))
    assert getattr(qel, error.__name__, RuntimeError) is error and issubclass(error, RuntimeError)
    # A panic is no error a caller's `except Exception` may swallow.
    assert issubclass(PanicException, BaseException) and not issubclass(PanicException, Exception)


def test_directory_lock_excludes_opens_changes_nothing_and_lets_go(cache_dir, cache):
    """The lock tools take: refused while a cache has the directory open, and refusing opens while held; it
    neither makes nor narrows the directory; release, twice, or the end of a with block lets go."""
    with pytest.raises(DirectoryInUseError, match=f"^{re.escape(IN_USE.format(d=cache_dir))}$"):
        DirectoryLock(cache_dir)
    cache.close()
    os.chmod(cache_dir, 0o750)
    lock = DirectoryLock(cache_dir)
    assert os.stat(cache_dir).st_mode & 0o777 == 0o750  # not narrowed
    with pytest.raises(DirectoryInUseError, match=f"^{re.escape(UNSERVED.format(d=cache_dir))}$"):
        open_at(cache_dir)
    lock.release()
    lock.release()
    open_at(cache_dir)  # free again
    with DirectoryLock(cache_dir) as held:
        assert isinstance(held, DirectoryLock)
    open_at(cache_dir)


def test_in_is_not_an_access_for_admission(tmp_path):
    """Room for one blob: a blob read often displaces the resident one, while
    a blob only looked up as often with `in` does not displace it in turn."""
    lookups = 640  # ten batches of reads for the admission filter
    with BlobCache(tmp_path, file_len("resident") + 100) as cache:
        assert cache.put("resident", PAYLOAD)
        assert not any("looked-up" in cache for _ in range(lookups))
        assert all(cache.get("read-often") is None for _ in range(lookups))
        # The filter learns of reads on another thread, batch by batch.
        deadline = time.monotonic() + 60
        while not cache.put("read-often", PAYLOAD):
            assert time.monotonic() < deadline, "reads never won admission"
        assert "resident" not in cache and cache.put("looked-up", PAYLOAD) is False
        assert ("read-often" in cache, "looked-up" in cache) == (True, False)


def test_stats_follow_a_scripted_workload(tmp_path):
    one = file_len("a")
    room = 2 * one + one // 2
    # Room for two blobs of one size. Fewer reads than one batch of the
    # admission filter, so every blob is equally unknown to it and each
    # newcomer is admitted over a resident.
    with BlobCache(tmp_path, room) as cache:
        assert cache.stats() == CacheStats(0, 0, room, 0, 0, 0, 0, 0)
        assert cache.put("a", PAYLOAD) and cache.put("b", PAYLOAD)
        assert [cache.get(i) is not None for i in "aabx"] == [True, True, True, False]
        assert cache.put("a", PAYLOAD) is True  # the same bytes again: held, nothing written
        assert cache.put("big", PAYLOAD * 3) is False  # longer than the whole budget
        assert cache.put("c", PAYLOAD)  # evicts a or b
        assert (stats := cache.stats()) == CacheStats(2, 2 * one, room, 3, 1, 4, 1, 1)
        assert stats.hit_ratio == 0.75
        cache.delete("c")  # a deletion is no eviction
        assert cache.stats() == CacheStats(1, one, room, 3, 1, 4, 1, 1)
        assert cache.put("c", PAYLOAD) and len(cache) == 2
    # Counters start again at open; what the directory holds carries over.
    # Reopening with room for one evicts a blob, before the counting starts.
    with BlobCache(tmp_path, one) as cache:
        assert (stats := cache.stats()) == CacheStats(1, one, one, 0, 0, 0, 0, 0) and stats.hit_ratio == 0.0


def test_get_or_put_returns_a_payload_once_make_ran(tmp_path, caplog):
    """Once make ran, its payload or the one another writer stored meanwhile is returned, whatever the cache
    made of it; only a payload the cache could not store is worth a warning."""
    calls = []
    with BlobCache(tmp_path, 4096) as cache, caplog.at_level(logging.WARNING, logger="qel"):
        assert cache.get_or_put("made", lambda: calls.append(1) or b"made") == b"made"
        assert cache.get_or_put("made", lambda: calls.append(2) or b"other") == b"made" and calls == [1]  # a hit
        assert cache.get_or_put("big", lambda: bytes(8192)) == bytes(8192) and cache.get("big") is None  # refused
        # stored by another writer between this call's miss and its put
        assert cache.get_or_put("k", lambda: cache.put("k", b"theirs") and b"mine") == b"theirs" == cache.get("k")
        assert caplog.records == []
        shutil.rmtree(tmp_path / "tmp")
        (tmp_path / "tmp").write_bytes(b"")  # where temporary files are made: nothing can be stored
        assert cache.get_or_put("lost", lambda: b"mine") == b"mine" and cache.get("lost") is None
        assert [r.getMessage().startswith("get_or_put: 'lost' not stored: ") for r in caplog.records] == [True]
        with pytest.raises(CacheClosedError, match="^blob cache is closed$"):
            cache.get_or_put("closed meanwhile", lambda: cache.close() or b"made")


class Renderer:
    def render(self, item):
        return item.encode()

    __call__ = render


def made_by(tag):
    def make(item):
        return tag + item.encode()

    return make


def tagged(tag, item):
    return tag + item.encode()


@pytest.mark.parametrize("function, args, made", [
    (lambda item: item.encode(), ("x",), b"x"), (made_by(b"a"), ("x",), b"ax"), (Renderer().render, ("x",), b"x"),
    (Renderer(), ("x",), b"x"), ("abc".encode, ("ascii",), b"abc"),
], ids=["lambda", "closure", "bound method", "callable object", "builtin bound method"])
def test_memoize_refuses_what_it_cannot_name_and_takes_a_name(tmp_path, function, args, made):
    with BlobCache(tmp_path, 1 << 20) as cache:
        with pytest.raises(TypeError, match=r"^memoize: cannot name .* pass an explicit name: memoize\(name=\.\.\.\)$"):
            cache.memoize(function)
        named = cache.memoize(name="chosen")(function)
        assert (named(*args), len(cache), named(*args)) == (made, 1, made)
        # Closures of one factory share a qualified name; their names tell them apart.
        a = cache.memoize(made_by(b"a"), name="made-by-a")
        assert (a("x"), cache.memoize(name="made-by-b")(made_by(b"b"))("x"), a("x")) == (b"ax", b"bx", b"ax")
        assert cache.memoize(tagged)(b"t", "x") == b"tx"  # a module-level function needs no name
        for bad in ["", 3]:
            with pytest.raises(TypeError, match="^memoize: name must be a non-empty str"):
                cache.memoize(tagged, name=bad)


def test_memoize_hits_on_equal_arguments_only(tmp_path):
    calls = []
    with BlobCache(tmp_path, 1 << 20) as cache:

        @cache.memoize(name="render")
        def render(item, size=1, *rest, scale=1.0, **options):
            calls.append((item, size, rest, scale, options))
            return repr(calls[-1]).encode()

        first = render("x", 2)
        assert render("x", 2) == render(item="x", size=2) == render("x", 2, scale=1.0) == first and len(calls) == 1
        distinct = [
            ("x", 3), ("y", 2), (b"x", 2), ("x", 2, 1), ("x", 2, (1,)), ("x", 2, frozenset({1, 2})),
            ("x", True), ("x", 1.0), ("x", None), ("x", -0.0), ("x", 0.0),
        ]
        for args in distinct:
            render(*args)
        render("x", 2, frozenset({2, 1}))  # sets are equal whatever their order
        render("x", 2, opt=1, other=2)
        render("x", 2, other=2, opt=1)
        render("x", 2, scale=2.0)
        assert len(calls) == len(distinct) + 3 and render.__name__ == "render"

        for bad, message in [([1], "unhashable"), ({"a": 1}, "unhashable"), ((1, [2]), "unhashable"),
                             (object(), "stable across processes")]:
            with pytest.raises(TypeError, match=f"^memoize: argument 'item' .*{message}"):
                render(bad)
            # A keyword gathered by **options is named as the caller wrote it.
            with pytest.raises(TypeError, match=f"^memoize: argument 'opt' .*{message}"):
                render("x", opt=bad)
        assert len(calls) == len(distinct) + 3


def test_memoize_ids_are_the_same_in_another_process(tmp_path):
    script = textwrap.dedent(f"""
        from qel import BlobCache
        with BlobCache({str(tmp_path / 'cache')!r}, 1 << 20) as cache:
            @cache.memoize
            def work(name, parts):
                print("computed")
                return name.encode()
            assert work("text", ("a", 1, frozenset("xyz"))) == b"text"
    """)
    # str hashes differ between these processes
    runs = [subprocess.run([sys.executable, "-c", script], env=dict(os.environ, PYTHONHASHSEED=seed),
                           capture_output=True, text=True, timeout=120) for seed in ("1", "2")]
    assert [(run.returncode, run.stdout, run.stderr) for run in runs] == [(0, "computed\n", ""), (0, "", "")]
