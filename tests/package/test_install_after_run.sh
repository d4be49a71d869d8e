#!/usr/bin/env bash
# The README's order: scripts/run.sh builds, then `cmake --install build --prefix ...`. The
# targets run.sh builds must be all an install takes: with the manual pages gone, building
# only those targets and installing must work and bring the pages back.
#   test_install_after_run.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
targets=$(sed -nE 's/^KDX_BUILD_TARGETS="([^"]*)".*/\1/p' "$source/scripts/run.sh")
[ -n "$targets" ] || fail "scripts/run.sh names no targets"
rm -f "$build"/man/*.1.gz
args=()
for t in $targets; do args+=(--target "$t"); done
cmake --build "$build" "${args[@]}" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install after building $targets"; }
for page in kdx kdx-cli kdx-sim; do
    [ -f "$work/prefix/share/man/man1/$page.1.gz" ] || fail "no manual page $page"
done
[ -x "$work/prefix/bin/kdx" ] || fail "no kdx installed"
echo "installed after building $targets"
