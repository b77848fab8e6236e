"""How every benchmark reports: figures, the table of rows for the terminal
and for Markdown, the machine it ran on, the targets met and missed, and the
results files (`stem`.json with everything measured, `stem`.md with the
table and the targets)."""

from __future__ import annotations

import json
import os
import platform
from pathlib import Path
from typing import Sequence

from harness import KiB, MiB, Row, quartiles


def fmt_size(size: int | None) -> str:
    if size is None:
        return "-"
    return f"{size // MiB} MiB" if size >= MiB else f"{size // KiB} KiB"


def fmt_value(value: float, unit: str) -> str:
    if unit == "ops/s":
        return f"{value:,.0f} ops/s"
    if unit == "s":
        return f"{value * 1000:,.1f} ms"
    return f"{value * 100:.1f} %"


def fmt_spread(values: Sequence[float], unit: str) -> str:
    """The quartiles of a row's rounds, in the row's unit without its name."""
    if len(values) < 3:
        return "-"
    q1, q3 = quartiles(values)
    if unit == "ops/s":
        return f"{q1:,.0f}-{q3:,.0f}"
    if unit == "s":
        return f"{q1 * 1000:,.1f}-{q3 * 1000:,.1f}"
    return f"{q1 * 100:.1f}-{q3 * 100:.1f}"


def table(rows: Sequence[Row]) -> list[list[str]]:
    """One line per row; "spread" and the bracket after "vs limit" are the
    quartiles over the rounds."""
    out = [["workload", "size", "threads", "system", "fsync", "result", "spread", "vs limit", "note"]]
    for r in rows:
        fsync = "-" if r.fsync is None else ("yes" if r.fsync else "no")
        ratio = "-"
        if r.ratio_runs:
            ratio = f"{r.ratio_to_limit:.2f}"
            q1, q3 = quartiles(r.ratio_runs)
            if q1 != q3:
                ratio += f" ({q1:.2f}-{q3:.2f})"
        size = f"{r.blobs:,} blobs" if r.blobs else fmt_size(r.payload_bytes)
        out.append([r.workload, size, str(r.threads or "-"), r.system, fsync, fmt_value(r.value, r.unit),
                    fmt_spread(r.runs, r.unit), ratio, r.note])
    return out


def terminal_table(cells: list[list[str]]) -> str:
    widths = [max(len(row[i]) for row in cells) for i in range(len(cells[0]))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() for row in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def markdown_table(cells: list[list[str]]) -> str:
    lines = ["| " + " | ".join(cells[0]) + " |", "|" + "---|" * len(cells[0])]
    lines += ["| " + " | ".join(row) + " |" for row in cells[1:]]
    return "\n".join(lines)


def judged(target: str, measured: float, wanted: float, at_most: bool = False) -> dict:
    """A target's verdict as the results files record it."""
    return {"target": target, "measured": round(measured, 3), "wanted": ("<= " if at_most else ">= ") + str(wanted),
            "met": measured <= wanted if at_most else measured >= wanted}


def print_checks(checks: list[dict]) -> None:
    for c in checks:
        print(f"{'met ' if c['met'] else 'MISS'}  {c['target']}: {c['measured']} (want {c['wanted']})")


def machine(workdir: Path) -> dict:
    """The CPU, kernel, Python and diskcache, and the filesystem `workdir` is on."""
    import diskcache

    cpu = "unknown"
    try:
        cpu = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return {"nproc": os.cpu_count(), "cpu": cpu, "kernel": platform.release(), "python": platform.python_version(),
            "diskcache": diskcache.__version__, "filesystem": filesystem(workdir)}


def filesystem(path: Path) -> str:
    """Type and device of the mount holding `path`."""
    best, kind = "", "unknown"
    try:
        for line in open("/proc/mounts"):
            device, mount, fstype, options = line.split()[:4]
            if str(path).startswith(mount) and len(mount) > len(best):
                best, kind = mount, f"{fstype} on {device} ({options.split(',')[0]})"
    except OSError:
        pass
    return kind


def write_results(stem: Path, result: dict, cells: list[list[str]], checks: list[dict]) -> None:
    """`stem`.json holds everything measured; `stem`.md the table and the targets."""
    stem.parent.mkdir(parents=True, exist_ok=True)
    stem.with_suffix(".json").write_text(json.dumps(result, indent=1) + "\n")
    md = [markdown_table(cells), "", *(f"- {'met' if c['met'] else '**missed**'}: {c['target']}: "
                                       f"{c['measured']} (want {c['wanted']})" for c in checks)]
    stem.with_suffix(".md").write_text("\n".join(md) + "\n")
