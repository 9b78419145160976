#!/usr/bin/env bash
# A real prober in a network namespace (root only):
#   probe ns: lo, 10.62.1.1 -- 10.62.1.2 router ns (forwarding) 10.62.9.1 -> nowhere
# Checks the sockets and their TTLs, target switching, name and dotted-quad
# destinations, the results path from the short host name (the program runs in its own
# UTS namespace with the host name probe.example.test), the set-up refusals with exact
# messages and statuses, and the classification of real replies: echo reply and port
# unreachable on lo, time exceeded for echo and UDP probes from the router.
# usage: prober_netns_test.sh PROBER_CHECK
set -u
checker=$(readlink -f "$1")

# shellcheck source=../lib/netns.sh
. "$(dirname "$0")/../lib/netns.sh"
skip_unless_root "needs root for network namespaces and raw sockets"
test_setup hpn
probe_ns="${tag}p"
router_ns="${tag}r"
failures=0

build() {
  local ns
  for ns in "$probe_ns" "$router_ns"; do
    ns_add "$ns" "127.0.1.2 probe.example.test" "10.62.9.2 far.test" || fail "cannot create namespace $ns"
    # Names that are not in the hosts file fail at once instead of asking anyone.
    printf 'nameserver 127.0.0.1\n' > "/etc/netns/$ns/resolv.conf"
  done
  ns_link "$probe_ns" "${tag}a" 10.62.1.1/24 "$router_ns" "${tag}b" 10.62.1.2/24 || fail "veth"
  in_ns "$probe_ns" ip route add default via 10.62.1.2
  # Beyond the router: a link whose far end never answers.
  in_ns "$router_ns" ip link add "${tag}x" type veth peer name "${tag}y" || fail "veth beyond the router"
  in_ns "$router_ns" ip addr add 10.62.9.1/24 dev "${tag}x"
  in_ns "$router_ns" ip link set "${tag}x" up
  in_ns "$router_ns" ip link set "${tag}y" up
  in_ns "$router_ns" sysctl -qw net.ipv4.ip_forward=1
}

# run HOSTNAME ARGS...: the checker inside the probe namespace under its own host name.
run() {
  local name=$1; shift
  in_ns "$probe_ns" timeout 20 unshare --uts sh -c 'hostname "$0" && exec "$@"' \
    "$name" "$@" > "$work/out" 2> "$work/err"
  echo $? > "$work/status"
}

# expect NAME STATUS STDOUT STDERR: compares the last run exactly.
expect() {
  local name=$1 status=$2 out=$3 err=$4
  local got_status got_out got_err
  got_status=$(cat "$work/status")
  got_out=$(cat "$work/out"; echo x)
  got_err=$(cat "$work/err"; echo x)
  if [ "$got_status" = "$status" ] && [ "$got_out" = "${out}x" ] && [ "$got_err" = "${err}x" ]; then
    echo "ok   $name"
  else
    echo "FAIL $name"
    echo "  status: got $got_status, want $status"
    echo "  stdout got:";  cat "$work/out" | sed 's/^/    |/'
    printf '  stdout want:\n%s' "$out" | sed '2,$s/^/    |/'; echo
    echo "  stderr got:";  cat "$work/err" | sed 's/^/    |/'
    printf '  stderr want:\n%s' "$err" | sed '2,$s/^/    |/'; echo
    failures=$((failures + 1))
  fi
}

build

host=probe.example.test
nl=$'\n'

# --- start-up: sockets, TTL, aim, results path, sizes ---
run $host "$checker" state 127.0.0.1 5 icmp 3 254 1454
expect "dotted quad, icmp" 0 "icmpSocket=open udpSocket=none
ttl=5 icmpTtl=5 udpTtl=- icmp=1
port=0 name=[] address=[127.0.0.1]
resultsPath=[data/rtt_probe-.txt] sizes=254,1454
" ""

