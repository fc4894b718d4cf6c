#!/usr/bin/env python3
"""The whole-collection benchmark: a catalogue of N movies (the demo
folder's rows, generated again under four folders standing for drives, one
file in 5,000 with a copy of the same size and fingerprints elsewhere),
then the times to list everything, to search it by a word and by a field
term, to find the probable copies, to total it by codec and to list its
folders, on the command line and in the window. Called by collection.sh."""
import argparse
import os
import sqlite3
import subprocess
import sys
import tempfile
import time


def timed(command, env=None):
    start = time.perf_counter()
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            check=True, timeout=1200, env=env)
    return time.perf_counter() - start, result.stdout


def make_catalogue(scan, demo, catalogue, movies):
    """A real scan of the demo folder, its entries copied out to `movies`."""
    subprocess.run([scan, "--catalogue=" + catalogue, demo], stdout=subprocess.DEVNULL,
                   check=True)
    db = sqlite3.connect(catalogue)
    columns = [row[1] for row in db.execute("PRAGMA table_info(files)") if row[1] != "id"]
    seeds = db.execute("SELECT count(*) FROM files").fetchone()[0]
    copies = -(-movies // seeds)
    names = ", ".join(columns)
    picked = ", ".join(
        "CAST('/bench/drive' || (n % 4) || '/folder' || n || '/' || "
        "substr(CAST(path AS TEXT), length(rtrim(CAST(path AS TEXT), "
        "replace(CAST(path AS TEXT), '/', ''))) + 1) AS BLOB)" if c == "path" else
        "walk + (n % 4) * 0" if c == "walk" else
        # Unique fingerprints, but one file in 5,000 shares its neighbour's.
        "head_hash + (n - (n % 5000 = 1)) * 7919" if c == "head_hash" else
        "seq + n * 1000" if c == "seq" else c
        for c in columns)
    db.execute("BEGIN")
    db.execute(f"CREATE TEMP TABLE seeds AS SELECT * FROM files")
    db.execute("DELETE FROM files")
    db.execute(f"""WITH RECURSIVE counter(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM counter
                   WHERE n < {copies})
                   INSERT INTO files({names}) SELECT {picked} FROM counter, seeds
                   LIMIT {movies}""")
    db.execute("DELETE FROM walks")
    for drive in range(4):
        db.execute("INSERT INTO walks(id, root, finished) VALUES(?, ?, strftime('%s'))",
                   (drive + 1, f"/bench/drive{drive}/".encode()))
    db.execute("UPDATE files SET walk = 1 + CAST(substr(CAST(path AS TEXT), 13, 1) AS INTEGER)")
    db.commit()
    count = db.execute("SELECT count(*) FROM files").fetchone()[0]
    db.close()
    return count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--demo", required=True)
    parser.add_argument("--movies", type=int, default=1_000_000)
    args = parser.parse_args()
    scan = os.path.join(args.build, "cli", "vidarium-scan")
    with tempfile.TemporaryDirectory() as work:
        # Where the window keeps its catalogue, for this run.
        data = os.path.join(work, "data")
        catalogue = os.path.join(data, "Vidarium", "vidarium", "catalogue.sqlite")
        os.makedirs(os.path.dirname(catalogue))
        started = time.perf_counter()
        count = make_catalogue(scan, args.demo, catalogue, args.movies)
        print(f"catalogue of {count:,} entries made in {time.perf_counter() - started:.0f} s, "
              f"{os.path.getsize(catalogue) / count:.0f} bytes an entry", flush=True)
        option = "--catalogue=" + catalogue
        print(f"| {count:,} catalogued movies | seconds |")
        print("|---|---|")
        for label, command in [
            ("every row (`--offline`)", [scan, option, "--offline"]),
            ("a word (`--where=beach`)", [scan, option, "--offline", "--where=beach"]),
            ("a field term (`--where=height>=480`)",
             [scan, option, "--offline", "--where=height>=480"]),
            ("probable copies (`--duplicates`)", [scan, option, "--duplicates"]),
            ("totals by codec (`--totals=codec`)", [scan, option, "--totals=codec"]),
            ("its folders (`--drives`)", [scan, option, "--drives"]),
        ]:
            seconds, _ = timed(command)
            print(f"| {label} | {seconds:.2f} |")
        window = os.path.join(args.build, "tests", "window_collection")
        if os.path.exists(window):
            env = dict(os.environ, XDG_DATA_HOME=data, XDG_CONFIG_HOME=os.path.join(work, "c"),
                       QT_QPA_PLATFORM=os.environ.get("QT_QPA_PLATFORM", "offscreen"))
            _, out = timed([window, "beach", "height>=480"], env)
            print()
            print(out.decode().strip())


if __name__ == "__main__":
    main()
