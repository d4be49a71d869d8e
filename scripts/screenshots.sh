#!/usr/bin/env bash
# Renders the windowed program's windows to PNG files (Qt's offscreen platform, no display
# needed): the frame with the Terminal after a short session with a simulated controller, a
# program file being sent (the progress strip), the frame with the QuickMove dialog, the QuickMove
# dialog alone, the Debug Console and the frame at 800 and 1366 pixels after each verdict of
# the status strip, into build/screenshots/ (or $1), and refreshes the README's picture
# docs/kdx.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${KDX_BUILD_DIR:-$root/build}
out=${1:-$dir/screenshots}
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$dir"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A folder of its own: the Debug Console writes its log into the current directory.
(cd "$work" && QT_QPA_PLATFORM=offscreen KDX_PORTS="$work/ports" "$dir/kdx_screenshots" "$out")
cp "$out/kdx-terminal.png" "$root/docs/kdx.png"
ls -1 "$out"/*.png
