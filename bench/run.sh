#!/usr/bin/env bash
# The benchmark: vidarium-scan against the bare-I/O bounds and the peers
# (MediaInfo, ExifTool, ffprobe), warm and cold, on generated trees of 2,000
# and 20,000 movie files, and on a tree of 2,000 modern files (MP4 of every
# common codec, read with --all-formats). Prints a Markdown table. Bounded in
# time (a few minutes; the peers run once each, under a time limit).
#   bash bench/run.sh [--install-peers] [--sizes "2000 20000"] [--modern N] [--runs N]
set -euo pipefail
cd "$(dirname "$0")/.."
install_peers=0
sizes="2000 20000"
modern=2000
runs=5
while [ $# -gt 0 ]; do
  case "$1" in
    --install-peers) install_peers=1 ;;
    --sizes) sizes="$2"; shift ;;
    --runs) runs="$2"; shift ;;
    --modern) modern="$2"; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
bash scripts/install-deps.sh
if [ "$install_peers" = 1 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends \
    mediainfo libimage-exiftool-perl ffmpeg
fi
cmake --preset dev >/dev/null
cmake --build --preset dev --target vidarium-scan bare_io window_latency demo
exec python3 bench/run.py --build build/dev --work build/bench --sizes $sizes --modern "$modern" --runs "$runs"