run $host "$checker" state far.test 12 udp 25 " 100" 14992 7abc 0
expect "name, udp, size texts" 0 "icmpSocket=open udpSocket=open
ttl=12 icmpTtl=12 udpTtl=12 icmp=0
port=20000 name=[far.test] address=[10.62.9.2]
resultsPath=[data/rtt_probe-far.test.txt] sizes=100,14992,7,0
" ""

# A host name without a domain is used whole.
run localhost "$checker" state localhost 1 icmp 0 100
expect "host name without dot" 0 "icmpSocket=open udpSocket=none
ttl=1 icmpTtl=1 udpTtl=- icmp=1
port=0 name=[localhost] address=[127.0.0.1]
resultsPath=[data/rtt_localhost-localhost.txt] sizes=100
" ""

# --- re-aiming: the UDP socket is made once and keeps its TTL on later icmp calls ---
run $host "$checker" switch far.test
expect "target switching" 0 "-- icmp ttl 4
icmpSocket=open udpSocket=none
ttl=4 icmpTtl=4 udpTtl=- icmp=1
port=0 name=[far.test] address=[10.62.9.2]
-- udp ttl 7
icmpSocket=open udpSocket=open
ttl=7 icmpTtl=7 udpTtl=7 icmp=0
port=20000 name=[far.test] address=[10.62.9.2]
-- icmp ttl 3
icmpSocket=open udpSocket=open
ttl=3 icmpTtl=3 udpTtl=7 icmp=1
port=0 name=[far.test] address=[10.62.9.2]
-- icmp ttl 2 to 127.0.0.1
icmpSocket=open udpSocket=open
ttl=2 icmpTtl=2 udpTtl=7 icmp=1
port=0 name=[] address=[127.0.0.1]
-- udp ttl 9
icmpSocket=open udpSocket=open
ttl=9 icmpTtl=9 udpTtl=9 icmp=0
port=20000 name=[far.test] address=[10.62.9.2]
same sockets: yes
" ""

# --- refusals at set-up ---
for size in 15000 14993 -1 abc ""; do
  run $host "$checker" state 127.0.0.1 5 icmp 3 100 "$size"
  expect "size [$size] refused" 1 "" "illegal datalen!$nl"
done
run $host "$checker" state 127.0.0.1 5 icmp -1 100
expect "negative probes per size" 1 "" "illegal number of probes per size: -1$nl$nl"

# Without the right to open raw sockets: the UDP socket comes first and succeeds.
in_ns "$probe_ns" timeout 20 unshare --uts capsh --drop=cap_net_raw -- -c \
  'hostname probe.example.test && exec "$0" state 127.0.0.1 5 udp 3 100' "$checker" \
  > "$work/out" 2> "$work/err"
echo $? > "$work/status"
expect "raw socket refused" 1 "" "socket: icmp: errno 1$nl"

# A local host name that does not resolve ends the run after the destination is set.
run unlisted.example "$checker" state 127.0.0.1 5 icmp 3 100
if [ "$(cat "$work/status")" = 1 ] && [ ! -s "$work/out" ] &&
   grep -qxE 'gethostbyname: errno [0-9]+' "$work/err" && [ "$(wc -l < "$work/err")" = 1 ]; then
  echo "ok   unresolvable local host name"
else
  echo "FAIL unresolvable local host name"; cat "$work/out" "$work/err"; failures=$((failures + 1))
fi

# --- real replies ---
accepted() { echo "accepted: rttPositive=1 responder=[$1]"; }

run $host "$checker" exchange 127.0.0.1 1 icmp
expect "echo reply on lo" 0 "got my own echo request packet?!
classified 0
classified 1
$(accepted 127.0.0.1)
" ""

run $host "$checker" exchange localhost 1 udp
expect "port unreachable on lo" 0 "classified 1
$(accepted 127.0.0.1)
" ""

run $host "$checker" exchange far.test 1 icmp
expect "time exceeded for an echo probe" 0 "classified 1
$(accepted 10.62.1.2)
" ""

run $host "$checker" exchange 10.62.9.2 1 udp
expect "time exceeded for a udp probe" 0 "classified 1
$(accepted 10.62.1.2)
" ""

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
