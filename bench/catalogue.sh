#!/usr/bin/env bash
# The catalogue benchmark: rescans of unchanged trees through the catalogue,
# warm and over the simulated share (needs /dev/fuse), and the catalogue's
# size per movie on a large tree of hard links; not part of CI.
#   bash bench/catalogue.sh [--delay-us N] [--large-copies N]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends fuse3 >/dev/null
cmake --preset dev >/dev/null
cmake --build --preset dev --target vidarium-scan latencyfs demo
exec python3 bench/catalogue.py --build build/dev --work build/bench "$@"
