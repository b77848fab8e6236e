"""The blob file format, rebuilt independently of the extension, so tests can
plant and damage files and check what the cache leaves on disk; a snapshot of a tree,
to show that something left it alone; and the probe for the lock an open
cache holds on its directory."""

import fcntl
import hashlib
import os
import stat
import struct

HEADER = struct.Struct("<4sB3sIQI")
MAGIC = b"QLBC"
MAX_ID = 1 << 20

_TABLE = []
for _c in range(256):
    for _ in range(8):
        _c = (_c >> 1) ^ (0x82F63B78 if _c & 1 else 0)
    _TABLE.append(_c)


def crc32c(data, crc=0):
    crc ^= 0xFFFFFFFF
    for b in data:
        crc = _TABLE[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


def payload(blob_id, times=40):
    """The bytes tests store under blob_id: distinct per ID, so a mix-up shows."""
    return blob_id.encode() * times


def encode(blob_id, data):
    """A well-formed blob file."""
    raw_id = blob_id.encode()
    return HEADER.pack(MAGIC, 1, bytes(3), len(raw_id), len(data), crc32c(raw_id + data)) + raw_id + data


def path_for(root, blob_id):
    digest = hashlib.sha256(blob_id.encode()).hexdigest()
    return os.path.join(root, "blobs", digest[:2], digest[2:4], digest + ".blob")


def verify(root, path, *, checksum=True):
    """(blob ID, payload) of a committed file; AssertionError unless it is a
    complete, well-formed file sitting where its ID maps."""
    with open(path, "rb") as f:
        data = f.read()
    assert len(data) >= HEADER.size, f"truncated {path}"
    magic, version, reserved, id_len, payload_len, stored_checksum = HEADER.unpack_from(data)
    assert (magic, version, reserved) == (MAGIC, 1, bytes(3)), f"bad header {path}"
    assert len(data) == HEADER.size + id_len + payload_len, f"length mismatch {path}"
    assert not checksum or crc32c(data[HEADER.size :]) == stored_checksum, f"checksum mismatch {path}"
    blob_id = data[HEADER.size : HEADER.size + id_len].decode()
    assert path_for(root, blob_id) == path, f"misplaced {path}"
    return blob_id, data[HEADER.size + id_len :]


def damage(path, how):
    """Flips the file's last byte, drops it, or adds a zero byte after it."""
    with open(path, "r+b") as f:
        f.seek(-1, os.SEEK_END)
        last = f.read(1)[0]
        f.seek(-1, os.SEEK_END)
        f.write({"flip last": bytes([last ^ 0x01]), "truncate": b"", "extend": bytes([last, 0])}[how])
        f.truncate()


def files(root, sub):
    """Every non-directory entry under root/sub, as paths."""
    return sorted(os.path.join(d, name) for d, _, names in os.walk(os.path.join(root, sub)) for name in names)


def check_disk(root, *, checksum=True, temp_files=0):
    """{blob ID: payload} of every committed file, after checking that at most
    temp_files temporary files exist and every committed file verifies."""
    assert len(files(root, "tmp")) <= temp_files, f"temporary files left: {files(root, 'tmp')}"
    return dict(verify(root, path, checksum=checksum) for path in files(root, "blobs"))


def lock_is_free(directory):
    """The probe other tools use: flock on a descriptor of the directory itself."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False
    finally:
        os.close(fd)


def snapshot(top):
    """Every entry under top, top included, with its mode, modification time and content, links unfollowed."""
    paths = [top, *(os.path.join(d, name) for d, dirs, names in os.walk(top) for name in dirs + names)]
    return {os.path.relpath(path, top): (st.st_mode, st.st_mtime_ns, open(path, "rb").read() if stat.S_ISREG(st.st_mode) else None)
            for path, st in ((path, os.lstat(path)) for path in paths)}
