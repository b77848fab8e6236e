#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/ (committed; rerun after a change
of an input format)."""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
import blob_files  # noqa: E402


def blob_file_seeds():
    # Control byte: bit 0 places the file at its ID's path, bits 1-2 pick the
    # record read is checked against.
    well_formed = [("a", b"bc"), ("blob-1", bytes(range(100))), ("\u00e9\u2713", b""), ("k", b"x" * 300)]
    for n, (blob_id, payload) in enumerate(well_formed):
        yield f"valid-{n}", bytes([1]) + blob_files.encode(blob_id, payload)
    yield "fixed-path", bytes([0]) + blob_files.encode("fixed", b"hello")
    for control in (3, 5, 7):
        yield f"record-{control}", bytes([control]) + blob_files.encode("a", b"bc")
    yield "bad-magic", bytes([1]) + b"XXXX" + blob_files.encode("a", b"bc")[4:]
    yield "truncated", bytes([1]) + blob_files.encode("a", b"bc")[:10]
    well = blob_files.encode("a", b"bc")
    yield "long-payload-field", bytes([1]) + well[:12] + b"\xff" * 8 + well[20:]


def engine_seeds():
    # Budget byte, then operations of three bytes: op, key, cost.
    yield "inserts", bytes([8]) + bytes([1, 0, 3, 1, 1, 4, 1, 2, 5, 3, 0, 0, 1, 3, 6, 0, 3, 0])
    yield "remove-clear", bytes([4]) + bytes([1, 0, 2, 2, 0, 0, 1, 0, 2, 4, 0, 0, 1, 1, 9, 3, 0, 0])
    yield "over-budget", bytes([2]) + bytes([1, 5, 15, 3, 0, 0, 0, 5, 0, 1, 5, 1, 3, 0, 0])


def wire_seeds():
    # Frame bodies: a type byte, then the fields, little-endian, strings with
    # a u32 length.
    def text(b):
        return struct.pack("<I", len(b)) + b

    yield "hello", bytes([1]) + struct.pack("<Iqq", 1, 1 << 20, 0)
    yield "put", bytes([2]) + text(b"writer-1-00ab") + text(b"blob-1-1.tmp")
    yield "delete", bytes([3]) + text(b"some/blob id")
    yield "delete_all", bytes([4])
    yield "contains", bytes([5]) + text(b"x")
    yield "stats", bytes([6])
    yield "reads", bytes([7]) + struct.pack("<I", 2) + text(b"a") + text(b"bb")
    yield "reply_value", bytes([0, 1])
    yield "reply_error", bytes([1, 7]) + text(b"write blob cache payload") + struct.pack("<IB", 28, 7) + text(b"")
    yield "reply_stats", bytes([0]) + struct.pack("<qqqQ", 3, 300, 1 << 20, 1)


for target, seeds in (
    ("fuzz_blob_file", blob_file_seeds()),
    ("fuzz_engine", engine_seeds()),
    ("fuzz_wire", wire_seeds()),
):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds:
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
