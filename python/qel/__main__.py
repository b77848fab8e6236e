"""The `qel` command line."""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

from qel import cli, demo

_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}


def byte_count(text: str) -> int:
    """A positive byte count such as 65536, 64M or 1.5GiB (binary units)."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kmg]?)(?:i?b)?\s*", text, re.IGNORECASE)
    if match is None:
        raise argparse.ArgumentTypeError(f"not a byte count: {text!r}")
    count = int(float(match[1]) * _UNITS[match[2].lower()])
    if count <= 0:
        raise argparse.ArgumentTypeError("must be positive")
    return count


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError("must be positive")
    return value


def main(argv: list[str] | None = None) -> int:
    parser = cli.Parser(prog="qel", description="A persistent, size-bounded blob cache on local disk.")
    parser.add_argument("--version", action="version", version=cli.version_text())
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run_demo = commands.add_parser(
        "demo",
        help="run a mixed multi-threaded workload, reopen the cache and report",
        description=demo.__doc__,
    )
    run_demo.add_argument("--dir", type=Path, help="cache directory, kept afterwards (default: a temporary one)")
    run_demo.add_argument("--blobs", type=positive, default=2000, help="distinct blob IDs (default: %(default)s)")
    run_demo.add_argument(
        "--max-bytes", type=byte_count, default="48MiB", help="byte budget, e.g. 48MiB (default: %(default)s)"
    )
    cli.add_commands(commands)
    args = parser.parse_args(argv)
    if args.command != "demo":
        return cli.run(args)
    return demo.run(args.dir, args.blobs, args.max_bytes)


if __name__ == "__main__":
    sys.exit(main())
