#!/usr/bin/env bash
# The windowed program on Windows, end to end: kdx.exe under Wine on an Xvfb display talks to
# a simulated controller (the Linux kdx-sim on a pseudo-terminal, linked as the prefix's
# COM5). It switches the Terminal's port log on, keeps the listed port, clicks Enable Port,
# types V in the Immediate Send window, and the controller's reply must reach the Response
# window: the port log the program writes must hold the sent V and the received status.
# A screenshot of the screen is left for a person to look at.
# Usage: tests/desktop/gui_smoke_win32.sh [windows build] [linux build] [screenshot.png]
# Exit status 0 passed, 1 failed, 77 skipped (a tool or a build is missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
win_build=$(cd "${1:-$root/build-windows}" 2>/dev/null && pwd) || win_build=""
linux_build=$(cd "${2:-$root/build}" 2>/dev/null && pwd) || linux_build=""
shot=${3:-${win_build:-/tmp}/gui_smoke.png}

skip() {
    echo "gui_smoke: skipped: $*" >&2
    exit 77
}
fail() {
    echo "gui_smoke: FAILED: $*" >&2
    [ -n "${work:-}" ] && [ -f "$work/kdx.out" ] && sed 's/^/  kdx: /' "$work/kdx.out" >&2
    exit 1
}
for tool in wine wineboot wineserver Xvfb xdotool import convert; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -n "$win_build" ] && [ -f "$win_build/kdx.exe" ] || skip "no kdx.exe in ${1:-build-windows}"
[ -n "$linux_build" ] && [ -x "$linux_build/kdx-sim" ] || skip "no kdx-sim in ${2:-build}"

