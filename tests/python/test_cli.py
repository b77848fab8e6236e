"""The qel command line: info, verify, clear, --version and bad use, the demo's refusals included."""

import io
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

import qel
from qel import BlobCache, NativeBlobCache, _native
from qel.__main__ import blob_count, byte_count, main

from blob_files import damage, lock_is_free, path_for, payload, snapshot

IDS = ["alpha", "beta", "gamma"]
TOTAL = sum(24 + len(i) + len(payload(i)) for i in IDS)  # their file lengths, under 1 KiB: shown in bytes


@pytest.fixture
def root(tmp_path):
    # On tmpfs where there is one: ext4 clamps times to years 1901 to 2446, tmpfs keeps any.
    directory = pathlib.Path(tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else tmp_path)) / "cache"
    with BlobCache(directory, 1 << 20) as cache:
        assert all(cache.put(blob_id, payload(blob_id)) for blob_id in IDS)
    for age, blob_id in enumerate(IDS):  # alpha oldest
        os.utime(path_for(str(directory), blob_id), ns=(0, (1_700_000_000 + age * 3600) * 10**9))
    directory.chmod(0o750)  # wider than a cache makes it: a tool that narrows it shows
    yield directory
    shutil.rmtree(directory.parent)


CLOSED = object()  # standard input closed, as by `qel clear DIR <&-`


def cli(capsys, *argv, stdin=None):
    """(status, stdout, stderr) of the command line run in this process."""
    if stdin is not None:
        sys.stdin = None if stdin is CLOSED else io.StringIO(stdin)
    try:
        status = main(list(argv))
    except SystemExit as exit:
        status = exit.code
    finally:
        sys.stdin = sys.__stdin__
    out, err = capsys.readouterr()
    return status, out, err


def test_info_verify_and_clear_alone_and_beside_an_open_cache(capsys, root, monkeypatch):
    """Alone, info and verify report and change nothing, verify under the lock an open cache holds; beside an
    open cache, info says so, verify skips what it removes meanwhile and clear empties the cache through it."""
    (root / "tmp" / "blob-1-1.tmp").write_bytes(b"torn")
    before = snapshot(root)
    status, out, err = cli(capsys, "info", str(root))
    fields = dict(line.split(None, 1) for line in out.splitlines())
    assert (status, err, fields["blobs"], fields["bytes"]) == (0, "", "3", str(TOTAL))
    assert fields["oldest"] == "2023-11-14 22:13:20 UTC" and fields["newest"] == "2023-11-15 00:13:20 UTC"
    assert fields["interrupted"].startswith("1 temporary")
    assert cli(capsys, "verify", str(root)) == (0, f"3 blob files ({TOTAL} B) checked, 0 bad\n", "")
    assert snapshot(root) == before

    flipped = path_for(str(root), "beta")
    damage(flipped, "flip last")
    (root / "blobs" / "stray.txt").write_bytes(b"not named like a blob file")
    planted = [path_for(str(root), blob_id) for blob_id in ("delta", "epsilon", "zeta")]  # what an open removes unread
    for path, plant in zip(planted, [lambda path: os.symlink(path_for(str(root), "alpha"), path), os.mkfifo, os.mkdir]):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        plant(path)
    before, seen, real_inspect = snapshot(root), [], _native.inspect_file
    monkeypatch.setattr(_native, "inspect_file",  # noting whether the lock is held throughout
                        lambda d, path: seen.append((path, lock_is_free(root))) or real_inspect(d, path))
    status, out, err = cli(capsys, "verify", str(root))
    lines = out.splitlines()
    assert (status, err, lines[-1]) == (1, "", f"3 blob files ({TOTAL} B) checked, 4 bad")
    assert sorted(lines[:-1]) == sorted(
        [f"bad: corrupt blob cache entry: checksum mismatch {os.path.relpath(flipped, root)}",
         *(f"bad: not a blob file: {os.path.relpath(path, root)}, removed by the next open" for path in planted)])
    assert sorted(p for p, _ in seen) == sorted(path_for(str(root), i) for i in IDS)
    assert not any(free for _, free in seen)
    assert snapshot(root) == before
    assert lock_is_free(root)
    with BlobCache(root, 1 << 20) as cache:  # as reported
        assert not any(map(os.path.lexists, planted)) and len(cache) == 2
        # Beside an open cache: a blob it removes between the listing and its
        # check is no bad file; one that is damaged still is.
        status, out, _ = cli(capsys, "info", str(root))
        assert status == 0 and "\nopen       by caches whose engine holds 2 blobs," in out
        damage(path_for(str(root), "gamma"), "flip last")
        alpha = path_for(str(root), "alpha")
        monkeypatch.setattr(_native, "inspect_file",
                            lambda d, path: path == alpha and cache.delete("alpha") or real_inspect(d, path))
        status, out, _ = cli(capsys, "verify", str(root))
        assert status == 1 and out.count("bad: ") == 1 and "checksum mismatch" in out
        assert cli(capsys, "clear", "--yes", str(root))[0] == 0  # through the open cache
        # len first: a get drops what it finds lost, so purging the files behind the cache's back would pass
        assert len(cache) == 0 and [cache.get(blob_id) for blob_id in IDS] == [None] * len(IDS)
        assert cache.put("past", b"x") and cache.put("far", b"y") and cache.get("past") == b"x"

    for blob_id, seconds in [("past", -62_135_596_801), ("far", 300_000_000_000)]:  # beyond the calendar
        os.utime(path_for(str(root), blob_id), ns=(0, seconds * 10**9))
    if os.stat(path_for(str(root), "past")).st_mtime_ns != -62_135_596_801 * 10**9:
        pytest.skip(f"{root} does not keep a time before year 1")
    fields = dict(line.split(None, 1) for line in cli(capsys, "info", str(root))[1].splitlines())
    assert (fields["oldest"], fields["newest"]) == ("-62,135,596,801 s from 1970-01-01 00:00:00 UTC",
                                                    "300,000,000,000 s from 1970-01-01 00:00:00 UTC")


