#!/usr/bin/env bash
# Cross-builds the Windows programs (scripts/build-windows.sh) and runs their tests under
# Wine: the platform-independent tests and the Windows backends' own, the serial ones against
# the Linux simulator (kdx-sim of the Linux build in build/, built when missing) on a
# pseudo-terminal that Wine sees as COM<n>; then the installer's silent install and
# uninstall, per user and for all users. Results are read from the tests' XML report and the
# files, not from exit codes alone (Wine may end a program that did nothing with 0).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${KDX_WINDOWS_BUILD_DIR:-$root/build-windows}
linux=${KDX_BUILD_DIR:-$root/build}
start=$(date +%s)

KDX_BUILD_TARGETS=${KDX_BUILD_TARGETS:-} "$root/scripts/build-windows.sh" "$dir"
if [ ! -x "$linux/kdx-sim" ]; then
    KDX_BUILD_TARGETS=kdx-sim "$root/scripts/build.sh" "$linux"
fi

# shellcheck source=scripts/wine-prefix.sh
. "$root/scripts/wine-prefix.sh"
work=$(mktemp -d)
pids=()
wine_com_link=""
immutable=""
finish() {
    # A folder made immutable stays so for everyone until told otherwise.
    if [ -n "$immutable" ]; then chattr -i "$immutable" 2>/dev/null || true; fi
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    # The tests' own simulators run outside Wine: any left by a test that did not end (their
    # control folders are in this prefix) go too, and remove their links.
    if [ -n "${WINEPREFIX:-}" ]; then
        pgrep -f -- "--control $WINEPREFIX/" | xargs -r kill 2>/dev/null || true
    fi
    if [ -n "$wine_com_link" ]; then rm -f "$wine_com_link"; fi
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT

wine_prefix_start "$dir/wine-prefix" ||
    { echo "test-windows: the Wine prefix could not be made" >&2; exit 1; }
# From COM30: the tests' own simulators (tests/support/sim_win32.cpp) take COM5 to COM8, and
# the machines they describe name ports up to COM12 that must not answer.
wine_sim_port "$linux/kdx-sim" "$work" 30 ||
    { echo "test-windows: kdx-sim did not start" >&2; exit 1; }
number=$wine_com

report="$dir/kdx_tests.xml"
rm -f "$report"
status=0
# The report's path is whole: tests move the current folder about.
(cd "$dir" && KDX_TEST_COM=$number KDX_SIM="$linux/kdx-sim" wine kdx_tests.exe \
    --gtest_output="xml:$(winepath -w "$report")" </dev/null) || status=$?
# The command line, end to end against the simulator: its listing names the port, and a check
# passes and leaves its records (read from its output and its files).
records="$work/records"
mkdir -p "$records"
cli_failed=0
ports=$(cd "$dir" && wine kdx-cli.exe ports </dev/null 2>&1) || true
if ! grep -q "^COM$number " <<<"$ports"; then
    echo "test-windows: kdx-cli.exe ports does not list COM$number:" >&2
    echo "$ports" >&2
    cli_failed=1
fi
verdict=$(cd "$dir" && wine kdx-cli.exe check "COM$number" --out "$(winepath -w "$records")" \
    </dev/null 2>&1) || true
if ! grep -q "PASSED" <<<"$verdict" || ! ls "$records"/kdx-check_*.json >/dev/null 2>&1; then
    echo "test-windows: kdx-cli.exe check COM$number did not pass with its records:" >&2
    echo "$verdict" >&2
    ls -la "$records" >&2
    cli_failed=1
else
    echo "kdx-cli.exe check COM$number: $(grep PASSED <<<"$verdict" | head -1)"
fi

# The trace console on a redirected standard error, and the debug log in the current folder.
traced=$(cd "$work" && wine "$dir/kdx-cli.exe" --trace ports 2>&1 >/dev/null </dev/null) || true
if ! grep -q "^SERIAL_PORT_ENUM()" <<<"$traced" ||
    ! grep -q "^SERIAL_PORT_ENUM()" "$work/kdx-cli_Debug.txt" 2>/dev/null; then
    echo "test-windows: kdx-cli.exe --trace wrote no trace (console, debug log):" >&2
    echo "$traced" >&2
    cli_failed=1
fi

# The terminal with piped input: each line goes out (shown marked "> " without colour), the
# receive poller shows the reply.
shown=$(cd "$dir" && printf 'V\n' | wine kdx-cli.exe terminal "COM$number" --plain 2>&1) || true
if ! grep -qE "^> V *$" <<<"$shown" || ! grep -qE "^[RJ] *$" <<<"$shown"; then
    echo "test-windows: kdx-cli.exe terminal COM$number did not show the exchange:" >&2
    echo "$shown" | cat -A >&2
    cli_failed=1
else
    echo "kdx-cli.exe terminal COM$number: $(tr -s '\r\n' '  ' <<<"$shown")"
fi

wine_sim_port_unlist

# The verdict from the report: every test ran or skipped with a reason Wine or Windows gives
# (a thing the system does not have), and the serial tests ran against the simulator.
python3 - "$report" "$status" <<'PY'
import sys, xml.etree.ElementTree as ET
path, status = sys.argv[1], int(sys.argv[2])
try:
    suites = ET.parse(path).getroot()
except (OSError, ET.ParseError) as e:
    sys.exit(f"test-windows: no test report ({e}); kdx_tests.exe exited {status}")
ran = failed = 0
skipped = []
for case in suites.iter("testcase"):
    name = case.get("classname") + "." + case.get("name")
    if case.find("failure") is not None or case.find("error") is not None:
        failed += 1
        print("FAILED", name)
    elif case.get("result") == "skipped" or case.find("skipped") is not None:
        reason = case.find("skipped")
        skipped.append((name, reason.get("message", "") if reason is not None else ""))
    else:
        ran += 1
for name, reason in skipped:
    print(f"skipped {name}: {reason.strip()}")
unwanted = [n for n, r in skipped if "Wine" not in r and "Windows" not in r]
print(f"test-windows: {ran} passed, {failed} failed, {len(skipped)} skipped under Wine")
if ran == 0 or failed or unwanted:
    sys.exit("test-windows: the Windows tests did not pass")
if status != 0:
    sys.exit(f"test-windows: kdx_tests.exe exited {status} after a clean report")
PY

if ((cli_failed)); then exit 1; fi

# The installer and the zip, which the windowed program's smoke test installs from.
"$root/scripts/package-windows.sh" "$dir"
version=$(sed -n 's/^project(kdx VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
setup="$dir/kdx-$version-setup.exe"

# The window backend's tests make real windows: on an X display of their own (Xvfb), judged
# by their report as well. A run that made no window fails, unless this machine cannot run
# Xvfb at all; the closing line then says so.
no_window=""
if [ ! -f "$dir/kdx_window_tests.exe" ] || [ ! -f "$dir/kdx.exe" ]; then
    echo "test-windows: the build made no kdx.exe or kdx_window_tests.exe" >&2
    exit 1
fi
command -v Xvfb >/dev/null || { echo "test-windows: Xvfb is not installed" >&2; exit 1; }
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 </dev/null &
pids+=($!)
if ! wine_wait_for_line "$work/display" 30; then
    no_window="Xvfb does not start on this machine ($(tail -1 "$work/xvfb.log")): no window was tested"
else
    rm -f "$dir/kdx_window_tests.xml"
    window_status=0
    # The prefix's desktop was started without a display: it goes, and the next one starts
    # on this display (windows cannot be made without it).
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    export DISPLAY=":$(head -1 "$work/display")"
    setsid wineserver -p </dev/null >/dev/null 2>&1 &
    (cd "$dir" && KDX_SIM="$linux/kdx-sim" wine kdx_window_tests.exe \
        --gtest_output="xml:kdx_window_tests.xml" </dev/null) || window_status=$?
    python3 - "$dir/kdx_window_tests.xml" "$window_status" <<'PY'
import sys, xml.etree.ElementTree as ET
try:
    root = ET.parse(sys.argv[1]).getroot()
except (OSError, ET.ParseError) as e:
    sys.exit(f"test-windows: no window test report ({e}); exit status {sys.argv[2]}")
tests, bad = int(root.get("tests", 0)), int(root.get("failures", 0)) + int(root.get("errors", 0))
print(f"test-windows: window backend {tests - bad} passed, {bad} failed under Wine")
if tests == 0 or bad or sys.argv[2] != "0":
    sys.exit("test-windows: the window backend's tests did not pass")
PY

    # The windowed program end to end (its own prefix, display and simulator), as the per-user
    # install puts it in place: a typed V and the controller's reply in the Response window,
    # the files it writes beside it, a silent uninstall that keeps them. Judged by its
    # verdict line.
    smoke_status=0
    smoke=$(KDX_SMOKE_SETUP="$setup" "$root/tests/desktop/gui_smoke_win32.sh" "$dir" "$linux" \
        "$dir/gui_smoke.png" 2>&1) || smoke_status=$?
    if ((smoke_status != 0)) || ! grep -q "^gui_smoke: passed" <<<"$smoke"; then
        echo "$smoke" >&2
        echo "test-windows: the windowed program's smoke test did not pass" >&2
        exit 1
    fi
    echo "test-windows: $(grep "^gui_smoke: installed" <<<"$smoke")"
    echo "test-windows: $(grep "^gui_smoke: passed" <<<"$smoke")"
fi

# The installer, per user (its default): a silent install, with no elevation, puts the
# programs, the pictures and the uninstaller in %LOCALAPPDATA%\Programs\KDX, the Start-menu
# entry in the user's own menu and the uninstall entry in the user's registry; the installed
# kdx-cli runs; a silent uninstall takes them away, and the folder with them when nothing of
# the user's is left in it.
win_path() { winepath -u "$(wine cmd /c "echo $1" </dev/null 2>/dev/null | tr -d '\r')" 2>/dev/null; }
local_data=$(win_path '%LOCALAPPDATA%')
local_data=${local_data%/}
user_menu="$(win_path '%APPDATA%')/Microsoft/Windows/Start Menu/Programs/KDX Configurator.lnk"
installed=(kdx.exe kdx-cli.exe libkdx.dll Uninstall.exe "Data Dir Arrow To BB.bmp"
    "Data Dir Arrow From BB.bmp")
# Checks an install in folder $1 (Unix path) with its Start-menu entry $2 and registry root $3.
check_install() {
    local folder=$1 menu=$2 root_key=$3 f missing=()
    for f in "${installed[@]}"; do [ -f "$folder/$f" ] || missing+=("$f"); done
    [ -f "$menu" ] || missing+=("the Start-menu entry $menu")
    # The entry starts the windowed program (the link holds its path).
    if [ -f "$menu" ] && ! strings -a -el "$menu" | grep -qi 'KDX\\kdx\.exe' &&
        ! strings -a "$menu" | grep -qi 'KDX\\kdx\.exe'; then
        missing+=("the Start-menu entry's kdx.exe")
    fi
    wine reg query "$root_key\Software\Microsoft\Windows\CurrentVersion\Uninstall\KDX" \
        </dev/null 2>/dev/null | grep -q DisplayName || missing+=("the $root_key uninstall entry")
    if ((${#missing[@]})); then
        echo "test-windows: the installer did not install: ${missing[*]}" >&2
        exit 1
    fi
    local runs
    runs=$(wine "$(winepath -w "$folder/kdx-cli.exe")" --version </dev/null 2>&1) || true
    if [[ "$runs" != "kdx-cli $version "* ]]; then
        echo "test-windows: the installed kdx-cli.exe does not run: $runs" >&2
        exit 1
    fi
}
# Runs the uninstaller of folder $1 silently and waits for the programs and entry $2 to go
# (it runs from a copy of itself and returns at once).
uninstall() {
    local folder=$1 menu=$2 end=$((SECONDS + 60))
    wine "$(winepath -w "$folder/Uninstall.exe")" /S </dev/null >/dev/null 2>&1 || true
    while [ -e "$folder/kdx.exe" ] || [ -e "$folder/Uninstall.exe" ] || [ -e "$menu" ]; do
        if ((SECONDS > end)); then
            echo "test-windows: the uninstaller left $(ls -A "$folder" 2>/dev/null) ${menu##*/}" >&2
            exit 1
        fi
        sleep 0.2
    done
}
target="$local_data/Programs/KDX"
rm -rf "$target"
wine "$setup" /S </dev/null >/dev/null 2>&1 || true
check_install "$target" "$user_menu" HKCU
uninstall "$target" "$user_menu"
end=$((SECONDS + 10))
while [ -e "$target" ] && ((SECONDS < end)); do sleep 0.2; done
if [ -e "$target" ]; then
    echo "test-windows: the uninstaller left the empty folder: $(ls -A "$target")" >&2
    exit 1
fi
if wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\KDX' \
    </dev/null 2>/dev/null | grep -q DisplayName; then
    echo "test-windows: the uninstaller left its registry entry" >&2
    exit 1
fi
echo "test-windows: the installer installs per user and uninstalls silently"

# For all users (/AllUsers, as administrator): into Program Files, whose folder the programs
# may not write. Made so here by its read-only attribute (Wine takes its write permission
# away), or, for root, whom no permission stops, by making it immutable: the settings page
# then goes to the user's %LOCALAPPDATA%\kdx, which a silent uninstall keeps.
target="$(win_path '%ProgramW6432%')/KDX"
all_menu="$(win_path '%ProgramData%')/Microsoft/Windows/Start Menu/Programs/KDX Configurator.lnk"
rm -rf "$target" "$local_data/kdx"
wine "$setup" /S /AllUsers </dev/null >/dev/null 2>&1 || true
check_install "$target" "$all_menu" HKLM
wine attrib +r "$(winepath -w "$target")" </dev/null >/dev/null 2>&1 || true
locked=""
if touch "$target/.kdx-writable" 2>/dev/null; then
    rm -f "$target/.kdx-writable"
    if chattr +i "$target" 2>/dev/null; then
        locked=immutable
        immutable=$target
    fi
else
    locked=read-only
fi
if [ -z "$locked" ]; then
    echo "test-windows: the Program Files folder cannot be made unwritable here" >&2
    exit 1
fi
page=$(wine "$(winepath -w "$target/kdx-cli.exe")" settings </dev/null 2>&1) || true
if [ -n "$immutable" ]; then
    chattr -i "$immutable"
    immutable=""
fi
wine attrib -r "$(winepath -w "$target")" </dev/null >/dev/null 2>&1 || true
want=$(wine cmd /c 'echo %LOCALAPPDATA%\kdx\kdx-cli.html' </dev/null 2>/dev/null | tr -d '\r')
if [ "$(tr -d '\r' <<<"$page")" != "$want" ] || [ ! -f "$local_data/kdx/kdx-cli.html" ] ||
    [ -e "$target/kdx-cli.html" ]; then
    echo "test-windows: kdx-cli in a folder it may not write did not keep its settings page in" \
        "$want: $page" >&2
    exit 1
fi
uninstall "$target" "$all_menu"
if [ ! -f "$local_data/kdx/kdx-cli.html" ]; then
    echo "test-windows: a silent uninstall removed the user's settings page" >&2
    exit 1
fi
if wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KDX' \
    </dev/null 2>/dev/null | grep -q DisplayName; then
    echo "test-windows: the all-users uninstaller left its registry entry" >&2
    exit 1
fi
echo "test-windows: the installer installs for all users ($locked folder: the settings page" \
    "went to %LOCALAPPDATA%\kdx) and uninstalls silently, keeping it"
echo "test-windows: done in $(($(date +%s) - start)) s${no_window:+; $no_window}"
