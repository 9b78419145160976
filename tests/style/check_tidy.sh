#!/usr/bin/env bash
# clang-tidy, with the checks of .clang-tidy, over every source of src/ (its headers are
# seen through them), using the compile database of a build. Any finding fails.
# Exit status: 0 clean, 1 findings (shown), 77 nothing to run with (no compile database:
# configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON, as the presets do; or no clang-tidy).
# usage: check_tidy.sh BUILD_DIR [JOBS]    (JOBS: clang-tidy processes at once, default nproc)
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
if [ $# -lt 1 ] || [ ! -f "$1/compile_commands.json" ]; then
    echo "SKIP: no compile_commands.json in ${1:-(no build directory given)}; configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON"
    exit 77
fi
build=$(cd "$1" && pwd)
tidy=$(command -v clang-tidy || command -v clang-tidy-14 || true)
if [ -z "$tidy" ]; then
    echo "SKIP: clang-tidy (Debian package clang-tidy) is not installed"
    exit 77
fi
jobs=${2:-$(nproc)}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

cd "$root" || exit 2
find src -name '*.cpp' | sort >"$logs/files"
start=$(date +%s)
# One clang-tidy per source, JOBS at a time, each into its own log; a failing one is noted.
xargs -P "$jobs" -I{} sh -c '"$0" -p "$1" --quiet "$3" >"$2/$(echo "$3" | tr / _).log" 2>&1 || echo "$3" >>"$2/failed"' \
    "$tidy" "$build" "$logs" {} <"$logs/files"
seconds=$(($(date +%s) - start))
count=$(wc -l <"$logs/files")

if [ -s "$logs/failed" ]; then
    sort "$logs/failed" | while IFS= read -r file; do
        grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$logs/$(echo "$file" | tr / _).log"
    done
    echo "FAIL: clang-tidy found the above in $(wc -l <"$logs/failed") of $count sources of src/ (${seconds} s)"
    echo "      fix them, or for a false positive add // NOLINT(check-name) with the reason"
    exit 1
fi
echo "PASS: clang-tidy is content with $count sources of src/ (${seconds} s, $jobs at a time)"
