#!/usr/bin/env bash
# End-to-end runs of the real hoprate over a routed path of network namespaces:
#   src 10.61.1.1 -- 10.61.1.2 r1 10.61.2.1 -- 10.61.2.2 r2 10.61.3.1 -- 10.61.3.2 dst
# The destination is also known by the name "dsthost" inside src. 10.61.9.0/24 is routed
# into a black hole at r1, so probes to it are never answered.
# usage: routed_path.sh MODE HOPRATE   (MODE: full | silent | no-router | unprivileged)
set -u
mode=$1
hoprate=$(readlink -f "$2")

# shellcheck source=../lib/netns.sh
. "$(dirname "$0")/../lib/netns.sh"
skip_unless_root "needs root for network namespaces"
test_setup hre
nss=("${tag}src" "${tag}r1" "${tag}r2" "${tag}dst")

build_path() {
  local i ns
  for ns in "${nss[@]}"; do
    ns_add "$ns" "10.61.3.2 dsthost" || fail "cannot create namespace $ns"
  done
  for i in 1 2 3; do
    ns_link "${nss[$((i - 1))]}" "${tag}a$i" "10.61.$i.1/24" "${nss[$i]}" "${tag}b$i" "10.61.$i.2/24" ||
      fail "veth $i"
  done
  in_ns "${nss[1]}" sysctl -qw net.ipv4.ip_forward=1
  in_ns "${nss[2]}" sysctl -qw net.ipv4.ip_forward=1
  in_ns "${nss[0]}" ip route add default via 10.61.1.2
  in_ns "${nss[1]}" ip route add 10.61.3.0/24 via 10.61.2.2
  in_ns "${nss[1]}" ip route add blackhole 10.61.9.0/24
  in_ns "${nss[2]}" ip route add default via 10.61.2.1
  in_ns "${nss[3]}" ip route add default via 10.61.3.1
}

# Runs hoprate in the source namespace from the work directory, with a hard time limit.
run_hoprate() {
  run_limited "$limit" ip netns exec "${nss[0]}" "$@"
}

build_path
mkdir -p "$work/data"
host=$(hostname | cut -d. -f1)

case "$mode" in
full)
  limit=120
  run_hoprate "$hoprate" -v -i 3 -s 254,854,1454 -o 0.5 -t 3 dsthost
  [ "$status" -eq 0 ] || fail "exit status $status, expected 0"
  # The 2n sweeps, in order, with their protocol, target and TTL (one line per size).
  grep '^sending' "$work/out" | uniq > "$work/sweeps"
  cat > "$work/expected_sweeps" <<EOT
