"""Runs test_faults' cache operations in a process of its own, normally with the fault shim preloaded.
argv[1] is JSON: {"dir": ..., "steps": [[op, ...]]}. Prints one JSON result per step as it goes:
{"ok": value} or {"error": [exception type, message]}."""

import ctypes
import glob
import json
import os
import sys

from qel._native import NativeBlobCache

from blob_files import payload

args = json.loads(sys.argv[1])
directory = args["dir"]
shim = ctypes.CDLL(None)
cache = None


def run(op, *operands):
    global cache
    if op == "open":
        cache = NativeBlobCache(directory, operands[0], 0)
    elif op == "put":
        return cache.put(operands[0], payload(operands[0]))
    elif op == "get":
        got = cache.get(operands[0])
        return None if got is None else ("hit" if got == payload(operands[0]) else "wrong bytes")
    elif op in ("delete", "delete_all", "close"):
        return getattr(cache, op)(*operands)
    elif op == "arm":
        assert shim.qel_fault_configure(operands[0].encode()) == 0, operands[0]
    elif op == "put_past_links":  # a put with this writer's next temp names taken by links that lead nowhere
        (writer,) = glob.glob(os.path.join(directory, "tmp", "writer-*"))
        links = [os.path.join(writer, f"blob-{os.getpid()}-{n}.tmp") for n in range(1, operands[1] + 1)]
        for link in links:
            os.symlink(os.path.join(directory, "tmp", "made-through-a-link"), link)
        try:
            return run("put", operands[0])
        finally:
            for link in links:
                os.unlink(link)
    elif op == "tmp":  # the files being written; writers' own directories aside
        return sorted(name for _, _, names in os.walk(os.path.join(directory, "tmp")) for name in names)


for step in args["steps"]:
    try:
        result = {"ok": run(*step)}
    except Exception as e:
        result = {"error": [type(e).__name__, str(e)]}
    print(json.dumps(result), flush=True)
