#!/usr/bin/env bash
# Builds the core with ThreadSanitizer and runs the tests that drive the scan
# worker, its loaders and the command-line scanner; a data race is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
cmake --preset tsan
cmake --build --preset tsan --target scanworker_test cli_test vidarium-scan
build/tsan/tests/scanworker_test
build/tsan/tests/cli_test
