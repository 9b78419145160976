#!/usr/bin/env bash
# A real run of hoprate over the emulated path lab (three links of 20, 5 and 10 Mbit/s),
# then hoprate-report on the results file it wrote: the report's rates and uncertainties
# must agree with the lines the run printed, to the printed digits (the file keeps seven
# significant digits of every slope, so the allowance grows where a rate comes from a
# small difference).
# usage: report_real_run.sh HOPRATE HOPRATE_REPORT SCHEMA HOPRATE_LAB HOPRATE_LINKEMU
set -u
hoprate=$(readlink -f "$1")
report=$(readlink -f "$2")
schema=$(readlink -f "$3")
lab=$(readlink -f "$4")
export HOPRATE_LINKEMU=$(readlink -f "$5")
here=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=../lib/netns.sh
. "$here/../lib/netns.sh"
skip_unless_root "the path lab needs root"
if ! /usr/bin/python3 -c 'import jsonschema' 2>/dev/null; then
  echo "SKIP: /usr/bin/python3 has no jsonschema module (Debian package python3-jsonschema)"
  exit 77
fi

test_setup hrr
prefix=$tag
lab_down() { "$lab" --prefix "$prefix" down > /dev/null 2>&1; }
at_exit lab_down

"$lab" --prefix "$prefix" up --links 20M/1ms,5M/1ms,10M/1ms > "$work/lab.log" 2>&1 || fail "lab: $(cat "$work/lab.log")"
dest=$("$lab" --prefix "$prefix" dest) || fail "lab has no destination"
mkdir "$work/data"
run_limited 120 "$lab" --prefix "$prefix" exec "$hoprate" -i 3 -s 600,900,1200 -o 0.5 -t 3 "$dest"
[ "$status" -eq 0 ] || fail "hoprate exit status $status"
file="$work/data/rtt_$(hostname | cut -d. -f1)-.txt"
[ -f "$file" ] || fail "no results file"

"$report" -s 600,900,1200 --json --svg "$work/plot.svg" "$file" > "$work/report.json" 2> "$work/report.err" ||
  fail "report refused the file: $(cat "$work/report.err")"
/usr/bin/python3 "$here/check_report.py" schema "$schema" "$work/report.json" || fail "JSON does not match the schema"
/usr/bin/python3 "$here/check_report.py" svg "$work/plot.svg" || fail "SVG"
/usr/bin/python3 "$here/check_report.py" agree "$work/out" "$work/report.json" || fail "report disagrees with the run"

# The table and the CSV carry one line per hop, hop 3 first.
"$report" -s 600,900,1200 "$file" > "$work/table" || fail "table"
[ "$(grep -cE '^  [123]  10\.77\.[0-9]\.2  ' "$work/table")" -eq 3 ] || fail "table: $(cat "$work/table")"
"$report" -s 600,900,1200 --csv "$file" > "$work/csv" || fail "csv"
[ "$(cut -d, -f1,2 "$work/csv" | tr '\n' ' ')" = "hop,address 3,$dest 2,10.77.2.2 1,10.77.1.2 " ] ||
  fail "csv: $(cat "$work/csv")"
echo "PASS"
