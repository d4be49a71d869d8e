#!/usr/bin/env bash
# Naming checks CI runs; each check lists its offenders, and the script fails when any does.
#
# Test suites: the first argument of TEST, TEST_F, TEST_P, TYPED_TEST and
# INSTANTIATE_TEST_SUITE_P (a fixture class is its suite's name) under tests/ is
# Capitalised_Snake_Case, like the procedures: ^[A-Z][a-z0-9]*(_[A-Z0-9][a-z0-9]*)*$.
# An acronym is one capitalised word (Kdx_Info, Cli_Ports, Html_Template, Api_Guard,
# Kdx_Info_Motor_Id); all-capital words are not used.
#
# Test folders: a test source (tests/**/test_*.cpp) sits in the folder mirroring its unit's,
# tests/<folder>/ for a source folder <folder> of the tree (tests/serial/ for serial/,
# tests/platform/ports/ for platform/ports/), or in tests/platform/ports/udev/ (the udev
# tests, a binary of their own). Fixtures and helper programs live in tests/support/.
#
# Constants (with a build folder's compile_commands.json as the argument, CI gives build/):
# clang-tidy's readability-identifier-naming with the repository's .clang-tidy: a constant,
# constexpr or static constant is Capitalised_Snake_Case like the procedures, a word may be
# all capitals (KDX_Outcome_Capacity, WM_KDX_ECHO, CR).
#
# A further check is a function that prints its offenders and returns non-zero; add it to
# the list at the end.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

suite_pattern='^[A-Z][a-z0-9]*(_[A-Z0-9][a-z0-9]*)*$'

# Prints "file:line: suite" for every suite a test macro names.
test_suites() {
    git ls-files -co --exclude-standard -- 'tests/*.cpp' 'tests/*.h' | while read -r file; do
        [ -f "$file" ] || continue
        perl -0777 -ne '
            while (/\b(TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P|INSTANTIATE_TEST_SUITE_P)\s*\(\s*([A-Za-z0-9_]+)/g) {
                my $suite = $2;
                my $line = 1 + (substr($_, 0, $-[0]) =~ tr/\n//);
                print "$ARGV:$line: $suite\n";
            }' "$file"
    done
}

check_suite_names() {
    local bad
    bad=$(test_suites | while IFS= read -r entry; do
        [[ ${entry##*: } =~ $suite_pattern ]] || echo "$entry"
    done)
    [ -z "$bad" ] && return 0
    echo "Test suites not in Capitalised_Snake_Case (an acronym is one capitalised word):"
    echo "$bad" | sed 's/^/  /'
    return 1
}

check_test_folders() {
    local bad="" file folder
    while read -r file; do
        [ -f "$file" ] || continue
        folder=$(dirname "${file#tests/}")
        case $folder in
            platform/ports/udev) continue ;;
            support | support/* | tests | .) ;;
            *) [ -d "$folder" ] && continue ;;
        esac
        bad+="  $file"$'\n'
    done < <(git ls-files -co --exclude-standard -- 'tests/test_*.cpp' 'tests/**/test_*.cpp')
    [ -z "$bad" ] && return 0
    echo "Test sources outside the folders that mirror the source tree (tests/<folder>/):"
    printf '%s' "$bad"
    return 1
}

check_constant_names() {
    local build=${1:-}
    [ -n "$build" ] || return 0
    if [ ! -f "$build/compile_commands.json" ]; then
        echo "No $build/compile_commands.json: build first (scripts/build.sh $build)"
        return 1
    fi
    local db out
    db=$(mktemp -d)
    # GCC's TLS-descriptor option is unknown to clang; the rest of each command is kept.
    python3 - "$build/compile_commands.json" "$db/compile_commands.json" <<'PY'
import json, sys
entries = json.load(open(sys.argv[1]))
for e in entries:
    e["command"] = e["command"].replace("-mtls-dialect=gnu2", "")
json.dump(entries, open(sys.argv[2], "w"))
PY
    mapfile -t sources < <(python3 - "$db/compile_commands.json" "$root" <<'PY'
import json, sys
root = sys.argv[2] + "/"
seen = set()
for e in json.load(open(sys.argv[1])):
    f = e["file"]
    if f.startswith(root) and "/build" not in f[len(root):].split("/")[0] and f not in seen:
        seen.add(f)
        print(f)
PY
)
    out=$(run-clang-tidy -quiet -j "$(nproc)" -p "$db" "${sources[@]}" 2>&1 |
          sed 's/\x1b\[[0-9;]*m//g' | grep -E "invalid case style" | sort -u)
    rm -rf "$db"
    [ -z "$out" ] && return 0
    echo "Constants not in Capitalised_Snake_Case (clang-tidy readability-identifier-naming):"
    echo "$out" | sed "s|^$root/||; s/^/  /"
    return 1
}

status=0
check_constant_names "${1:-}" || status=1
for check in check_suite_names check_test_folders; do
    "$check" || status=1
done
exit $status
