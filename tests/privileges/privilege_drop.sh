#!/usr/bin/env bash
# Runs a copy of hoprate toward a silent address and reads /proc/PID/status while it waits
# for its first reply: after start-up no capability and no borrowed identity may remain,
# and the results file belongs to the user who ran it.
#   src 10.62.1.1 -- 10.62.1.2 sink; 10.62.9.0/24 is routed into a black hole at sink.
# usage: privilege_drop.sh MODE HOPRATE
#   filecap  copy with cap_net_raw+ep, run as nobody
#   setuid   copy owned by root with the set-user-id bit, run as nobody
#   root     run as root
#   nocap    copy without any file capability, run as nobody: refused at the raw socket
set -u
mode=$1
hoprate=$(readlink -f "$2")

# shellcheck source=../lib/netns.sh
. "$(dirname "$0")/../lib/netns.sh"
skip_unless_root "needs root for network namespaces, setcap and setpriv"
test_setup hpd
src="${tag}src"
sink="${tag}sink"

for ns in "$src" "$sink"; do
  ns_add "$ns" || fail "cannot create namespace $ns"
done
ns_link "$src" "${tag}a" 10.62.1.1/24 "$sink" "${tag}b" 10.62.1.2/24 || fail "veth"
ip netns exec "$sink" sysctl -qw net.ipv4.ip_forward=1
ip -n "$src" route add default via 10.62.1.2
ip -n "$sink" route add blackhole 10.62.9.0/24

# The copy lives where the unprivileged user can reach and execute it.
chmod 755 "$work"
cp "$hoprate" "$work/hoprate"
chmod 755 "$work/hoprate"
mkdir "$work/data"
as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
owner=nobody
case "$mode" in
filecap) setcap cap_net_raw+ep "$work/hoprate" || fail "setcap" ;;
setuid)  chmod 4755 "$work/hoprate" ;;
root)    as_user=(); owner=root ;;
nocap)   ;;
*)       fail "unknown mode $mode" ;;
esac
[ "$owner" = root ] || chown nobody:nogroup "$work/data"

# Starts the run in the background under timeout, whose one child is the run: ip netns exec
# and setpriv exec the program in place. One size, one probe per sweep, 3 s per probe.
run_start 60 ip netns exec "$src" "${as_user[@]}" ./hoprate -t 1 -i 1 -s 100 -o 3 10.62.9.9

hoprate_pid=""
field() { awk -v k="$1:" '$1 == k { print $2; exit }' "/proc/$hoprate_pid/status" 2>/dev/null; }

if [ "$mode" = nocap ]; then
  run_wait
  [ "$status" -eq 1 ] || fail "exit status $status, expected 1"
  printf 'socket: icmp: errno 1\n' > "$work/expected_err"
  diff "$work/expected_err" "$work/err" || fail "stderr differs"
  [ -z "$(ls "$work/data")" ] || fail "a refused run must write no results file"
  echo "PASS: $mode"
  exit 0
fi

# Waits (at most 5 s) until the process runs hoprate and holds no permitted capability.
dropped=""
for _ in $(seq 50); do
  [ -n "$hoprate_pid" ] || hoprate_pid=$(pgrep -P "$run_pid" | head -n 1)
  if [ -n "$hoprate_pid" ] && [ "$(cat "/proc/$hoprate_pid/comm" 2>/dev/null)" = hoprate ] && [ "$(field CapPrm)" = 0000000000000000 ]; then
    dropped=yes
    break
  fi
  sleep 0.1
done
[ -n "$dropped" ] || fail "the permitted set was not emptied after start-up ($(field CapPrm))"
sleep 0.5
status_copy="$work/status"
cp "/proc/$hoprate_pid/status" "$status_copy" || fail "the run ended before its first time-out"
cat "$status_copy" | grep -E '^(Uid|Gid|Cap)'

zero=0000000000000000
for cap in CapInh CapPrm CapEff CapAmb; do
  value=$(awk -v k="$cap:" '$1 == k { print $2 }' "$status_copy")
  [ "$value" = "$zero" ] || fail "$cap is $value, expected $zero"
done
bounding=$(awk '$1 == "CapBnd:" { print $2 }' "$status_copy")
case "$mode" in
# Only cap_net_raw was granted: without CAP_SETPCAP the bounding set cannot shrink, and an
# empty permitted set with no set-user-id identity leaves nothing it could be used for.
filecap) ;;
*) [ "$bounding" = "$zero" ] || fail "CapBnd is $bounding, expected $zero" ;;
esac
uid=$(id -u "$owner")
gid=$(id -g "$owner")
awk -v u="$uid" '$1 == "Uid:" { exit !($2 == u && $3 == u && $4 == u && $5 == u) }' "$status_copy" ||
  fail "user ids are not all $uid"
awk -v g="$gid" '$1 == "Gid:" { exit !($2 == g && $3 == g && $4 == g && $5 == g) }' "$status_copy" ||
  fail "group ids are not all $gid"

run_wait
[ "$status" -eq 0 ] || fail "exit status $status, expected 0"
printf 'seq 0 timed out\nseq 1 timed out\n' > "$work/expected_err"
diff "$work/expected_err" "$work/err" || fail "stderr differs"
file="$work/data/rtt_$(hostname | cut -d. -f1)-.txt"
[ -f "$file" ] || fail "no results file $file"
[ "$(stat -c %U:%u "$file")" = "$owner:$uid" ] || fail "results file owned by $(stat -c %U "$file"), expected $owner"
[ "$(grep -c '^icmp to 10.62.9.9, ttl=1$\|^udp to 10.62.9.9, ttl=1$' "$file")" -eq 2 ] || fail "two blocks expected"
echo "PASS: $mode"
