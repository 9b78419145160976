#!/usr/bin/env bash
# hoprate-report on results files written here and on accurate-mode documents (the golden
# run's, and those the mode's writer makes of hand-built runs): its JSON against the
# documented schema, its SVG as XML (for documents: the logarithmic axis), and its refusals
# of broken files (message naming the line, status 1).
# usage: report_files.sh HOPRATE_REPORT SCHEMA PRECISE_JSON_SAMPLES GOLDEN_PRECISE_JSON
set -u
report=$(readlink -f "$1")
schema=$(readlink -f "$2")
samples=$(readlink -f "$3")
golden=$(readlink -f "$4")
here=$(cd "$(dirname "$0")" && pwd)

if ! /usr/bin/python3 -c 'import jsonschema' 2>/dev/null; then
  echo "SKIP: /usr/bin/python3 has no jsonschema module (Debian package python3-jsonschema)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A one-hop run of two sizes in which the second size of the UDP sweep got no reply,
# so its fit has two points only: not-a-number stdevs and rates.
printf '%s\n' \
  'icmp to 10.9.0.2, ttl=1' \
  $'t_kernel_min:\t0.512000\t0.913000' $'t_app_min:\t0.512000\t0.913000' \
  $'t_overhead_min:\t0.000000\t0.000000' $'t_kernel_avg:\t0.530000\t0.950000' \
  $'t_app_avg:\t0.530000\t0.950000' \
  'slope=2.005000e-06, stdev=nan;' 'intercept=3.115000e-04, stdev=nan.' '# of timeouts = 0' '' \
  'udp to 10.9.0.2, ttl=1' \
  $'t_kernel_min:\t0.410000\t' $'t_app_min:\t0.410000\t' $'t_overhead_min:\t0.000000\t' \
  $'t_kernel_avg:\t0.420000\tnan' $'t_app_avg:\t0.420000\tnan' \
  'slope=nan, stdev=nan;' 'intercept=nan, stdev=nan.' '# of timeouts = 3' '' > "$work/one_hop.txt"

# A two-hop run of three sizes with finite figures throughout.
block() {  # PROTO TARGET TTL SLOPE STDEV TIMEOUTS
  printf '%s to %s, ttl=%s\n' "$1" "$2" "$3"
  for label in t_kernel_min t_app_min; do printf '%s:\t0.600000\t0.900000\t1.200000\n' "$label"; done
  printf 't_overhead_min:\t0.000000\t0.000000\t0.000000\n'
  for label in t_kernel_avg t_app_avg; do printf '%s:\t0.610000\t0.910000\t1.210000\n' "$label"; done
  printf 'slope=%s, stdev=%s;\nintercept=1.000000e-04, stdev=2.000000e-07.\n# of timeouts = %s\n\n' "$4" "$5" "$6"
}
{
  block icmp 10.9.1.2 2 1.100000e-05 1.000000e-08 0
  block udp 10.9.1.2 2 8.000000e-06 2.000000e-08 0
  block icmp 10.9.1.2 1 4.000000e-06 1.000000e-08 1
  block icmp 10.9.0.1 1 5.000000e-06 3.000000e-08 1
} > "$work/two_hops.txt"

"$report" --json -s 100,200 "$work/one_hop.txt" > "$work/one_hop.json" || fail "one_hop.txt refused"
"$report" --json -s 600,900,1200 --svg "$work/two_hops.svg" "$work/two_hops.txt" > "$work/two_hops.json" ||
  fail "two_hops.txt refused"
/usr/bin/python3 "$here/check_report.py" schema "$schema" "$work/one_hop.json" "$work/two_hops.json" ||
  fail "JSON does not match the schema"
/usr/bin/python3 "$here/check_report.py" svg "$work/two_hops.svg" || fail "SVG"
grep -q '"v_n_prime": {"rate_bps": null, "uncertainty_bps": null, "relative_uncertainty": null, "text": "nan +/- nan ub/s"}' \
  "$work/one_hop.json" || fail "rates of a sweep without a fit"

