#!/usr/bin/env bash
# hoprate-report on hostile input, the whole program: memory stays bounded (100 MB of line
# ends, an endless line, and for JSON an endless line, document and nesting, each under a
# 1 GB address-space limit, end quickly with a message and status 1), CSV fields are quoted
# as RFC 4180 says, and the table shows no control character raw.
# usage: report_hostile.sh HOPRATE_REPORT
set -u
report=$(readlink -f "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# limited SECONDS COMMAND...: under the address-space limit and a time limit; status in status.
limited() {
  local seconds=$1
  shift
  timeout -k 5 "$seconds" prlimit --as=1000000000 -- "$@" > "$work/out" 2> "$work/err"
  status=$?
}

# 100 MB of line ends from a pipe: refused at line 1 (read to the end, in case a JSON
# document followed the blank lines).
limited 30 bash -c 'exec "$0" <(head -c 100000000 /dev/zero | tr "\0" "\n")' "$report"
[ "$status" -eq 1 ] || fail "100 MB of line ends: status $status, expected 1"
grep -q '^hoprate-report: /dev/fd/[0-9]*:1: expected a block header "icmp to ..." or "udp to ...", found ""$' \
  "$work/err" || fail "100 MB of line ends: $(head -c 300 "$work/err")"

# One endless line.
limited 30 "$report" /dev/zero
[ "$status" -eq 1 ] || fail "endless line: status $status, expected 1"
[ "$(cat "$work/err")" = "hoprate-report: /dev/zero:1: line longer than 1048576 bytes" ] ||
  fail "endless line: $(head -c 300 "$work/err")"

# Accurate-mode JSON from a pipe: an endless line, a document without end (each line
# small, the whole beyond 4 MiB), brackets nested without end, and thousands of hops.
limited 30 bash -c 'exec "$0" <(printf "{\"destination\": \""; head -c 100000000 /dev/zero | tr "\0" x)' "$report"
[ "$status" -eq 1 ] || fail "endless JSON line: status $status, expected 1"
grep -q '^hoprate-report: /dev/fd/[0-9]*:1: line longer than 1048576 bytes$' "$work/err" ||
  fail "endless JSON line: $(head -c 300 "$work/err")"
limited 30 bash -c 'exec "$0" <(echo "{"; yes "\"probes_sent\": 1," | head -n 10000000)' "$report"
[ "$status" -eq 1 ] || fail "endless document: status $status, expected 1"
grep -q '^hoprate-report: /dev/fd/[0-9]*:[0-9]*: the document of line 1 is longer than 4194304 bytes$' "$work/err" ||
  fail "endless document: $(head -c 300 "$work/err")"
limited 30 bash -c 'exec "$0" <(echo "{\"a\":"; yes "[" | head -n 10000000)' "$report"
[ "$status" -eq 1 ] || fail "deep nesting: status $status, expected 1"
[ "$(sed 's/^[^:]*:[^:]*:/F:/' "$work/err")" = "F:65: nested deeper than 64 levels" ] ||
  fail "deep nesting: $(head -c 300 "$work/err")"
hop='{"hop": 1, "address": "10.9.1.1", "method": "echo-router", "protocol": "icmp", "capacity_bps": 1e6, "ci90_bps": null, "lower_bound": false, "merged_from": null}'
{
  printf '{"destination": "d", "address": "10.9.1.1", "family": "ipv4", "destination_reached": true, '
  printf '"probes_sent": 1, "wall_s": 1, "hops": [%s' "$hop"
  for i in $(seq 2 5000); do printf ', %s' "${hop/\"hop\": 1/\"hop\": $i}"; done
  printf ']}\n'
} > "$work/many_hops.json"
limited 30 "$report" "$work/many_hops.json"
[ "$status" -eq 1 ] || fail "5000 hops: status $status, expected 1"
[ "$(cat "$work/err")" = "hoprate-report: $work/many_hops.json:1: hops: 5000 hops: a path has at most 255" ] ||
  fail "5000 hops: $(head -c 300 "$work/err")"

# A one-hop run whose target holds an escape sequence, a comma and a quote.
target=$'10.9.0.2,"\e[2J"'
{
  for proto in icmp udp; do
    printf '%s to %s, ttl=1\n' "$proto" "$target"
    for label in t_kernel_min t_app_min; do printf '%s:\t0.600000\t0.900000\n' "$label"; done
    printf 't_overhead_min:\t0.000000\t0.000000\n'
    for label in t_kernel_avg t_app_avg; do printf '%s:\t0.610000\t0.910000\n' "$label"; done
    printf 'slope=%s, stdev=1.000000e-08;\nintercept=1.000000e-04, stdev=2.000000e-07.\n# of timeouts = 0\n\n' \
      "$([ "$proto" = icmp ] && echo 5.000000e-06 || echo 1.000000e-06)"
  done
} > "$work/odd.txt"
"$report" --csv -s 100,200 "$work/odd.txt" > "$work/csv" || fail "CSV refused the file"
printf '%s\n' "hop,address,v_n_bps,v_n_uncertainty_bps,v_n_prime_bps,v_n_prime_uncertainty_bps" \
  $'1,"10.9.0.2,""\e[2J""",8000000,131600,2000000,11631.90655' | diff - "$work/csv" || fail "CSV differs"
"$report" -s 100,200 "$work/odd.txt" > "$work/table" || fail "table refused the file"
! LC_ALL=C grep -q $'\e' "$work/table" || fail "an escape character reached the table"
grep -q '^  1  10.9.0.2,"?\[2J"  ' "$work/table" || fail "table: $(cat "$work/table")"
echo "PASS"
