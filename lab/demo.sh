#!/usr/bin/env bash
# The demo behind `make demo`: builds an emulated three-link path (10, 2 and 5 Mbit/s),
# measures it with hoprate's accurate mode and then its classic mode, both with their
# default settings, and compares every link's estimates with the configured rates. The
# path is removed on every exit, Ctrl-C included; what the runs wrote (the tables, the
# accurate mode's probe log, the classic mode's results file) is kept in OUTPUT_DIR.
# usage: lab/demo.sh [BUILD_DIR] [OUTPUT_DIR]     (defaults: build, demo-output)
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "demo: no build directory '${1:-build}'" >&2; exit 1; }
links=10M/1ms,2M/2ms,5M/1ms
rates=(10000000 2000000 5000000)
hops=${#rates[@]}

if [ "$(id -u)" -ne 0 ]; then
    echo "demo: the path lab builds network namespaces and TUN devices; run it as root (sudo make demo)" >&2
    exit 1
fi
for f in "$build/hoprate" "$build/lab/hoprate-linkemu"; do
    [ -x "$f" ] || { echo "demo: $f is missing; build first (make build)" >&2; exit 1; }
done

export HOPRATE_LINKEMU=$build/lab/hoprate-linkemu
export HOPRATE_LAB_PREFIX=hrdemo$$
lab=$here/hoprate-lab
out=${2:-demo-output}
case $out in /*) ;; *) out=$PWD/$out ;; esac
[ "$out" != / ] && rm -rf "${out:?}/data" "$out"/{probes.csv,precise.txt,classic.txt}
mkdir -p "$out" || { echo "demo: cannot make $out" >&2; exit 1; }
work=$out
run_pid=""
cleanup() {
    [ -n "$run_pid" ] && kill -TERM "$run_pid" 2>/dev/null
    "$lab" down
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted, removing the path"; exit 130' INT TERM

echo "== building the path: $links (rate/propagation delay per link)"
"$lab" up --links "$links" || exit 1
dest=$("$lab" dest)
mkdir "$work/data"
cd "$work" || exit 1

echo
echo "== hoprate --precise $dest  (the accurate mode, default settings)"
"$lab" exec "$build/hoprate" --precise --save "$work/probes.csv" "$dest" > >(tee "$work/precise.txt") &
run_pid=$!
wait "$run_pid"
status=$?
run_pid=""
sleep 0.2  # let tee finish writing
[ "$status" -eq 0 ] || { echo "demo: hoprate --precise exited with status $status" >&2; exit 1; }
echo
echo "== the accurate mode versus the configured link rates"
awk -v truths="${rates[*]}" '
    BEGIN { split(truths, truth, " "); printf "%-4s %12s %14s %9s  %s\n", "hop", "configured", "capacity", "err", "interval covers it" }
    /^ *[0-9]+  [0-9.]+ / {
        # A hop with a name has it in parentheses after its address: one field more.
        o = ($3 ~ /^\(/) ? 1 : 0
        hop = $1; value = $(3 + o); unit = $(4 + o); low = $(5 + o); lowUnit = $(6 + o); high = $(8 + o); highUnit = $(9 + o)
        m["b/s"] = 1; m["kb/s"] = 1e3; m["Mb/s"] = 1e6; m["Gb/s"] = 1e9
        c = value * m[unit]; t = truth[hop]
        covers = (low * m[lowUnit] <= t && t <= high * m[highUnit]) ? "yes" : "no"
        printf "%-4s %9.3f Mb/s %9.4f Mb/s %+8.3f%%  %s\n", hop, t / 1e6, c / 1e6, 100 * (c - t) / t, covers
    }' "$work/precise.txt"
echo "(every probe of the run is kept in $work/probes.csv)"

echo
echo "== hoprate -t $hops $dest  (the classic mode, default settings, in $work)"
started=$(date +%s.%N)
"$lab" exec "$build/hoprate" -t "$hops" "$dest" > >(tee "$work/classic.txt") &
run_pid=$!
wait "$run_pid"
status=$?
run_pid=""
finished=$(date +%s.%N)
sleep 0.2  # let tee finish writing
[ "$status" -eq 0 ] || { echo "demo: hoprate exited with status $status" >&2; exit 1; }

echo
echo "== the classic mode versus the configured link rates"
awk -v hops="$hops" -f "$here/hoprate-rates.awk" "$work/classic.txt" | sort -n |
    awk -v truths="${rates[*]}" -v wall="$(awk -v a="$started" -v b="$finished" 'BEGIN { printf "%.1f", b - a }')" '
    BEGIN {
        split(truths, truth, " ")
        printf "%-4s %12s %12s %8s %12s %8s\n", "hop", "configured", "v_n", "err", "v_n'\''", "err"
    }
    function mbit(v) { return sprintf("%.3f Mb/s", v / 1e6) }
    {
        t = truth[$1]
        printf "%-4s %12s %12s %+7.1f%% %12s %+7.1f%%\n", $1, mbit(t), mbit($2), 100 * ($2 - t) / t, mbit($4), 100 * ($4 - t) / t
    }
    END { printf "wall time: %s s\n", wall }'
echo "note: Linux routers quote up to 548 bytes of the probe, so with the default sizes the replies"
echo "grow with the probe (slope f = 0.166): expect v_n about C/(1+f) (-14.2 %) and v_n' about"
echo "C/(1-f) (+19.9 %). Sizes of 600 bytes and more avoid it (see Accuracy in README.md)."

echo
echo "== emulator timing (how late packets left versus their due time)"
"$lab" status | tail -n +2

echo
echo "== kept in $work: precise.txt (the accurate table), probes.csv (its probe log), classic.txt"
echo "   (the classic mode's output) and $(cd "$work" && ls data/* 2>/dev/null | head -1) (its results file)"
