"""The command line's refusals: one line on stderr, exit status 2, nothing run and no traceback."""

import os
import subprocess
import sys

import pytest

from qel import NativeBlobCache


def regular_file(tmp):
    (tmp / "file").write_text("not a directory")
    return ["--dir", str(tmp / "file")], f"cannot open a cache over {tmp / 'file'}: create blob cache root: Not a directory (os error 20)"


def in_use(tmp):
    held = NativeBlobCache(str(tmp / "cache"), 1 << 20, 0)
    return ["--dir", str(tmp / "cache")], (f"cannot open a cache over {tmp / 'cache'}: "
                                           f"lock blob cache directory {tmp / 'cache'}: in use by another open cache"), held


def arguments(*args):
    return lambda tmp: (list(args[:-1]), args[-1])


@pytest.mark.parametrize(
    "case",
    [
        arguments("--max-bytes", "9999999999999999999999G", "argument --max-bytes: must be from 1 byte to 1 TiB: '9999999999999999999999G'"),
        arguments("--max-bytes", "1" + "0" * 400, f"argument --max-bytes: must be from 1 byte to 1 TiB: '{'1' + '0' * 400}'"),
        arguments("--max-bytes", "1.5TiB", "argument --max-bytes: must be from 1 byte to 1 TiB: '1.5TiB'"),
        arguments("--max-bytes", "0.1", "argument --max-bytes: must be from 1 byte to 1 TiB: '0.1'"),
        arguments("--blobs", "99999999999999999999", "argument --blobs: must be from 1 to 1,000,000: '99999999999999999999'"),
        arguments("--blobs", "0", "argument --blobs: must be from 1 to 1,000,000: '0'"),
        regular_file,
        in_use,
    ],
    ids=["huge budget", "400-digit budget", "budget over 1 TiB", "budget under a byte", "huge blob count", "no blobs",
         "directory is a file", "directory in use"],
)
def test_refusal(tmp_path, case):
    args, message, *held = case(tmp_path)  # held: a cache kept open meanwhile
    ran = subprocess.run([sys.executable, "-m", "qel", "demo", *args], capture_output=True, text=True, timeout=120,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert (ran.returncode, ran.stdout, ran.stderr) == (2, "", f"qel demo: error: {message}\n")


def test_largest_allowed_values_are_accepted():
    from qel.__main__ import blob_count, byte_count

    assert byte_count("1TiB") == 1 << 40 and byte_count("1.5k") == 1536 and blob_count("1000000") == 1_000_000
