#!/usr/bin/env bash
# A real run of hoprate over a routed path of network namespaces, then hoprate-report on
# the results file it wrote: the report's rates and uncertainties must agree with the
# lines the run printed, to the printed digits (the file keeps seven significant digits
# of every slope, so the allowance grows where a rate comes from a small difference).
#   src 10.64.1.1 -- 10.64.1.2 r1 10.64.2.1 -- 10.64.2.2 r2 10.64.3.1 -- 10.64.3.2 dst
# usage: report_real_run.sh HOPRATE HOPRATE_REPORT SCHEMA
set -u
hoprate=$(readlink -f "$1")
report=$(readlink -f "$2")
schema=$(readlink -f "$3")
here=$(cd "$(dirname "$0")" && pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: needs root for network namespaces"
  exit 77
fi
if ! /usr/bin/python3 -c 'import jsonschema' 2>/dev/null; then
  echo "SKIP: /usr/bin/python3 has no jsonschema module (Debian package python3-jsonschema)"
  exit 77
fi

tag="hrr$$"
nss=("${tag}src" "${tag}r1" "${tag}r2" "${tag}dst")
work=$(mktemp -d)
run_pid=""

cleanup() {
  [ -n "$run_pid" ] && kill "$run_pid" 2>/dev/null && wait "$run_pid" 2>/dev/null
  for ns in "${nss[@]}"; do
    ip netns del "$ns" 2>/dev/null
    rm -rf "/etc/netns/$ns"
  done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- run stdout"; cat "$work/out" 2>/dev/null
  echo "--- run stderr"; cat "$work/err" 2>/dev/null
  exit 1
}

for ns in "${nss[@]}"; do
  ip netns add "$ns" || fail "cannot create namespace $ns"
  mkdir -p "/etc/netns/$ns"
  printf '127.0.0.1 localhost\n127.0.1.1 %s\n' "$(hostname)" > "/etc/netns/$ns/hosts"
  ip -n "$ns" link set lo up
  ip netns exec "$ns" sysctl -qw net.ipv4.icmp_ratelimit=0
done
for i in 1 2 3; do
  left=${nss[$((i - 1))]} right=${nss[$i]}
  ip link add "${tag}a$i" netns "$left" type veth peer name "${tag}b$i" netns "$right" || fail "veth $i"
  ip -n "$left" addr add "10.64.$i.1/24" dev "${tag}a$i"
  ip -n "$right" addr add "10.64.$i.2/24" dev "${tag}b$i"
  ip -n "$left" link set "${tag}a$i" up
  ip -n "$right" link set "${tag}b$i" up
done
ip netns exec "${nss[1]}" sysctl -qw net.ipv4.ip_forward=1
ip netns exec "${nss[2]}" sysctl -qw net.ipv4.ip_forward=1
ip -n "${nss[0]}" route add default via 10.64.1.2
ip -n "${nss[1]}" route add 10.64.3.0/24 via 10.64.2.2
ip -n "${nss[2]}" route add default via 10.64.2.1
ip -n "${nss[3]}" route add default via 10.64.3.1

mkdir "$work/data"
(cd "$work" && exec timeout -k 5 120 ip netns exec "${nss[0]}" "$hoprate" -i 3 -s 600,900,1200 -o 0.5 -t 3 \
   10.64.3.2 >"$work/out" 2>"$work/err") &
run_pid=$!
wait "$run_pid"
status=$?
run_pid=""
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
[ "$(grep -cE '^  [123]  10\.64\.[0-9]\.2  ' "$work/table")" -eq 3 ] || fail "table: $(cat "$work/table")"
"$report" -s 600,900,1200 --csv "$file" > "$work/csv" || fail "csv"
[ "$(cut -d, -f1,2 "$work/csv" | tr '\n' ' ')" = "hop,address 3,10.64.3.2 2,10.64.2.2 1,10.64.1.2 " ] ||
  fail "csv: $(cat "$work/csv")"
echo "PASS"
