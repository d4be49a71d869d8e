#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (address and undefined-behaviour
# sanitizers) and runs each for a bounded time, starting from its seed corpus in
# fuzz/corpus/<name>. Prints each target's runs and runs per second; a crash or a broken
# invariant stops with status 1 and leaves the input as $dir/crash-<name>-*.
#   KDX_FUZZ_SECONDS   seconds per target (default 25)
#   KDX_FUZZ_BUILD_DIR build folder (default build-fuzz)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${KDX_FUZZ_SECONDS:-25}
dir=${KDX_FUZZ_BUILD_DIR:-$root/build-fuzz}
"$root/scripts/setup.sh"
if [ ! -f "$dir/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DKDX_FUZZ=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
fi
targets=()
for src in "$root"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake --build "$dir" --target "${targets[@]}"
status=0
for target in "${targets[@]}"; do
    name=${target#fuzz_}
    work="$dir/corpus/$name"
    mkdir -p "$work"
    log="$dir/$target.log"
    # Whole hive files large enough that a listing slower than linear runs into the time-out.
    extra=()
    [ "$name" = registry_view ] && extra=(-max_len=1048576)
    # The first folder collects what the run finds; the seeds are only read.
    if "$dir/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${extra[@]}" \
        -artifact_prefix="$dir/crash-$name-" "$work" "$root/fuzz/corpus/$name" >"$log" 2>&1; then
        # libFuzzer's last line: "Done <runs> runs in <seconds> second(s)".
        read -r runs took < <(sed -nE 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\1 \2/p' "$log")
        printf 'fuzz %-8s %9s runs in %3ss, %7s runs/s\n' "$name" "${runs:-?}" "${took:-?}" \
            "$(( ${runs:-0} / (${took:-1} > 0 ? ${took:-1} : 1) ))"
    else
        echo "fuzz $name FAILED:" >&2
        tail -40 "$log" >&2
        status=1
    fi
done
exit $status
