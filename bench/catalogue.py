#!/usr/bin/env python3
"""Times rescans through the catalogue and prints the tables for the README:
the unchanged classic tree against `find -printf` and a plain scan (warm),
the same over the simulated share (a fresh mount each run, every request,
attribute look-ups included, answered after the delay), and a large tree of
hard links: the first scan, the rescan, and the catalogue's size per movie.
Called by catalogue.sh."""
import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from share import on_fresh_mount  # noqa: E402


def timed(command, runs):
    """Median wall time of `command` over `runs` runs."""
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, timeout=1200)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def make_tree(build, tree, count):
    if not os.path.isdir(tree):
        subprocess.run([sys.executable, os.path.join(HERE, "make_tree.py"), tree, str(count),
                        os.path.join(build, "demo")], check=True)


def linked_copies(source, target, copies):
    """`copies` copies of the tree `source` under `target`, as hard links."""
    if os.path.isdir(target):
        return
    for copy in range(copies):
        for folder, _, files in os.walk(source):
            below = os.path.join(target, "copy%03d" % copy, os.path.relpath(folder, source))
            os.makedirs(below, exist_ok=True)
            for name in files:
                os.link(os.path.join(folder, name), os.path.join(below, name))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--delay-us", type=int, default=1000)
    parser.add_argument("--large-copies", type=int, default=50)
    options = parser.parse_args()
    scan = os.path.join(options.build, "cli", "vidarium-scan")
    latencyfs = os.path.join(options.build, "bench", "latencyfs")
    work = os.path.abspath(options.work)
    tree = os.path.join(work, "tree2000")
    make_tree(options.build, tree, 2000)
    catalogue = os.path.join(work, "catalogue2000.sqlite")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(catalogue + suffix):
            os.remove(catalogue + suffix)

    print("| 2000 movie files, warm | median s |")
    print("|---|---|")
    timed([scan, tree], 1)
    rows = [
        ("find DIR -printf '%s %T@\\n'", ["find", tree, "-printf", "%s %T@\\n"]),
        ("vidarium-scan DIR", [scan, tree]),
    ]
    timed([scan, "--catalogue=" + catalogue, tree], 1)
    rows.append(("vidarium-scan --catalogue=FILE DIR, unchanged",
                 [scan, "--catalogue=" + catalogue, tree]))
    for name, command in rows:
        print("| %s | %.3f |" % (name, timed(command, 5)), flush=True)

    mountpoint = os.path.join(work, "share-mount")
    share_catalogue = os.path.join(work, "catalogue-share.sqlite")
    print()
    print("| 2000 movie files on the share (%.1f ms a request, fresh mount) | vidarium-scan DIR, "
          "median s | --catalogue=FILE, unchanged, median s | as fast |"
          % (options.delay_us / 1000))
    print("|---|---|---|---|")
    for attributes in (False, True):
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(share_catalogue + suffix):
                os.remove(share_catalogue + suffix)
        run = lambda command: on_fresh_mount(latencyfs, tree, options.delay_us,  # noqa
                                             command, mountpoint, attributes)
        plain = statistics.median([run([scan, "MOUNT"]) for _ in range(3)])
        run([scan, "--catalogue=" + share_catalogue, "MOUNT"])
        rescan = statistics.median(
            [run([scan, "--catalogue=" + share_catalogue, "MOUNT"]) for _ in range(3)])
        print("| %s | %.3f | %.3f | %.1fx |"
              % ("attribute look-ups wait too" if attributes else "opens, reads, listings wait",
                 plain, rescan, plain / rescan), flush=True)

    large = os.path.join(work, "tree-linked")
    linked_copies(tree, large, options.large_copies)
    large_catalogue = os.path.join(work, "catalogue-linked.sqlite")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(large_catalogue + suffix):
            os.remove(large_catalogue + suffix)
    movies = 2000 * options.large_copies
    print()
    print("| %d movie files (hard links), warm | median s |" % movies)
    print("|---|---|")
    print("| vidarium-scan DIR | %.3f |" % timed([scan, large], 3), flush=True)
    first = timed([scan, "--catalogue=" + large_catalogue, large], 1)
    print("| vidarium-scan --catalogue=FILE DIR, first | %.3f |" % first, flush=True)
    print("| vidarium-scan --catalogue=FILE DIR, unchanged | %.3f |"
          % timed([scan, "--catalogue=" + large_catalogue, large], 3))
    print("| find DIR -printf '%%s %%T@\\n' | %.3f |"
          % timed(["find", large, "-printf", "%s %T@\\n"], 3))
    size = os.path.getsize(large_catalogue)
    print()
    print("Catalogue: %d bytes for %d movies, %d bytes a movie." % (size, movies, size // movies))


if __name__ == "__main__":
    main()
