#!/usr/bin/env bash
# Builds the Debian package kdx_<version>_amd64.deb into build/ (or $KDX_BUILD_DIR) and
# prints its path. Install it with: sudo apt install ./build/kdx_<version>_amd64.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
dir=${KDX_BUILD_DIR:-$root/build}
"$root/scripts/build.sh" "$dir" "$@"
dir=$(cd "$dir" && pwd)
(cd "$dir" && cpack -G DEB >/dev/null)
ls -1 "$dir"/kdx_*_amd64.deb
