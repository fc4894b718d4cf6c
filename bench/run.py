#!/usr/bin/env python3
"""Times vidarium-scan, the bare-I/O bounds and the peers side by side in one
run, warm and cold, and prints the table for the README. Called by run.sh."""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def evict(tree):
    subprocess.run([sys.executable, os.path.join(HERE, "evict.py"), tree], check=True)


def timed(command, cold, tree, runs, limit=None):
    """Median wall time of `command` over `runs` runs (evicting first when
    cold); None when a run fails or passes `limit` seconds."""
    times = []
    for _ in range(runs):
        if cold:
            evict(tree)
        start = time.perf_counter()
        try:
            subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           check=True, timeout=limit)
        except (subprocess.SubprocessError, OSError):
            return None
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def movie_count(tree):
    return sum(1 for _, _, names in os.walk(tree) for name in names
               if not name.endswith(".txt"))


def per_kind(build, work, clips, options=()):
    """Read calls and bytes per file for each kind of clip (50 copies each)."""
    rows = []
    for clip in sorted(os.listdir(clips)):
        folder = os.path.join(work, "kinds", clip)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for i in range(50):
            shutil.copyfile(os.path.join(clips, clip), os.path.join(folder, "%02d-%s" % (i, clip)))
        evict(folder)
        result = subprocess.run([os.path.join(build, "cli", "vidarium-scan"), "--stats"]
                                + list(options) + [folder],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                check=True)
        words = result.stderr.split()
        read_bytes = int(words[words.index("bytes") - 1])
        calls = int(words[words.index("calls,") - 2])  # "... in N read calls,"
        rows.append((clip, calls / 50, read_bytes / 50))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--sizes", nargs="+", type=int, default=[2000, 20000])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--modern", type=int, default=2000,
                        help="files in the tree of modern files (0: none)")
    options = parser.parse_args()
    build, work = options.build, options.work
    scan = os.path.join(build, "cli", "vidarium-scan")
    bare = os.path.join(build, "bench", "bare_io")
    os.makedirs(work, exist_ok=True)

    print("| tree | program | warm: median s | files/s | cold: median s | files/s |")
    print("|---|---|---|---|---|---|")
    summary = {}
    trees = [("%d" % size, "tree%d" % size, size, []) for size in options.sizes]
    if options.modern and shutil.which("ffmpeg"):
        trees.append(("%d modern" % options.modern, "modern%d" % options.modern, options.modern,
                      ["--modern"]))
    for label, folder, size, maker in trees:
        tree = os.path.join(work, folder)
        if not os.path.isdir(tree) or movie_count(tree) != size:
            subprocess.run([sys.executable, os.path.join(HERE, "make_tree.py")] + maker
                           + [tree, str(size), os.path.join(build, "demo")], check=True)
        movies = movie_count(tree)
        scan_options = ["--all-formats"] if maker else []
        programs = [
            ("vidarium-scan", [scan] + scan_options + [tree], options.runs, None),
            ("vidarium-scan, one file at a time",
             [scan, "--reads-in-flight=0"] + scan_options + [tree], options.runs, None),
            ("bound: 64 B at each end, one file at a time", [bare, tree, "1"], options.runs, None),
            ("bound: 64 B at each end, 16 files in flight", [bare, tree, "16"], options.runs,
             None),
        ]
        if size <= 2000:
            for name, command in (("MediaInfo", ["mediainfo", "--Output=JSON", tree]),
                                  ("ExifTool", ["exiftool", "-json", "-r", "-q", tree])):
                if shutil.which(command[0]):
                    programs.append((name, command, 1, 300))
        for name, command, runs, limit in programs:
            warm = timed(command, False, tree, runs, limit)
            cold = timed(command, True, tree, runs, limit)
            summary[(label, name)] = (warm, cold)
            cell = lambda t: ("%.3f" % t, "%.0f" % (movies / t)) if t else ("-", "-")
            print("| %s | %s | %s | %s | %s | %s |" % ((label, name) + cell(warm) + cell(cold)),
                  flush=True)

    clips = os.path.join(work, "tree%d.clips" % options.sizes[0])
    kinds = per_kind(build, work, clips)
    modern_clips = os.path.join(work, "modern%d.clips" % options.modern)
    if options.modern and os.path.isdir(modern_clips):
        kinds += per_kind(build, work, modern_clips, ["--all-formats"])

    # ffprobe reads one file per process: timed on a sample of 200 files, and
    # compared as if it had read the first tree at that pace.
    sample = os.path.join(work, "kinds")
    if shutil.which("ffprobe"):
        files = [os.path.join(folder, name) for folder, _, names in os.walk(sample)
                 for name in names][:200]
        command = ["sh", "-c", 'for f in "$@"; do ffprobe -v error -show_format -show_streams '
                   '"$f" >/dev/null; done', "ffprobe"] + files
        warm = timed(command, False, sample, 1, 300)
        if warm:
            print("| %d (sample) | ffprobe, one process per file | %.3f | %.0f | | |"
                  % (len(files), warm, len(files) / warm))
            first = options.sizes[0]
            summary[("%d" % first, "ffprobe, one process per file")] = (
                warm / len(files) * movie_count(os.path.join(work, "tree%d" % first)), None)

    print()
    print("| vidarium-scan is this many times as fast as | warm | cold |")
    print("|---|---|---|")
    for label, _, _, _ in trees:
        ours = summary.get((label, "vidarium-scan"))
        for (tree_label, name), (warm, cold) in summary.items():
            if tree_label != label or name == "vidarium-scan" or not ours:
                continue
            ratio = lambda a, b: "%.2f" % (b / a) if a and b else "-"
            print("| %s (%s files) | %s | %s |"
                  % (name, label, ratio(ours[0], warm), ratio(ours[1], cold)))

    print()
    print("| clip | read calls per file | bytes read per file |")
    print("|---|---|---|")
    for clip, calls, read_bytes in kinds:
        print("| %s | %.1f | %.0f |" % (clip, calls, read_bytes))

    print()
    largest = os.path.join(work, "tree%d" % options.sizes[-1])
    empty = os.path.join(work, "empty")
    os.makedirs(empty, exist_ok=True)
    empty_time = timed([scan, empty], False, empty, 20)
    memory = subprocess.run(["/usr/bin/time", "-f", "%M", scan, largest], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=True).stderr.split()[-1]
    subprocess.run([scan, largest], stdout=subprocess.DEVNULL, check=True)  # warm
    start = time.perf_counter()
    subprocess.run([scan, largest], stdout=subprocess.DEVNULL, check=True)
    scan_time = time.perf_counter() - start
    window = subprocess.run([os.path.join(build, "tests", "window_latency"), largest],
                            env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                            check=True).stdout.strip()
    print("- vidarium-scan on an empty folder: %.1f ms (median of 20)" % (empty_time * 1000))
    print("- peak memory of vidarium-scan on the %s-file tree: %.1f MB"
          % (options.sizes[-1], int(memory) / 1024))
    print("- the same tree, warm: vidarium-scan %.2f s; the window: %s" % (scan_time, window))


if __name__ == "__main__":
    main()
