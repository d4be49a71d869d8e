#!/usr/bin/env bash
# The communication test under Wine, in the window and on the command line, side by side in
# one run against one simulated unit (the Linux kdx-sim as a COM port of a fresh prefix, on an
# Xvfb display of its own): bench_gui_commo_win32.exe times the window's test and the same
# routine with kdx-cli's echo in one process, rounds alternating; then kdx-cli.exe commo-test
# itself is timed as a process, less the time the same process takes to start and end
# (kdx-cli.exe --version). Prints both times and the window's as a ratio of the command line's.
#   bench/commo_side_by_side_win32.sh [rounds]     (builds in build-windows/ and build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
win=${KDX_WINDOWS_BUILD_DIR:-$root/build-windows}
linux=${KDX_BUILD_DIR:-$root/build}
rounds=${1:-3}
for tool in wine wineserver Xvfb; do
    command -v "$tool" >/dev/null || { echo "commo_side_by_side: $tool is missing" >&2; exit 1; }
done
KDX_BUILD_TARGETS="kdx-cli bench_gui_commo_win32" "$root/scripts/build-windows.sh" "$win" >/dev/null
[ -x "$linux/kdx-sim" ] || KDX_BUILD_TARGETS=kdx-sim "$root/scripts/build.sh" "$linux" >/dev/null

work=$(mktemp -d)
pids=()
wine_com_link=""
finish() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    [ -n "$wine_com_link" ] && rm -f "$wine_com_link"
    [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
# shellcheck source=scripts/wine-prefix.sh
. "$root/scripts/wine-prefix.sh"
wine_wait_for_line "$work/display" 20 || { echo "commo_side_by_side: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -1 "$work/display")"
wine_prefix_start "$work/prefix" || { echo "commo_side_by_side: no Wine prefix" >&2; exit 1; }
wine_sim_port "$linux/kdx-sim" "$work" 40 || { echo "commo_side_by_side: kdx-sim did not start" >&2; exit 1; }
com="COM$wine_com"

cp "$win/bench_gui_commo_win32.exe" "$win/kdx-cli.exe" "$win/libkdx.dll" "$work/"
cd "$work"
echo "== in one process, $rounds rounds (window, then kdx-cli's routine and echo)"
bench=$(wine ./bench_gui_commo_win32.exe "$com" "$rounds" </dev/null)
echo "$bench"

# kdx-cli.exe as a process: the median of the same number of runs, less its start and end.
elapsed() { # command... -> seconds of its wall time
    local start end
    start=$(date +%s.%N)
    "$@" </dev/null >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# The first start loads Wine; a test that does not pass measures nothing.
wine ./kdx-cli.exe --version </dev/null >/dev/null 2>&1 || true
if ! wine ./kdx-cli.exe commo-test "$com" --quiet </dev/null 2>&1 | grep -q "passed"; then
    echo "commo_side_by_side: kdx-cli.exe commo-test $com did not pass" >&2
    exit 1
fi
runs=() starts=()
for ((i = 0; i < rounds; i++)); do
    runs+=("$(elapsed wine ./kdx-cli.exe commo-test "$com")")
    starts+=("$(elapsed wine ./kdx-cli.exe --version)")
done
run=$(printf '%s\n' "${runs[@]}" | median)
start=$(printf '%s\n' "${starts[@]}" | median)
cli=$(echo "$run - $start" | bc -l)
window=$(sed -n 's/^median: window \([0-9.]*\) s.*/\1/p' <<<"$bench")
echo "== kdx-cli.exe commo-test $com as a process: $(printf '%.3f' "$run") s," \
    "less its start and end ($(printf '%.3f' "$start") s): $(printf '%.3f' "$cli") s"
printf 'window %.3f s, kdx-cli.exe commo-test %.3f s: window / command line %.2f\n' \
    "$window" "$cli" "$(echo "$window / $cli" | bc -l)"
