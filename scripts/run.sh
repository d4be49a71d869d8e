#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program's main job: find the controller
# (or start the simulated one when none answers), then, on a desktop (DISPLAY or
# WAYLAND_DISPLAY set), start the windowed program kdx on it; without a display, show its
# status, identity, axes and the two tests with a live trace, then open the interactive
# terminal on it.
#
#   scripts/run.sh                 the whole session
#   KDX_ARGS=-Admin scripts/run.sh the windowed program with its Debug Console
#   scripts/run.sh <kdx-cli args>  one kdx-cli command instead (e.g. "ports", "terminal COM3")
#   KDX_PORT=COM3 scripts/run.sh   use that port without searching
#
# The session's diagnostic report and debug log go to build/reports (KDX_REPORTS_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
dir=${KDX_BUILD_DIR:-$root/build}
# Only the programs and what installing them takes (library, pictures, manual pages): no
# tests or benchmarks before a run, and `cmake --install` works after it.
KDX_BUILD_TARGETS="kdx_installable" "$root/scripts/build.sh" "$dir"
dir=$(cd "$dir" && pwd)
cli="$dir/kdx-cli"
if (($#)); then exec "$cli" "$@"; fi

# Bold headings only on a terminal, and not with NO_COLOR: a file or pipe gets plain text.
if [ -t 1 ] && [ -z "${NO_COLOR:-}" ]; then
    step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
    step() { printf '\n== %s\n' "$*"; }
fi
reports=${KDX_REPORTS_DIR:-$dir/reports}
mkdir -p "$reports"
reports=$(cd "$reports" && pwd)
cd "$reports"

port=${KDX_PORT:-}
sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null; true; }
trap cleanup EXIT

if [ -n "$port" ]; then
    # A port given by hand must open and answer; say why not instead of failing later.
    if ! problem=$("$cli" status "$port" --quiet 2>&1 >/dev/null); then
        echo "KDX_PORT=$port: ${problem:-no controller answers on $port at 57600 baud}" >&2
        echo "Stopping. Run without KDX_PORT to search every port (or use the simulator)." >&2
        exit 1
    fi
fi

if [ -z "$port" ]; then
    step "Looking for a controller"
    # Ask every listed port for its status at 57600 baud; the first that answers is used.
    for p in $("$cli" ports --names 2>/dev/null || true); do
        if timeout 5 "$cli" status "$p" --quiet >/dev/null 2>&1; then
            port=$p
            break
        fi
    done
fi
if [ -z "$port" ]; then
    echo "No controller answered; starting the simulated controller (kdx-sim)."
    announce=$(mktemp)
    "$dir/kdx-sim" --wire >"$announce" &
    sim_pid=$!
    # It prints "COM<n> <device> <baud>" once registered.
    for _ in $(seq 100); do
        read -r port _ <"$announce" || true
        [ -n "$port" ] && break
        sleep 0.05
    done
    rm -f "$announce"
    [ -n "$port" ] || { echo "The simulator did not start." >&2; exit 1; }
fi
echo "Controller on $port"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    step "KDX configurator (pick $port in the Terminal's port list and choose Enable Port)"
    # The simulator, when started above, keeps running until the program ends.
    status=0
    "$dir/kdx" ${KDX_ARGS:-} || status=$?
    exit "$status"
fi

step "Ports of this machine"
"$cli" ports

step "Status, with a live trace (kdx-cli --trace status $port)"
KDX_CONSOLE=terminal "$cli" --trace status "$port"
step "On line"
"$cli" online "$port"
step "Identity and axes"
"$cli" info "$port"
step "Communication test"
"$cli" commo-test "$port" --quiet || true
step "Program-memory test, axis 1"
"$cli" memory-test "$port" 1 --quiet || true
step "Identify (on and off line at every baud rate)"
"$cli" identify "$port" --quiet || true
# The sweep leaves the controller off line: back on line, so the first "V" typed into the
# terminal is answered "R", not "J".
"$cli" online "$port" --quiet >/dev/null || true

step "Diagnostic report (in $reports)"
"$cli" report || true

if [ -t 0 ]; then
    step "Terminal on $port (Ctrl-L port log on/off, Ctrl-] quits)"
    "$cli" terminal "$port"
else
    step "Terminal on $port, commands from standard input"
    printf 'V\nF,getD4,\nHelp\n' | "$cli" terminal "$port"
fi
