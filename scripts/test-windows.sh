#!/usr/bin/env bash
# Cross-builds the Windows programs (scripts/build-windows.sh) and runs their tests under
# Wine: the platform-independent tests and the Windows backends' own, the serial ones against
# the Linux simulator (kdx-sim of the Linux build in build/, built when missing) on a
# pseudo-terminal that Wine sees as COM<n>; then the installer's silent install and
# uninstall. Results are read from the tests' XML report and the files, not from exit codes
# alone (Wine may end a program that did nothing with 0).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${KDX_WINDOWS_BUILD_DIR:-$root/build-windows}
linux=${KDX_BUILD_DIR:-$root/build}
start=$(date +%s)

KDX_BUILD_TARGETS=${KDX_BUILD_TARGETS:-} "$root/scripts/build-windows.sh" "$dir"
if [ ! -x "$linux/kdx-sim" ]; then
    KDX_BUILD_TARGETS=kdx-sim "$root/scripts/build.sh" "$linux"
fi

export WINEPREFIX="$dir/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
pids=()
link=""
finish() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    # Pseudo-terminal numbers are reused by other programs: the port's link must go.
    if [ -n "$link" ]; then rm -f "$link"; fi
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT

# Wine's helper processes inherit whatever output a first wine command has and keep it open
# (a test's output pipe then ends only seconds later): the server and the prefix are
# started first, detached from ours.
setsid wineserver -p </dev/null >/dev/null 2>&1 &
wineboot -i </dev/null >/dev/null 2>&1

# Waits until a file holds a line, at most the seconds given.
wait_for_line() {
    local file=$1 seconds=$2
    local end=$((SECONDS + seconds))
    until [ -s "$file" ] && grep -q . "$file"; do
        if ((SECONDS > end)); then return 1; fi
        sleep 0.05
    done
}

# The simulator in a session of its own; a second process of that session takes the
# pseudo-terminal as its controlling terminal, so the wineserver cannot (it would be hung
# up with it when the simulator ends).
setsid "$linux/kdx-sim" --no-register >"$work/sim.out" 2>"$work/sim.err" </dev/null &
pids+=($!)
wait_for_line "$work/sim.out" 30 || { cat "$work/sim.err" >&2; echo "test-windows: kdx-sim did not start" >&2; exit 1; }
pts=$(awk '{print $2}' "$work/sim.out")
setsid sh -c 'exec sleep 86400 <"$0"' "$pts" &
pids+=($!)
number=5
while [ -e "$WINEPREFIX/dosdevices/com$number" ] || [ -L "$WINEPREFIX/dosdevices/com$number" ]; do
    number=$((number + 1))
done
link="$WINEPREFIX/dosdevices/com$number"
ln -s "$pts" "$link"
wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\KdxSim' /t REG_SZ \
    /d "COM$number" /f </dev/null >/dev/null 2>&1

report="$dir/kdx_tests.xml"
rm -f "$report"
status=0
(cd "$dir" && KDX_TEST_COM=$number wine kdx_tests.exe --gtest_output="xml:kdx_tests.xml" \
    </dev/null) || status=$?
wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\KdxSim' /f \
    </dev/null >/dev/null 2>&1 || true

# The verdict from the report: every test ran or skipped with a reason Wine gives, and the
# serial tests ran against the simulator.
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
unwanted = [n for n, r in skipped if "Wine" not in r]
print(f"test-windows: {ran} passed, {failed} failed, {len(skipped)} skipped under Wine")
if ran == 0 or failed or unwanted:
    sys.exit("test-windows: the Windows tests did not pass")
if status != 0:
    sys.exit(f"test-windows: kdx_tests.exe exited {status} after a clean report")
PY

if [ -x "$root/scripts/package-windows.sh" ]; then
    "$root/scripts/package-windows.sh" "$dir"
    "$root/scripts/test-windows-install.sh" "$dir"
fi
echo "test-windows: done in $(($(date +%s) - start)) s"
