#!/usr/bin/env bash
# kdx-cli's terminal beside picocom and a bare poll() client, measured in one run: flood CPU
# per MiB (port log off and on), reply latency piped and interactive, the communication test
# at three rates, idle memory. Medians over the rounds; arguments go to the measuring program
# (--rounds N, --mib M, --samples S, --only flood|latency|commo|rss; --kdx-cli-before PATH
# measures an earlier build's kdx-cli beside this one, with its libkdx.so next to it).
# With valgrind present, the received echo's instruction count per MiB follows (repeatable,
# unlike times on a shared machine), for this build and the earlier one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${KDX_BUILD_DIR:-$root/build}
if ! command -v picocom >/dev/null; then
    echo "echo_side_by_side: picocom is missing; scripts/setup.sh installs it" >&2
    exit 1
fi
cmake --build "$dir" --target kdx-cli kdx-sim bench_echo_side_by_side bench_poll_client \
    bench_echo_path_cost >/dev/null
"$dir/bench_echo_side_by_side" --kdx-cli "$dir/kdx-cli" --kdx-sim "$dir/kdx-sim" \
    --poll-client "$dir/bench_poll_client" --picocom picocom "$@"

libraries=("$dir/libkdx.so")
args=("$@")
for ((i = 0; i + 1 < ${#args[@]}; i++)); do
    if [ "${args[i]}" = --kdx-cli-before ]; then
        libraries+=("$(dirname "${args[i + 1]}")/libkdx.so")
    fi
done
if command -v valgrind >/dev/null; then
    echo
    echo "received echo, instructions per MiB (callgrind; 4 MiB in 4 KiB pieces, terminal sink)"
    refs() {
        valgrind --tool=callgrind --callgrind-out-file=/dev/null \
            "$dir/bench_echo_path_cost" "$1" 4 "$2" 2>&1 | sed -n 's/.*I *refs: *//p' | tr -d ,
    }
    for library in "${libraries[@]}"; do
        base=$(refs "$library" none)
        off=$(refs "$library" off)
        on=$(refs "$library" log)
        awk -v l="$library" -v b="$base" -v f="$off" -v o="$on" 'BEGIN {
            printf "  %-40s port log off %7.1f M   on %7.1f M\n", l, (f - b) / 4e6, (o - b) / 4e6
        }'
    done
    rm -f "$dir"/KDX\ Port\ Log*.html
fi
