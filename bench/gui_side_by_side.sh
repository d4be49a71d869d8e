#!/usr/bin/env bash
# The windowed program beside CuteCom on one Xvfb display, in interleaved rounds (the two
# alternate which goes first), medians per program and kdx's figure as a ratio to CuteCom's:
# CPU per KB of the program and of the X server at line rates (5.76 KB/s in 8-byte pieces,
# 11.5 KB/s in 64-byte pieces, 115 KB/s in 1152-byte pieces), how the cost per KB changes as
# the window fills, its wakes a second once the feed stops, and resident and proportional
# memory after start and after 1 MB.
# CuteCom's serial code drops a pseudo-terminal when the modem-line ioctls fail: a small
# LD_PRELOAD library built here answers them. Then the sustained flood (bench_gui_sustained,
# kdx alone: CuteCom has no port log to check) for --sustained S seconds (default 60).
#   bench/gui_side_by_side.sh [--rounds N] [--seconds S] [--sustained S]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${KDX_BUILD_DIR:-$root/build}
rounds=3 seconds=10 sustained=60
while (($#)); do
    case $1 in
        --rounds) rounds=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --sustained) sustained=$2; shift 2 ;;
        *) echo "gui_side_by_side: unknown $1" >&2; exit 2 ;;
    esac
done
for tool in cutecom Xvfb xdotool cc; do
    if ! command -v $tool >/dev/null; then
        echo "gui_side_by_side: $tool is missing (Debian: cutecom, xvfb, xdotool, gcc)" >&2
        exit 1
    fi
done
cmake --build "$dir" --target kdx_gui bench_gui_paced bench_gui_sustained >/dev/null
work=$(mktemp -d)
cleanup() {
    [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
cat >"$work/shim.c" <<'C'
/* Answers the modem-line ioctls a pseudo-terminal refuses; the rest go to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <sys/ioctl.h>
static int lines = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    switch (request) {
        case TIOCMGET: *(int*)arg = lines; return 0;
        case TIOCMSET: lines = *(int*)arg; return 0;
        case TIOCMBIS: lines |= *(int*)arg; return 0;
        case TIOCMBIC: lines &= ~*(int*)arg; return 0;
    }
    static int (*real)(int, unsigned long, ...);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return real(fd, request, arg);
}
C
cc -shared -fPIC -O2 -o "$work/shim.so" "$work/shim.c" -ldl
display=99
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do xdpyinfo -display ":$display" >/dev/null 2>&1 && break; sleep 0.1; done
export DISPLAY=":$display"

# name rate piece seconds
loads=("line-5.76KB/s-8B 5760 8 $seconds" "line-11.5KB/s-64B 11500 64 $seconds"
    "line-115KB/s-1152B 115000 1152 $seconds" "1MB 1048576 4096 1")
for ((round = 0; round < rounds; round++)); do
    for load in "${loads[@]}"; do
        read -r name rate piece secs <<<"$load"
        programs=(kdx cutecom)
        ((round % 2)) && programs=(cutecom kdx)
        for program in "${programs[@]}"; do
            line=$("$dir/bench_gui_paced" --program "$program" --rate "$rate" --piece "$piece" \
                --seconds "$secs" --xserver-pid "$xvfb" --shim "$work/shim.so" 2>/dev/null |
                grep '^program=' || true)
            [ -n "$line" ] && echo "load=$name $line" >>"$work/results"
        done
    done
done
echo "gui_side_by_side: kdx beside CuteCom on Xvfb, $rounds interleaved rounds, medians"
awk '
function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n ? (n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2) : -1
}
{
    for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
    key = f["load"]; if (!(key in seen)) { seen[key] = 1; order[++loads] = key }
    for (k in f) if (k != "load" && k != "program") v[key, f["program"], k] = v[key, f["program"], k] " " f[k]
}
END {
    split("cpu_ms_per_kb core_pct x_ms_per_kb fill_ratio idle_wakes_per_s rss_start_mb pss_start_mb rss_end_mb pss_end_mb", figures, " ")
    for (l = 1; l <= loads; l++) {
        key = order[l]
        printf "  %s\n", key
        for (g = 1; g <= 9; g++) {
            k = figures[g]
            if (key == "1MB" && g <= 5) continue
            if (key != "1MB" && g >= 6) continue
            a = median(v[key, "kdx", k]); b = median(v[key, "cutecom", k])
            printf "    %-14s kdx %9.3f   CuteCom %9.3f   ratio %5.2f\n", k, a, b, (b > 0 ? a / b : -1)
        }
    }
}' "$work/results"

if ((sustained > 0)); then
    echo
    "$dir/bench_gui_sustained" "$sustained" 2>/dev/null | grep -v '^QStandardPaths'
fi
