#!/usr/bin/env bash
# Regenerates globe.ico, the Windows executable's icon, from globe.png (run
# make-artwork.sh first when the globe itself changes). The icon is committed
# and compiled into updater.exe by src/lifecycle/updater.rc.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
convert globe.png -define icon:auto-resize=32,16 globe.ico
