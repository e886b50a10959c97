"""Command line: python -m brimvox convert SRC DST --to FORMAT [--jobs N] [--dask ADDRESS]."""

from __future__ import annotations

import argparse
import sys

from . import __version__
from .convert import TARGETS, run

EPILOG = """\
examples:
  python -m brimvox convert archive/ flac/ --to flac
  python -m brimvox convert recordings/ bvx/ --to bvx --jobs 4
  python -m brimvox convert s3://bucket/archive s3://bucket/opus --to opus --dask tcp://scheduler:8786

Relative paths are kept; outputs that already exist are skipped; each output is written whole
or not at all; files that cannot be converted are reported and the run goes on.
Exit status: 0 all converted or skipped, 1 some files failed, 2 usage error.
"""


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m brimvox", description="brimvox speech codec tools")
    parser.add_argument("--version", action="version", version=f"brimvox {__version__}")
    commands = parser.add_subparsers(dest="command", required=True)
    convert = commands.add_parser(
        "convert",
        help="convert a tree of .bvx files to sound files, or sound files to .bvx",
        description="Converts the .bvx files under SRC into sound files under DST (or, with "
        "--to bvx, the sound files under SRC into .bvx files). SRC and DST are directories or "
        "fsspec URLs (s3://, gs://, ...).",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    convert.add_argument("src", metavar="SRC")
    convert.add_argument("dst", metavar="DST")
    convert.add_argument("--to", required=True, choices=TARGETS, help="output format")
    convert.add_argument("--jobs", type=int, default=0, metavar="N",
                         help="files converted at once locally (default: one per processor)")
    convert.add_argument("--dask", metavar="ADDRESS",
                         help="run on the Dask cluster whose scheduler listens at ADDRESS "
                         "(e.g. tcp://scheduler:8786); 'local' starts a cluster on this machine")
    convert.add_argument("--batches-per-worker", type=int, default=4, metavar="K",
                         help="with --dask, cut the file list into about K batches per worker thread")
    convert.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)
    if args.jobs < 0:
        parser.error("--jobs must be 0 or more")
    if args.batches_per_worker < 1:
        parser.error("--batches-per-worker must be 1 or more")

    client = cluster = None
    try:
        if args.dask:
            try:
                from distributed import Client, LocalCluster
            except ImportError:
                print("brimvox convert: --dask needs the 'distributed' package", file=sys.stderr)
                return 2
            if args.dask == "local":
                cluster = LocalCluster(n_workers=args.jobs or None, threads_per_worker=1)
                client = Client(cluster)
            else:
                client = Client(args.dask)
        summary = run(args.src, args.dst, args.to, jobs=args.jobs, client=client,
                      batches_per_worker=args.batches_per_worker,
                      progress=False if args.no_progress else None)
    except (OSError, ValueError) as e:
        print(f"brimvox convert: {e}", file=sys.stderr)
        return 1
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
    print(f"brimvox convert: {summary.text()}")
    return 1 if summary.failed else 0


if __name__ == "__main__":
    sys.exit(main())
