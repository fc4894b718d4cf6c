#!/usr/bin/env bash
# Builds the Debian package from the dev build and checks it: lintian finds no
# error, it installs, the installed programs, manual page, desktop entry and
# AppStream metadata work, and it removes cleanly. Needs root (or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
rm -f build/dev/vidarium_*.deb
(cd build/dev && cpack -G DEB)
package=$(ls build/dev/vidarium_*.deb)
lintian --fail-on error "$package"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "./$package"
trap 'DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get remove -y vidarium >/dev/null' EXIT
/usr/bin/vidarium-scan --version
man -w vidarium-scan
man -w vidarium
desktop-file-validate /usr/share/applications/vidarium.desktop
appstreamcli validate --no-net /usr/share/metainfo/org.vidarium.Vidarium.metainfo.xml
test -f /usr/share/icons/hicolor/scalable/apps/vidarium.svg
echo "package: $package checked"
