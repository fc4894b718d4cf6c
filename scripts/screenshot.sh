#!/usr/bin/env bash
# Remakes docs/screenshot.png: the window after a scan of the demo folder,
# drawn by the offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build --preset dev --target window_screenshot demo
cd build/dev
QT_QPA_PLATFORM=offscreen tests/window_screenshot demo ../../docs/screenshot.png