work=$(mktemp -d "${TMPDIR:-/tmp}/kdx-gui-smoke.XXXXXX")
pids=()
cleanup() {
    set +e
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
    [ -n "${KDX_SMOKE_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# Waits (up to $1 seconds) until the command after it succeeds.
until_true() {
    local seconds=$1
    shift
    local end=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.2
    done
}

# An X display of our own: the server picks a free number and says which.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
until_true 20 grep -q '[0-9]' "$work/display" || skip "Xvfb does not start on this machine"
export DISPLAY=":$(head -1 "$work/display")"

# A fresh prefix, and the simulated controller as its COM<n> (COM5 in a fresh prefix).
# shellcheck source=scripts/wine-prefix.sh
. "$root/scripts/wine-prefix.sh"
export WINEDEBUG=${KDX_SMOKE_WINEDEBUG:--all}
wine_prefix_start "$work/prefix" || fail "the Wine prefix could not be made"
wine_sim_port "$linux_build/kdx-sim" "$work" || fail "kdx-sim did not start"
com="COM$wine_com"

# The program, from a copy of the build so its data (the port log) lands in our folder.
app="$work/app"
mkdir -p "$app"
cp "$win_build/kdx.exe" "$app/"
# The arrow pictures are drawn by the Linux build.
cp "$linux_build"/*.bmp "$app/" 2>/dev/null || true
(cd "$app" && exec wine ./kdx.exe ${KDX_SMOKE_ARGS:-} >"$work/kdx.out" 2>&1) &
kdx=$!
pids+=("$kdx")
frame_window() { xdotool search --onlyvisible --name KDX_APP 2>/dev/null | head -1; }
frame_shown() { [ -n "$(frame_window)" ]; }
until_true 90 frame_shown || fail "the frame did not appear"
frame=$(frame_window)
xdotool windowactivate --sync "$frame" 2>/dev/null || xdotool windowfocus --sync "$frame"

# The Terminal fills the frame's client area. Its controls' places, in dialog units, are
# those of its control table; pixels from the dialog font's base units and the window
# metrics of Wine's default theme, measured from the frame's top left corner.
eval "$(xdotool getwindowgeometry --shell "$frame")"
base_x=${KDX_SMOKE_BASE_X:-6} base_y=${KDX_SMOKE_BASE_Y:-13}
origin_x=${KDX_SMOKE_ORIGIN_X:-9} origin_y=${KDX_SMOKE_ORIGIN_Y:-85}
at() { # dialog units x y -> screen pixels "X Y"
    echo "$((X + origin_x + ($1 * base_x + 2) / 4)) $((Y + origin_y + ($2 * base_y + 4) / 8))"
}
click_at() {
    # shellcheck disable=SC2046
    xdotool mousemove --sync $(at "$1" "$2") click 1
}

import -window root "$work/started.png" 2>/dev/null || true
# Tools > Terminal Log in the Terminal's own menu bar (just above its controls).
xdotool mousemove --sync "$((X + origin_x + 18))" "$((Y + origin_y - 9))" click 1
xdotool key --delay 200 Down Down Return
find_log() {
    log=$( (ls "$app"/KDX\ Port\ Log*.html 2>/dev/null
        find "$WINEPREFIX/drive_c" -name 'KDX Port Log*.html' 2>/dev/null) | head -1)
    [ -n "$log" ]
}
until_true 20 find_log || fail "the port log was not opened"

# The port list: the simulator's is the last entry (COM1 is Wine's own); Enable Port opens it.
click_at 137 8
xdotool key --delay 200 End Return
click_at 300 10
until_true 20 grep -q "$com Open" "$log" || fail "$com did not open (port log $log)"
click_at 262 77
xdotool type --delay 100 V
# The sent V, then the controller's status letter in the received colour.
reply() { sed -n "/$com Open/,\$p" "$log" | grep -q 'rgb(255, 255, 0)"> [RJ]'; }
if ! until_true 30 reply; then
    import -window root "$shot" 2>/dev/null || true
    fail "no reply in the port log: $(sed -n '/<body/,$p' "$log" | tr -d '\n') (screenshot $shot)"
fi
# And the window shows it: the reply's colour inside the frame, on the black of the Response
# window. Found in the frame's own picture, not from font metrics: the dialog font decides
# where the Response window lies, and only it shows text in the received colour.
shows_reply() {
    # Right of the data-direction pictures (the received one is drawn in the same yellow),
    # whose column ends before 64 dialog units.
    local left
    left=$(($(at 64 0 | cut -d' ' -f1) - X))
    import -window root -crop "$((WIDTH - left))x${HEIGHT}+$((X + left))+$Y" +repage \
        "$work/frame.png" 2>/dev/null || return 1
    # The box around every pixel of the received colour ("0x0+0+0" when there is none).
    local box
    box=$(convert "$work/frame.png" -fill black +opaque '#FFFF00' -format '%@' info: 2>/dev/null)
    [[ "$box" =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || return 1
    local w=${BASH_REMATCH[1]} h=${BASH_REMATCH[2]} x=${BASH_REMATCH[3]} y=${BASH_REMATCH[4]}
    ((w > 0 && h > 0 && x > 0 && y > 0)) || return 1
    # The pixel just left of the text is the Response window's black, or the glyph's
    # smoothed edge on it (a darker yellow), not the dialog's grey.
    local hex
    hex=$(convert "$work/frame.png" -format "%[hex:p{$((x - 1)),$y}]" info: 2>/dev/null)
    [[ "$hex" =~ ^[0-9A-F]{6}$ && ${hex:0:2} == "${hex:2:2}" && ${hex:4:2} == 00 ]]
}
if ! until_true 30 shows_reply; then
    import -window root "$shot" 2>/dev/null || true
    fail "the reply is in the port log but not in the Response window (screenshot $shot)"
fi
import -window root "$shot" 2>/dev/null || true

# The frame's close box ends the program: the open port is closed on the way out (the log
# says so) and the exit code is the quit message's, 0.
xdotool mousemove --sync "$((X + WIDTH - 15))" "$((Y + 11))" click 1
kdx_ended() { ! kill -0 "$kdx" 2>/dev/null; }
until_true 60 kdx_ended || fail "the close box did not end the program"
code=0
wait "$kdx" || code=$?
sed -n "/$com Open/,\$p" "$log" | grep -q 'Port Closed' || fail "the port was not closed at the end"
[ "$code" -eq 0 ] || fail "the program ended with $code"
echo "gui_smoke: passed (screenshot $shot)"