# The validation is real: a report with a field removed is refused.
sed 's/"hop_count": 2,//' "$work/two_hops.json" > "$work/broken.json"
if /usr/bin/python3 "$here/check_report.py" schema "$schema" "$work/broken.json" > /dev/null; then
  fail "a report without hop_count passed the schema"
fi

# Refusals: exact message on standard error, nothing on standard output, status 1.
expect_refusal() {  # FILE SIZES MESSAGE
  "$report" -s "$2" "$1" > "$work/out" 2> "$work/err"
  local status=$?
  [ "$status" -eq 1 ] || fail "$1: status $status, expected 1"
  [ ! -s "$work/out" ] || fail "$1: output on a refusal"
  printf '%s\n' "$3" | diff - "$work/err" || fail "$1: message differs"
}
head -n 13 "$work/two_hops.txt" > "$work/cut.txt"
expect_refusal "$work/cut.txt" 600,900,1200 \
  "hoprate-report: $work/cut.txt:14: file ends inside the block of line 11: expected the \"t_overhead_min:\" row"
expect_refusal "$work/two_hops.txt" 600,900 \
  "hoprate-report: $work/two_hops.txt:2: \"t_kernel_min:\" row has 3 fields, expected 2 (one per probe size; give the run's sizes with -s)"
head -c 1000 /dev/urandom > "$work/noise.bin"
"$report" "$work/noise.bin" > /dev/null 2> "$work/err"
[ $? -eq 1 ] || fail "random bytes: status not 1"
grep -q "^hoprate-report: $work/noise.bin:[0-9]*: " "$work/err" || fail "random bytes: no line named"

# Accurate-mode documents: one as the program prints it, JSON Lines of three (every kind of
# hop: silent, links in series, a lower bound, no estimate; figures that are not finite).
mkdir "$work/samples"
"$samples" "$work/samples" || fail "precise_json_samples"
for f in "$golden" "$work/samples/six_hops.json" "$work/samples/non_finite.json"; do
  /usr/bin/python3 -c 'import json, sys; print(json.dumps(json.load(open(sys.argv[1]))))' "$f"
done > "$work/three.jsonl"
"$report" --json --svg "$work/golden.svg" "$golden" > "$work/golden.json" || fail "golden document refused"
"$report" --json --svg "$work/three.svg" "$work/three.jsonl" > "$work/three.json" || fail "JSON Lines refused"
/usr/bin/python3 "$here/check_report.py" schema "$schema" "$work/golden.json" "$work/three.json" ||
  fail "JSON of documents does not match the schema"
/usr/bin/python3 "$here/check_report.py" capacity-svg "$work/golden.svg" 1 || fail "SVG of the golden document"
/usr/bin/python3 "$here/check_report.py" capacity-svg "$work/three.svg" 3 || fail "SVG of JSON Lines"
grep -q 'class="lower-bound"' "$work/three.svg" || fail "no lower bound drawn"
[ "$("$report" --csv "$work/three.jsonl" | wc -l)" -eq 11 ] || fail "CSV of JSON Lines: not a header and 10 links"
# The check is real: a marker moved off its place on the axis fails it.
sed '0,/class="capacity" cx="\([0-9.]*\)" cy="/s//class="capacity" cx="\1" cy="1/' "$work/golden.svg" > "$work/moved.svg"
if /usr/bin/python3 "$here/check_report.py" capacity-svg "$work/moved.svg" 1 > /dev/null; then
  fail "a moved marker passed the axis check"
fi
head -n 20 "$golden" > "$work/cut.json"
"$report" "$work/cut.json" > "$work/out" 2> "$work/err"
[ $? -eq 1 ] && [ ! -s "$work/out" ] || fail "a cut document: not refused with status 1"
echo "hoprate-report: $work/cut.json:21: file ends inside the document of line 1" | diff - "$work/err" ||
  fail "a cut document: message differs"

"$report" --help > "$work/help" || fail "--help status"
grep -q -- '-s LIST' "$work/help" || fail "--help does not explain -s"
echo "PASS"
