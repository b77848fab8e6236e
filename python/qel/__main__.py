"""The `qel` command line."""

from __future__ import annotations

import argparse
import re
import sys
from fractions import Fraction
from pathlib import Path

from qel import cli, demo

_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}
MAX_BYTES = 1 << 40  # far beyond anything the demo's blobs can fill
MAX_BLOBS = 1_000_000  # ten reads each, and every payload made on the way


def byte_count(text: str) -> int:
    """A byte count from 1 to 1 TiB, such as 65536, 64M or 1.5GiB (binary units)."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kmgt]?)(?:i?b)?\s*", text, re.IGNORECASE)
    if match is None:
        raise argparse.ArgumentTypeError(f"not a byte count: {text!r}")
    # Exact, so that a long number neither overflows a float nor rounds.
    count = int(Fraction(match[1]) * _UNITS[match[2].lower()])
    if not 1 <= count <= MAX_BYTES:
        raise argparse.ArgumentTypeError(f"must be from 1 byte to 1 TiB: {text!r}")
    return count


def blob_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= value <= MAX_BLOBS:
        raise argparse.ArgumentTypeError(f"must be from 1 to {MAX_BLOBS:,}: {text!r}")
    return value


def main(argv: list[str] | None = None) -> int:
    parser = cli.Parser(prog="qel", description="A persistent, size-bounded blob cache on local disk.")
    parser.add_argument("--version", action="version", version=cli.version_text())
    # Not required here: argparse would then report a missing command before
    # an unknown flag, and `qel --bogus` would not name the flag.
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=cli.Parser)
    run_demo = commands.add_parser(
        "demo",
        help="run a mixed multi-threaded workload, reopen the cache and report",
        description=demo.__doc__,
    )
    run_demo.add_argument("--dir", type=Path, help="cache directory, kept afterwards (default: a temporary one)")
    run_demo.add_argument("--blobs", type=blob_count, default=2000, help="distinct blob IDs (default: %(default)s)")
    run_demo.add_argument(
        "--max-bytes", type=byte_count, default="48MiB", help="byte budget, e.g. 48MiB (default: %(default)s)"
    )
    run_demo.add_argument(
        "--no-sync", action="store_true", help="puts skip fsync (durable=False): a crash may lose recent blobs"
    )
    cli.add_commands(commands)
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("the following arguments are required: COMMAND")
    if args.command != "demo":
        return cli.run(args)
    try:
        return demo.run(args.dir, args.blobs, args.max_bytes, durable=not args.no_sync)
    except demo.UnusableDirectory as failure:
        run_demo.error(str(failure))


if __name__ == "__main__":
    sys.exit(main())
