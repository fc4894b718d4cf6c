#!/usr/bin/env bash
# vidarium-scan, built with the sanitizers, over a generated tree of FILES
# (default 20,000) movie files: valid, truncated, random bytes and hostile
# inputs. Passes when every file gets its row, no sanitizer speaks, and the
# scan ends within LIMIT seconds (default 600). Not part of the normal tests.
# Usage: bash scripts/stress.sh [FILES] [LIMIT]
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-20000}
limit=${2:-600}
bash scripts/install-deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan --target vidarium-scan demo
tree=build/stress/tree
rm -rf "$tree"
mkdir -p "$tree"
python3 - "$tree" "$files" build/asan/demo tests/fuzz-regressions <<'PY'
import os, random, sys
tree, count, demo, hostile = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
random.seed(7)
valid = [open(os.path.join(r, n), 'rb').read() for r, _, ns in sorted(os.walk(demo))
         for n in sorted(ns)]
bad = [open(os.path.join(r, n), 'rb').read() for r, _, ns in os.walk(hostile)
       for n in ns if not n.endswith('.expected')]
names = ['.avi', '.mov', '.mpg', '.divx', '.vob', '.m2v']
for i in range(count):
    folder = os.path.join(tree, *('d%d' % random.randrange(8) for _ in range(random.randrange(4))))
    os.makedirs(folder, exist_ok=True)
    kind = i % 4
    if kind == 0:
        data = random.choice(valid)
    elif kind == 1:
        data = random.choice(valid)
        data = data[:random.randrange(len(data) + 1)]
    elif kind == 2:
        data = os.urandom(random.randrange(4096))
    else:
        data = random.choice(bad)
    with open(os.path.join(folder, 'f%d%s' % (i, random.choice(names))), 'wb') as f:
        f.write(data)
PY
export ASAN_OPTIONS=detect_leaks=1
rows=$(timeout "$limit" build/asan/cli/vidarium-scan --format=json --stats "$tree" | wc -l)
echo "rows: $rows of $files"
[ "$rows" -eq "$files" ]
