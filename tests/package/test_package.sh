#!/usr/bin/env bash
# The Debian package, end to end: build it from the build folder, unpack it into a temp
# folder (nothing is installed on the machine) and run the unpacked programs there. The
# library must come from the unpacked tree through the programs' RUNPATH.
#   test_package.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
unset LD_LIBRARY_PATH

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb="$work/out/kdx_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb: $(ls "$work/out")"
echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes," \
     "installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6widgets6 libudev1; do
    [[ $depends == *"$lib ("* ]] || fail "Depends lacks $lib: $depends"
done
for field in Maintainer Section Description; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
usr="$root/usr"
for f in bin/kdx bin/kdx-cli bin/kdx-sim lib/libkdx.so.0 include/kdx/kdx.h \
         lib/pkgconfig/kdx.pc "share/kdx/Data Dir Arrow To BB.bmp" \
         "share/kdx/Data Dir Arrow From BB.bmp" share/kdx/kdx.svg \
         share/icons/hicolor/scalable/apps/kdx.svg share/applications/kdx.desktop \
         share/man/man1/kdx.1.gz share/man/man1/kdx-cli.1.gz share/man/man1/kdx-sim.1.gz \
         share/bash-completion/completions/kdx-cli lib/udev/rules.d/60-kdx.rules; do
    [ -e "$usr/$f" ] || fail "missing /usr/$f"
done
[ "$(readelf -d "$usr/lib/libkdx.so.0" | sed -n 's/.*soname: \[\(.*\)\]/\1/p')" = libkdx.so.0 ] ||
    fail "SONAME"
libraries=$(ldd "$usr/bin/kdx-cli")
[[ $libraries == *"libkdx.so.0 => $usr/bin/../lib/libkdx.so.0 "* ]] ||
    fail "kdx-cli does not take libkdx from its own tree: $libraries"
desktop-file-validate "$usr/share/applications/kdx.desktop" || fail "desktop entry"
grep -q '^\.SS commo-test' <(zcat "$usr/share/man/man1/kdx-cli.1.gz") || fail "kdx-cli page"
for section in '"EXIT STATUS"' ENVIRONMENT EXAMPLES '"SEE ALSO"'; do
    grep -q "^\.SH $section" <(zcat "$usr/share/man/man1/kdx-cli.1.gz") ||
        fail "kdx-cli page: no $section"
done
# kdx's variables each stand in an entry of their own, not run into one paragraph.
grep -q '^\.B KDX_CONSOLE' <(zcat "$usr/share/man/man1/kdx.1.gz") || fail "kdx page: environment"

# Run from a folder of its own, away from the build folder.
cd "$work"
export KDX_PORTS="$work/ports" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work"
export XDG_DATA_HOME="$work/data" KDX_CONSOLE=none QT_QPA_PLATFORM=offscreen
for p in kdx kdx-cli kdx-sim; do
    out=$("$usr/bin/$p" --version)
    [[ $out =~ ^$p\ $version\ \(commit\ [0-9a-z-]+\)$ ]] || fail "$p --version: $out"
    echo "$out"
done
"$usr/bin/kdx-cli" ports >/dev/null || fail "kdx-cli ports"

# The unpacked simulator and command line talk to each other.
"$usr/bin/kdx-sim" --port 42 >"$work/sim.txt" &
sim_pid=$!
for _ in $(seq 200); do grep -q "^COM42 " "$work/sim.txt" && break; sleep 0.1; done
grep -q '^COM42 ' <("$usr/bin/kdx-cli" ports) || fail "kdx-cli ports does not list COM42"
# The status query waits 50 ms for its reply: a busy machine (tests run in parallel) may
# miss that once, which says nothing about the package.
answered=no
for _ in 1 2 3; do
    "$usr/bin/kdx-cli" status COM42 --quiet >/dev/null 2>&1 && { answered=yes; break; }
done
[ $answered = yes ] || fail "kdx-cli status COM42"

# Completion: commands, options and the port names of this machine.
complete() { :; }
# shellcheck source=/dev/null
source "$usr/share/bash-completion/completions/kdx-cli"
completes() {
    COMP_WORDS=("$usr/bin/kdx-cli" "$@")
    COMP_CWORD=$(($# ))
    _kdx_cli
    echo "${COMPREPLY[*]-}"
}
[ "$(completes sta)" = status ] || fail "completion of sta: $(completes sta)"
[[ " $(completes terminal --) " == *" --baud "* ]] || fail "completion of terminal --"
[[ " $(completes status "") " == *" COM42 "* ]] || fail "completion of status: no COM42"
# The port after an option's value, the values of --eol, program's words and the axes.
[[ " $(completes terminal --baud 9600 CO) " == *" COM42 "* ]] ||
    fail "completion of terminal --baud 9600 CO: $(completes terminal --baud 9600 CO)"
[ "$(completes terminal COM42 --eol cr)" = "cr crlf" ] || fail "completion of --eol cr"
[ "$(completes program "")" = "encode decode" ] || fail "completion of program"
[ "$(completes memory-test COM42 "")" = "1 2 3 4" ] || fail "completion of memory-test's axis"
[ "$(completes check --axes "")" = "1 2 3 4 1-4" ] || fail "completion of check --axes"

# The windowed program finds its pictures in the unpacked share/kdx (not beside itself, nor
# in the current folder). strace shows what it opens; where tracing is not allowed, say so.
if strace -f -o /dev/null true 2>/dev/null; then
    KDX_TIMING=1 strace -f -e trace=openat -o "$work/opens" "$usr/bin/kdx" 2>"$work/kdx.err" &
    gui=$!
    for _ in $(seq 300); do grep -q "first paint" "$work/kdx.err" && break; sleep 0.1; done
    # End kdx itself (its first traced line names it); strace then ends with it.
    kill -TERM "$(awk '{print $1; exit}' "$work/opens")" 2>/dev/null || kill -TERM $gui
    wait $gui || true
    grep -q "first paint" "$work/kdx.err" || fail "kdx did not paint: $(cat "$work/kdx.err")"
    grep -q "share/kdx/Data Dir Arrow To BB.bmp\", O_RDONLY.* = [0-9]" "$work/opens" ||
        fail "kdx did not open its picture from share/kdx"
else
    echo "note: strace cannot trace here; the pictures' place is not checked"
fi
# An installed program writes nothing into its own tree: the settings page and the port
# logs go to the user's data folder.
page=$("$usr/bin/kdx-cli" settings) || fail "kdx-cli settings"
[ "$page" = "$work/data/kdx/kdx-cli.html" ] && [ -s "$page" ] || fail "settings page at $page"
[ "$(ls "$usr/bin")" = "$(printf 'kdx\nkdx-cli\nkdx-sim')" ] || fail "files written in bin: $(ls "$usr/bin")"
echo "package test passed"