sending icmp echo packets to dsthost [10.61.3.2] with 254 bytes of data, ttl=3
sending icmp echo packets to dsthost [10.61.3.2] with 854 bytes of data, ttl=3
sending icmp echo packets to dsthost [10.61.3.2] with 1454 bytes of data, ttl=3
sending udp packets to dsthost [10.61.3.2] with 254 bytes of data, ttl=3
sending udp packets to dsthost [10.61.3.2] with 854 bytes of data, ttl=3
sending udp packets to dsthost [10.61.3.2] with 1454 bytes of data, ttl=3
sending icmp echo packets to dsthost [10.61.3.2] with 254 bytes of data, ttl=2
sending icmp echo packets to dsthost [10.61.3.2] with 854 bytes of data, ttl=2
sending icmp echo packets to dsthost [10.61.3.2] with 1454 bytes of data, ttl=2
sending icmp echo packets to  [10.61.2.2] with 254 bytes of data, ttl=2
sending icmp echo packets to  [10.61.2.2] with 854 bytes of data, ttl=2
sending icmp echo packets to  [10.61.2.2] with 1454 bytes of data, ttl=2
sending icmp echo packets to dsthost [10.61.3.2] with 254 bytes of data, ttl=1
sending icmp echo packets to dsthost [10.61.3.2] with 854 bytes of data, ttl=1
sending icmp echo packets to dsthost [10.61.3.2] with 1454 bytes of data, ttl=1
sending icmp echo packets to  [10.61.1.2] with 254 bytes of data, ttl=1
sending icmp echo packets to  [10.61.1.2] with 854 bytes of data, ttl=1
sending icmp echo packets to  [10.61.1.2] with 1454 bytes of data, ttl=1
EOT
  diff "$work/expected_sweeps" "$work/sweeps" || fail "sweeps differ from the expected order"
  # Every kind of reply was seen: echo replies, time exceeded for echo and UDP, port unreachable.
  grep -q '^time exceeded from 10.61.2.2: ' "$work/out" || fail "no time exceeded from r2"
  grep -q '^udp time exceeded from\|^port unreachable: ' "$work/out" || fail "no UDP replies"
  grep -q '^port unreachable: ' "$work/out" || fail "no port unreachable from the destination"
  [ "$(grep -c '^analyze$' "$work/out")" -eq 6 ] || fail "expected 6 analyses"
  rates=$(grep -cE "^v_n = -?[0-9.a-z]+ \+/- -?[0-9.a-z]+ [MKmu]?b/s, v_n' = -?[0-9.a-z]+ \+/- -?[0-9.a-z]+ [MKmu]?b/s$" "$work/out")
  [ "$rates" -eq 3 ] || fail "expected 3 per-hop lines, got $rates"
  [ "$(grep -c '^k1=' "$work/out")" -eq 3 ] || fail "expected 3 verbose slope lines"
  grep -q '^k1=0.000000e+00, k2=.*, k1p=0.000000e+00, k2p=' "$work/out" || fail "last pass must show zero near-hop slopes"
  ! grep -v 'timed out$' "$work/err" >/dev/null || fail "unexpected complaints on stderr"
  grep "^v_n = " "$work/out"
  file="$work/data/rtt_${host}-dsthost.txt"
  [ -f "$file" ] || fail "no results file $file"
  grep -E '^(icmp|udp) to ' "$file" > "$work/blocks"
  printf '%s\n' "icmp to 10.61.3.2, ttl=3" "udp to 10.61.3.2, ttl=3" "icmp to 10.61.3.2, ttl=2" \
    "icmp to 10.61.2.2, ttl=2" "icmp to 10.61.3.2, ttl=1" "icmp to 10.61.1.2, ttl=1" > "$work/expected_blocks"
  diff "$work/expected_blocks" "$work/blocks" || fail "result blocks differ"
  [ "$(grep -c '^# of timeouts = ' "$file")" -eq 6 ] || fail "expected 6 time-out lines"
  ;;
silent)
  limit=60
  run_hoprate "$hoprate" -i 2 -s 100,200 -o 0.2 -t 1 10.61.9.9
  [ "$status" -eq 0 ] || fail "exit status $status, expected 0"
  printf 'seq %d timed out\n' 0 1 2 3 4 5 6 7 > "$work/expected_err"
  diff "$work/expected_err" "$work/err" || fail "time-out lines differ"
  grep -q '^# of timeouts: 4$' "$work/out" || fail "no running total 4"
  grep -q '^# of timeouts: 8$' "$work/out" || fail "no running total 8"
  grep -q "^v_n = nan +/- nan ub/s, v_n' = nan +/- nan ub/s$" "$work/out" || fail "rates of a silent path"
  file="$work/data/rtt_${host}-.txt"
  [ "$(grep -c $'^t_kernel_avg:\tnan\tnan$' "$file")" -eq 2 ] || fail "averages of sizes without replies"
  ;;
no-router)
  limit=60
  run_hoprate "$hoprate" -i 2 -s 100,200 -o 0.2 -t 2 10.61.9.9
  [ "$status" -eq 1 ] || fail "exit status $status, expected 1"
  grep -qx 'no reply from hop 1: no router address to probe' "$work/err" || fail "missing message"
  [ "$(grep -c 'timed out$' "$work/err")" -eq 12 ] || fail "expected 12 time-outs before giving up"
  ;;
unprivileged)
  limit=30
  run_hoprate setpriv --reuid=65534 --regid=65534 --clear-groups "$hoprate" -t 1 10.61.3.2
  [ "$status" -eq 1 ] || fail "exit status $status, expected 1"
  printf 'socket: icmp: errno 1\n' > "$work/expected_err"
  diff "$work/expected_err" "$work/err" || fail "stderr differs"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
echo "PASS: $mode"
