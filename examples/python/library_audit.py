#!/usr/bin/env python3
"""Checks every MP3 file of a music library with l3.check, spread over a Dask cluster.

    PYTHONPATH=build/release/python python3 examples/python/library_audit.py [OPTIONS] FOLDER...

Walks each FOLDER as `l3 check -r` does (files ending in .mp3 in any case, symbolic links
passed over, in the same sorted order), checks the files in parallel and prints a summary:
the files per verdict, the faults per kind, and the damaged files. With --jsonl FILE each
file's result is written there as one JSON line as its batch finishes, the object
`l3 check --json` prints for it with the file's "size" and "mtime_ns"; a file that cannot
be read has the verdict "unreadable" and an "error", one that holds no Layer III frame
(which l3.check refuses) the verdict "unsupported" and what was found.

By default a LocalCluster of --workers processes runs on this machine (dask.distributed,
Debian package python3-distributed); without dask.distributed the files are checked on
threads of this process by dask.bag (l3.check releases the GIL). --scheduler ADDRESS uses a
running cluster instead, whose workers must be able to import l3 and read the files under
the same names.
"""

import argparse
import collections
import json
import os
import sys

import dask.bag as db

import l3


def library_files(folder):
    """The .mp3 files below folder in `l3 check -r`'s order: a folder's entries by the bytes
    of their names, depth first; symbolic links passed over."""
    try:
        entries = sorted(os.scandir(folder), key=lambda e: os.fsencode(e.name))
    except OSError as e:
        print(f"library_audit: {folder}: cannot read: {e.strerror}", file=sys.stderr)
        return
    for entry in entries:
        if entry.is_symlink():
            continue
        if entry.is_dir():
            yield from library_files(entry.path)
        elif entry.is_file() and entry.name.lower().endswith(".mp3"):
            yield entry.path


def audit(path):
    """One file's line: l3 check's object with its size and time, or why it has none."""
    try:
        info = os.stat(path)
        stamp = {"size": info.st_size, "mtime_ns": info.st_mtime_ns}
        result = l3.check(path).as_dict()
    except OSError as e:
        return {"file": path, "verdict": "unreadable", "error": e.strerror or str(e)}
    except ValueError as e:
        result = {"file": path, "verdict": "unsupported", "unsupported": str(e), "frames": 0, "faults": [], "notes": [], "salvageable": 0}
    return {"file": path, **stamp, **{k: v for k, v in result.items() if k != "file"}}


def run_distributed(paths, bag, args, write):
    from dask.distributed import Client, LocalCluster, as_completed

    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        # One future per batch, written as each completes: a long run shows its lines early.
        futures = client.compute(bag.to_delayed())
        results = []
        for future in as_completed(futures):
            batch = future.result()
            write(batch)
            results.extend(batch)
        return results
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folders", nargs="+", metavar="FOLDER")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler (tcp://host:8786)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="local worker processes")
    parser.add_argument("--batch", type=int, default=64, help="files per task")
    parser.add_argument("--jsonl", metavar="FILE", help="write one JSON line per file")
    args = parser.parse_args()

    paths = [p for folder in args.folders for p in library_files(folder)]
    if not paths:
        print("library_audit: no .mp3 files found", file=sys.stderr)
        return 0
    bag = db.from_sequence(paths, partition_size=max(1, args.batch)).map(audit)
    out = open(args.jsonl, "w", encoding="utf-8") if args.jsonl else None

    def write(batch):
        if out is None:
            return
        for line in batch:
            out.write(json.dumps(line, ensure_ascii=False) + "\n")
        out.flush()

    try:
        import dask.distributed  # noqa: F401

        distributed = True
    except ImportError:
        distributed = False
    if args.scheduler or distributed:
        results = run_distributed(paths, bag, args, write)
    else:
        results = bag.compute(scheduler="threads", num_workers=args.workers)
        write(results)
    if out is not None:
        out.close()

    verdicts = collections.Counter(r["verdict"] for r in results)
    kinds = collections.Counter(f["kind"] for r in results for f in r.get("faults", []))
    print(f"files: {len(results)}")
    for verdict in ("ok", "damaged", "unsupported", "unreadable"):
        print(f"  {verdict:<12} {verdicts[verdict]}")
    if kinds:
        print("faults:")
        for kind, count in sorted(kinds.items()):
            print(f"  {kind:<20} {count}")
    damaged = sorted(r["file"] for r in results if r["verdict"] == "damaged")
    if damaged:
        print("damaged:")
        for path in damaged:
            print(f"  {path}")
    return 0 if verdicts["ok"] == len(results) else 3


if __name__ == "__main__":
    sys.exit(main())
