#!/usr/bin/env bash
# Installs what is missing, builds, and starts Vidarium. The build also makes a
# small demo folder of movie files (build/dev/demo) to try it on.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
echo "Try the demo folder: $PWD/build/dev/demo"
exec build/dev/app/vidarium
