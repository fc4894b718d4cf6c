#!/usr/bin/env bash
# What files shaped to hurt cost: each hostile shape scanned alone with
# --all-formats (seconds, peak memory, read calls and bytes read), 16 copies
# of the shapes at once with the default reads in flight, and a tree 3,000
# folders deep. Prints a Markdown table. Bounded: each run is cut at 60 s.
#   bash bench/hostile.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev >/dev/null
cmake --build --preset dev --target vidarium-scan make_hostile_files >/dev/null
scan=build/dev/cli/vidarium-scan
work=build/dev/hostile
rm -rf "$work"
build/dev/tests/make_hostile_files "$work/shapes"

# One run: seconds, peak MB and the --stats line's read calls and bytes.
measure() {
  local stats
  stats=$( { /usr/bin/time -f 'TIME %e %M' timeout 60 "$scan" --all-formats --stats "$@" \
             >/dev/null; } 2>&1 ) || true
  local seconds kb reads bytes
  read -r seconds kb < <(grep '^TIME' <<<"$stats" | cut -d' ' -f2-)
  reads=$(grep -o '[0-9]* read calls' <<<"$stats" | cut -d' ' -f1)
  bytes=$(grep -o '[0-9]* bytes read' <<<"$stats" | cut -d' ' -f1)
  printf '%s | %s | %s | %s |\n' "$seconds" "$((kb / 1024))" "${reads:--}" "${bytes:--}"
}

echo "| input | s | peak MB | read calls | bytes read |"
echo "|---|---|---|---|---|"
for file in "$work"/shapes/*; do
  echo "| $(basename "$file") ($(du -k --apparent-size "$file" | cut -f1) KB) | $(measure "$file")"
done
for file in mov-expansion.mov mov-expansion-63.mov mkv-tag-targets.mkv; do
  mkdir -p "$work/copies-$file"
  for i in $(seq 1 16); do cp "$work/shapes/$file" "$work/copies-$file/$i-$file"; done
  echo "| 16 copies of $file | $(measure "$work/copies-$file")"
done
python3 - "$work/deep" 3000 <<'PY'
import os, sys
# Folder after folder, each made inside the one before, so that no path
# handed to the system grows with the depth.
fd = os.open(os.path.dirname(sys.argv[1]), os.O_RDONLY)
name = os.path.basename(sys.argv[1])
for level in range(int(sys.argv[2])):
    os.mkdir(name, dir_fd=fd)
    inner = os.open(name, os.O_RDONLY, dir_fd=fd)
    os.close(fd)
    fd = inner
    name = "d"
PY
echo "| a tree 3000 folders deep | $(measure "$work/deep")"
echo "| the same, one file at a time | $(measure --reads-in-flight=0 "$work/deep")"
