"""Runs test_faults' cache operations in a process of its own, normally with the fault shim preloaded.
argv[1] is JSON: {"dir": ..., "steps": [[op, ...]]}. Prints one JSON result per step as it goes:
{"ok": value} or {"error": [exception type, message]}."""

import ctypes
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
    elif op == "tmp":  # the files being written; writers' own directories aside
        return sorted(name for _, _, names in os.walk(os.path.join(directory, "tmp")) for name in names)
    else:
        raise ValueError(op)


for step in args["steps"]:
    try:
        result = {"ok": run(*step)}
    except Exception as e:
        result = {"error": [type(e).__name__, str(e)]}
    print(json.dumps(result), flush=True)
