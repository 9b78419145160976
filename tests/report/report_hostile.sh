#!/usr/bin/env bash
# hoprate-report on hostile input, the whole program: memory stays bounded (100 MB of line
# ends and an endless line, each under a 1 GB address-space limit, end quickly with a
# message and status 1), CSV fields are quoted as RFC 4180 says, and the table shows no
# control character raw.
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

# 100 MB of line ends from a pipe: refused at line 1, long before the end.
limited 30 bash -c 'exec "$0" <(head -c 100000000 /dev/zero | tr "\0" "\n")' "$report"
[ "$status" -eq 1 ] || fail "100 MB of line ends: status $status, expected 1"
grep -q '^hoprate-report: /dev/fd/[0-9]*:1: expected a block header "icmp to ..." or "udp to ...", found ""$' \
  "$work/err" || fail "100 MB of line ends: $(head -c 300 "$work/err")"

# One endless line.
limited 30 "$report" /dev/zero
[ "$status" -eq 1 ] || fail "endless line: status $status, expected 1"
[ "$(cat "$work/err")" = "hoprate-report: /dev/zero:1: line longer than 1048576 bytes" ] ||
  fail "endless line: $(head -c 300 "$work/err")"

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
