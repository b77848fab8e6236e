"""The blob file format, rebuilt independently of the extension, so tests can
plant files and verify what the cache leaves on disk."""

import hashlib
import os
import struct

HEADER = struct.Struct("<4sB3sIQI")
MAGIC = b"QLBC"


def _crc_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
        table.append(c)
    return table


_TABLE = _crc_table()


def crc32c(data, crc=0):
    crc ^= 0xFFFFFFFF
    for b in data:
        crc = _TABLE[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


def encode(blob_id, payload, *, id_len=None, payload_len=None, checksum=None):
    """A blob file; the keyword arguments forge header fields."""
    raw_id = blob_id.encode()
    header = HEADER.pack(
        MAGIC,
        1,
        b"\0\0\0",
        len(raw_id) if id_len is None else id_len,
        len(payload) if payload_len is None else payload_len,
        crc32c(raw_id + payload) if checksum is None else checksum,
    )
    return header + raw_id + payload


def path_for(root, blob_id):
    digest = hashlib.sha256(blob_id.encode()).hexdigest()
    return os.path.join(root, "blobs", digest[:2], digest[2:4], digest + ".blob")


def verify(root, path, *, checksum=True):
    """The (blob ID, payload) of a committed file; AssertionError if it is not
    a complete, well-formed file sitting where its ID maps."""
    with open(path, "rb") as f:
        data = f.read()
    assert len(data) >= HEADER.size, f"truncated {path}"
    magic, version, reserved, id_len, payload_len, stored_checksum = HEADER.unpack_from(data)
    assert (magic, version, reserved) == (MAGIC, 1, b"\0\0\0"), f"bad header {path}"
    assert len(data) == HEADER.size + id_len + payload_len, f"length mismatch {path}"
    raw_id = data[HEADER.size : HEADER.size + id_len]
    assert not checksum or crc32c(data[HEADER.size :]) == stored_checksum, f"checksum mismatch {path}"
    blob_id = raw_id.decode()
    assert path_for(root, blob_id) == path, f"misplaced {path}"
    return blob_id, data[HEADER.size + id_len :]


def files(root, sub):
    """Every non-directory entry under root/sub, as paths."""
    out = []
    for dirpath, dirnames, filenames in os.walk(os.path.join(root, sub)):
        out.extend(os.path.join(dirpath, name) for name in filenames)
    return sorted(out)