NO_ANSWER = "qel clear: error: no answer to confirm with; pass --yes to clear without asking\n"


@pytest.mark.parametrize("argv, stdin, status, err_expected", [
    (["--yes"], None, 0, ""),
    ([], "y\n", 0, ""),
    ([], "n\n", 1, ""),
    ([], "\n", 1, ""),  # Enter alone keeps the blobs
    ([], "", 2, NO_ANSWER),  # nobody to answer
    ([], CLOSED, 2, NO_ANSWER),
])
def test_clear(capsys, root, monkeypatch, argv, stdin, status, err_expected):
    (root / "tmp" / "blob-1-1.tmp").write_bytes(b"torn")
    (root / "keep.txt").write_bytes(b"not the cache's")
    before, held, real_purge = snapshot(root), [], _native.purge
    monkeypatch.setattr(_native, "purge", lambda d: held.append(not lock_is_free(root)) or real_purge(d))
    got, out, err = cli(capsys, "clear", str(root), *argv, stdin=stdin)
    assert (got, err, held) == (status, err_expected, [True] * (status == 0))
    if status == 0:
        assert out.endswith(f"removed 3 blobs from {root}\n")
        assert sorted(snapshot(root)) == [".", "blobs", "keep.txt", "tmp"]
    else:
        assert snapshot(root) == before


@pytest.mark.parametrize(
    "argv, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["verify"], "the following arguments are required: DIR"),
        (["info", "{missing}"], "{missing}: no such directory"),
        (["clear", "--yes", "{plain}"], "{plain}: not a qel cache directory (it has no blobs directory)"),
        (["clear", "--force", "{plain}"], "unrecognized arguments: --force"),
        (["--bogus"], "unrecognized arguments: --bogus"),
        (["info", "{linked}"], "{linked}: not a qel cache directory (it has no blobs directory)"),
        (["compact", "{plain}"], "invalid choice: 'compact'"),
        # the demo refuses before it runs anything
        (["demo", "--max-bytes", "1" + "0" * 400], f"must be from 1 byte to 1 TiB: '{'1' + '0' * 400}'"),  # no float
        (["demo", "--max-bytes", "1.5TiB"], "argument --max-bytes: must be from 1 byte to 1 TiB: '1.5TiB'"),
        (["demo", "--max-bytes", "0.1"], "argument --max-bytes: must be from 1 byte to 1 TiB: '0.1'"),
        (["demo", "--blobs", "99999999999999999999"], "argument --blobs: must be from 1 to 1,000,000: '99999999999999999999'"),
        (["demo", "--blobs", "0"], "argument --blobs: must be from 1 to 1,000,000: '0'"),
        (["demo", "--dir", "{file}"],
         "cannot open a cache over {file}: create blob cache root: Not a directory (os error 20)"),
        (["demo", "--dir", "{held}"], "cannot open a cache over {held}: invalid blob cache configuration: blob cache directory "
         "{held} is open with max_bytes=1048576, frequency_counters=0; this open asked for max_bytes=50331648, "
         "frequency_counters=0"),
    ],
)
def test_bad_use_is_one_line_and_status_2(capsys, tmp_path, argv, message):
    paths = {name: tmp_path / name for name in ("missing", "file", "linked", "held")} | {"plain": tmp_path}
    (tmp_path / "file").write_bytes(b"")
    # blobs/ a link to another cache's: neither counted nor opened through
    NativeBlobCache(str(tmp_path / "other"), 1 << 20, 0).close()
    (tmp_path / "linked").mkdir()
    (tmp_path / "linked" / "blobs").symlink_to(tmp_path / "other" / "blobs")
    held = NativeBlobCache(str(paths["held"]), 1 << 20, 0)  # another cache open meanwhile
    before = snapshot(tmp_path)
    status, out, err = cli(capsys, *[arg.format(**paths) for arg in argv])
    held.close()
    assert (status, out) == (2, "")
    assert err.count("\n") == 1 and err.startswith("qel") and message.format(**paths) in err
    assert snapshot(tmp_path) == before


def test_help_and_the_largest_values(capsys):
    for verb in ["info", "verify", "clear", "demo"]:
        status, out, _ = cli(capsys, verb, "--help")
        assert status == 0 and out.startswith(f"usage: qel {verb}")
    assert byte_count("1TiB") == 1 << 40 and byte_count("1.5k") == 1536 and blob_count("1000000") == 1_000_000


def test_installed_entry_point_version_and_no_traceback(tmp_path):
    run = lambda *argv: subprocess.run([sys.executable, "-m", "qel", *argv], capture_output=True, text=True, timeout=60)
    version = run("--version")
    assert (version.returncode, version.stdout) == (0, f"qel {qel.__version__}\n")
    missing = run("verify", str(tmp_path / "missing"))
    assert missing.returncode == 2 and "Traceback" not in missing.stderr and missing.stderr.count("\n") == 1
