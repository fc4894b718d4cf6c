#!/usr/bin/env bash
# The share benchmark: vidarium-scan against the bare-I/O bounds and MediaInfo
# over a simulated network share (FUSE: every open, read and listing answered
# after 1 ms), each run on a fresh mount. Needs /dev/fuse; not part of CI.
#   bash bench/share.sh [--install-peers] [--files N] [--delay-us N] [--runs N]
set -euo pipefail
cd "$(dirname "$0")/.."
install_peers=0
files=330
delay=1000
runs=3
while [ $# -gt 0 ]; do
  case "$1" in
    --install-peers) install_peers=1 ;;
    --files) files="$2"; shift ;;
    --delay-us) delay="$2"; shift ;;
    --runs) runs="$2"; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
bash scripts/install-deps.sh
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
peers=(fuse3)
[ "$install_peers" = 1 ] && peers+=(mediainfo ffmpeg)
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${peers[@]}" >/dev/null
cmake --preset dev >/dev/null
cmake --build --preset dev --target vidarium-scan bare_io latencyfs demo
exec python3 bench/share.py --build build/dev --work build/bench --files "$files" \
  --delay-us "$delay" --runs "$runs"
