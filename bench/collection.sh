#!/usr/bin/env bash
# The whole-collection benchmark: a generated catalogue of N movies (one
# million unless told) listed, searched, grouped and totalled on the
# command line and in the window; not part of CI.
#   bash bench/collection.sh [--movies N]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target vidarium-scan window_collection demo
exec python3 bench/collection.py --build build/dev --demo build/dev/demo "$@"
