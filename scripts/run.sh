#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program's main job.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
dir=${KDX_BUILD_DIR:-$root/build}
"$root/scripts/build.sh" "$dir"
exec "$dir/kdx-cli" "$@"
