#!/usr/bin/env bash
# kdx-cli's terminal beside picocom and a bare poll() client, measured in one run: flood CPU
# per MiB (port log off and on), reply latency piped and interactive, the communication test
# at three rates, idle memory. Medians over the rounds; arguments go to the measuring program
# (--rounds N, --mib M, --samples S, --only flood|latency|commo|rss; --kdx-cli-before PATH
# measures an earlier build's kdx-cli beside this one, with its libkdx.so next to it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${KDX_BUILD_DIR:-$root/build}
if ! command -v picocom >/dev/null; then
    echo "echo_side_by_side: picocom is missing; scripts/setup.sh installs it" >&2
    exit 1
fi
cmake --build "$dir" --target kdx-cli kdx-sim bench_echo_side_by_side bench_poll_client >/dev/null
exec "$dir/bench_echo_side_by_side" --kdx-cli "$dir/kdx-cli" --kdx-sim "$dir/kdx-sim" \
    --poll-client "$dir/bench_poll_client" --picocom picocom "$@"
