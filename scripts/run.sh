#!/usr/bin/env bash
# Installs what is missing, builds, and runs Vidarium on the demo folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
exec build/dev/cli/vidarium-scan build/dev/demo
