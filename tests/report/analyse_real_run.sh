#!/usr/bin/env bash
# hoprate --precise --quick --save over the emulated path lab (links of 10, 2 and 5
# Mbit/s), then hoprate-report --analyse on its probe log: the table is the run's own,
# byte for byte; and for a second run with --json, hoprate-report --analyse --json gives
# every hop's address, capacity and 90 % interval exactly as the run's document has them.
# usage: analyse_real_run.sh HOPRATE HOPRATE_REPORT HOPRATE_LAB HOPRATE_LINKEMU
set -u
hoprate=$(readlink -f "$1")
report=$(readlink -f "$2")
lab=$(readlink -f "$3")
export HOPRATE_LINKEMU=$(readlink -f "$4")
here=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=../lib/netns.sh
. "$here/../lib/netns.sh"
skip_unless_root "the path lab needs root"

test_setup hra
prefix=$tag
lab_down() { "$lab" --prefix "$prefix" down > /dev/null 2>&1; }
at_exit lab_down

"$lab" --prefix "$prefix" up --links 10M/1ms,2M/2ms,5M/1ms --lifetime 600s > "$work/lab.log" 2>&1 ||
  fail "lab: $(cat "$work/lab.log")"
dest=$("$lab" --prefix "$prefix" dest) || fail "lab has no destination"

# The table.
run_limited 120 "$lab" --prefix "$prefix" exec "$hoprate" --precise --quick --save "$work/table.csv" "$dest"
[ "$status" -eq 0 ] || fail "hoprate exit status $status"
cp "$work/out" "$work/run.table"
"$report" --analyse "$work/table.csv" > "$work/analysed.table" 2> "$work/report.err" ||
  fail "--analyse refused the log: $(cat "$work/report.err")"
if ! cmp -s "$work/run.table" "$work/analysed.table"; then
  diff -u "$work/run.table" "$work/analysed.table"
  fail "the analysed table differs from the run's"
fi
echo "ok: the table"

# The JSON document.
run_limited 120 "$lab" --prefix "$prefix" exec "$hoprate" --precise --quick --json --save "$work/json.csv" "$dest"
[ "$status" -eq 0 ] || fail "hoprate --json exit status $status"
cp "$work/out" "$work/run.json"
"$report" --analyse "$work/json.csv" --json > "$work/analysed.json" 2> "$work/report.err" ||
  fail "--analyse --json refused the log: $(cat "$work/report.err")"
/usr/bin/python3 - "$work/run.json" "$work/analysed.json" <<'PY' || fail "the analysed document differs from the run's"
import json, sys
run, again = (json.load(open(name)) for name in sys.argv[1:3])
assert len(run['hops']) == 3 and len(again['hops']) == 3, (len(run['hops']), len(again['hops']))
for a, b in zip(run['hops'], again['hops']):
    for key in ('hop', 'address', 'capacity_bps', 'ci90_bps', 'lower_bound', 'merged_from', 'probes', 'replies'):
        assert a[key] == b[key], f"hop {a['hop']} {key}: run {a[key]}, analysed {b[key]}"
    assert a['capacity_bps'] is not None, f"hop {a['hop']}: no capacity"
for key in ('address', 'probes_sent', 'path_mtu', 'kernel_timestamps', 'wall_s'):
    assert run[key] == again[key], f"{key}: run {run[key]}, analysed {again[key]}"
print('ok: the document,', ', '.join(f"{h['capacity_bps'] / 1e6:.4f}" for h in again['hops']), 'Mbit/s')
PY
echo "PASS"
