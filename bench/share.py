#!/usr/bin/env python3
"""Times vidarium-scan, the bare-I/O bounds and MediaInfo over a simulated
network share, each run on a fresh mount (so that no page is cached before
it), and prints the table for the README. Called by share.sh."""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def mounted(mountpoint):
    with open("/proc/mounts") as mounts:
        return any(line.split()[1] == mountpoint for line in mounts)


def on_fresh_mount(latencyfs, tree, delay, command, mountpoint=None, attributes=False):
    """Wall time of `command` (with MOUNT standing for the mount point) on a
    fresh mount of `tree`; None when it fails. `mountpoint`: the same place
    each time (else a new one); `attributes`: look-ups of attributes wait
    too."""
    fixed = mountpoint is not None
    if fixed:
        os.makedirs(mountpoint, exist_ok=True)
    else:
        mountpoint = tempfile.mkdtemp(prefix="share-")
    try:
        subprocess.run([latencyfs, tree, mountpoint], check=True,
                       env=dict(os.environ, DELAY_US=str(delay),
                                DELAY_ATTRIBUTES="1" if attributes else "0"))
        for _ in range(100):
            if mounted(mountpoint):
                break
            time.sleep(0.01)
        start = time.perf_counter()
        try:
            subprocess.run([mountpoint if word == "MOUNT" else word for word in command],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                           timeout=600)
        except (subprocess.SubprocessError, OSError):
            return None
        return time.perf_counter() - start
    finally:
        subprocess.run(["fusermount3", "-u", mountpoint], check=False)
        if not fixed:
            os.rmdir(mountpoint)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--files", type=int, default=330)
    parser.add_argument("--delay-us", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=3)
    options = parser.parse_args()
    build = options.build
    scan = os.path.join(build, "cli", "vidarium-scan")
    bare = os.path.join(build, "bench", "bare_io")
    latencyfs = os.path.join(build, "bench", "latencyfs")
    tree = os.path.abspath(os.path.join(options.work, "share%d" % options.files))
    if not os.path.isdir(tree):
        subprocess.run([sys.executable, os.path.join(HERE, "make_tree.py"), tree,
                        str(options.files), os.path.join(build, "demo")], check=True)

    programs = [
        ("vidarium-scan", [scan, "MOUNT"], options.runs),
        ("vidarium-scan, one file at a time", [scan, "--reads-in-flight=0", "MOUNT"],
         options.runs),
        ("bound: 64 B at each end, one file at a time", [bare, "MOUNT", "1"], options.runs),
        ("bound: 64 B at each end, 16 files in flight", [bare, "MOUNT", "16"], options.runs),
    ]
    if shutil.which("mediainfo"):
        programs.append(("MediaInfo", ["mediainfo", "--Output=JSON", "MOUNT"], 1))
    print("| program (%d movie files, %.1f ms a request) | median s | vidarium-scan is this many "
          "times as fast |" % (options.files, options.delay_us / 1000))
    print("|---|---|---|")
    ours = None
    for name, command, runs in programs:
        times = [on_fresh_mount(latencyfs, tree, options.delay_us, command) for _ in range(runs)]
        if None in times:
            print("| %s | - | - |" % name, flush=True)
            continue
        median = statistics.median(times)
        ours = ours or median
        print("| %s | %.3f | %.2f |" % (name, median, median / ours), flush=True)


if __name__ == "__main__":
    main()
