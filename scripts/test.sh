#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset dev -DVIDARIUM_WERROR="${VIDARIUM_WERROR:-OFF}"
cmake --build --preset dev
ctest --preset dev
