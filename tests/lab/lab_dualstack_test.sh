#!/usr/bin/env bash
# The path lab built with --ipv6 does over IPv6 what its attributes say, and the
# attributes noecho and tcp=PORT work over both versions. As root (skips with 77
# otherwise). One five-link dual-stack path, probed from its source:
#   link 1  10M/0:quote=28            r1's ICMPv6 time exceeded: 96 bytes (48 of quote)
#   link 2  10M/0:quote=all:noecho    r2 quotes a 1400-byte probe whole (1448 bytes), answers
#                                     no echo request (v4, v6) but still time exceeded
#   link 3  10M/0:icmp-limit=1000     r3 quotes Linux-style (1280-byte messages) and is rate
#                                     limited over IPv6 too (a burst of 6, then 1/s)
#   link 4  10M/0:silent              r4 sends no ICMPv6 time exceeded but forwards; it sends
#                                     packet too big (MTU 1280) for a 1400-byte probe
#   link 5  10M/0:mtu=1280:tcp=8080   the destination: SYN-ACK on 8080, RST on 8081, v4 and v6
# Then a dual-stack path whose destination ignores echo (it still sends port unreachable),
# and an IPv4-only path: IPv6 off, no IPv6 name, `dest -6` refused, its TCP listener
# stopped by `down` even when the lab's record of it is gone.
# usage: lab_dualstack_test.sh LAB_SCRIPT LINKEMU
set -u
lab=$1
export HOPRATE_LINKEMU=$2
probe_py=$(cd "$(dirname "$0")" && pwd)/lab_probe.py

# shellcheck source=../lib/netns.sh
. "$(dirname "$0")/../lib/netns.sh"
# shellcheck source=lab_helpers.sh
. "$(dirname "$0")/lab_helpers.sh"
skip_unless_root "the path lab needs root"
test_setup hrds
export HOPRATE_LAB_PREFIX=$tag
lab_down() { "$lab" down >/dev/null 2>&1; }
at_exit lab_down

# names WORD ADDRESS...: in the source namespace, WORD resolves to exactly these addresses, in order.
names() {
    local name=$1 got
    shift
    got=$("$lab" exec getent ahosts "$name" | awk '$2 == "STREAM" { print $1 }' | tr '\n' ' ')
    [ "$got" = "$* " ] || fail "$name resolves to '$got', expected '$* '"
}

"$lab" up --ipv6 --links 10M/0:quote=28,10M/0:quote=all:noecho,10M/0:icmp-limit=1000,10M/0:silent,10M/0:mtu=1280:tcp=8080 \
    --lifetime 300s >"$work/status" 2>&1 || { cat "$work/status"; fail "the dual-stack lab did not come up"; }
dest4=$("$lab" dest)
dest6=$("$lab" dest -6)
[ "$dest4 $dest6" = "10.77.5.2 fd77:0:0:5::2" ] || fail "dest: '$dest4', dest -6: '$dest6'"
grep -q "^lab $tag: 5 links, IPv4 and IPv6, source $tag-src (10.77.1.1, fd77:0:0:1::1), destination $tag-dst (10.77.5.2, fd77:0:0:5::2)\$" "$work/status" ||
    { cat "$work/status"; fail "status header"; }
for line in "1 fd77:0:0:1::2 quote=28" "2 fd77:0:0:2::2 quote=all noecho" "3 fd77:0:0:3::2 icmp-limit=1000" \
    "4 fd77:0:0:4::2 silent" "5 fd77:0:0:5::2 mtu=1280 tcp=8080"; do
    read -r hop address attributes <<<"$line"
    grep -q "^$hop  *$tag-[a-z0-9]*  *10.77.$hop.2  *$address .*yes .*  $attributes\$" "$work/status" ||
        { cat "$work/status"; fail "status lacks '$line'"; }
done
echo "ok: dest -6 and status show the IPv6 addresses"
names dest.lab fd77:0:0:5::2 10.77.5.2
names dest6.lab fd77:0:0:5::2
names dest4.lab 10.77.5.2
echo "ok: dest.lab, dest6.lab and dest4.lab"

probe echo6 echo "$dest6" --length 100 --count 3 --interval 0.05 --wait 0.5
expect echo6 "reply seq=0 from=$dest6 type=129 code=0 len=100 quote=0 whole=0
reply seq=1 from=$dest6 type=129 code=0 len=100 quote=0 whole=0
reply seq=2 from=$dest6 type=129 code=0 len=100 quote=0 whole=0
sent=3 answers=3"

# Time exceeded from each router: cut to 48 bytes of quote, the whole probe, Linux's own.
probe quote28-v6 udp "$dest6" --length 1000 --ttl 1 --wait 0.5
expect quote28-v6 "reply seq=0 from=fd77:0:0:1::2 type=3 code=0 len=96 quote=48 whole=0
sent=1 answers=1"
probe quote-all-v6 udp "$dest6" --length 1400 --ttl 2 --wait 0.5
expect quote-all-v6 "reply seq=0 from=fd77:0:0:2::2 type=3 code=0 len=1448 quote=1400 whole=1
sent=1 answers=1"
probe quote-linux-v6 udp "$dest6" --length 1400 --ttl 3 --wait 0.5
expect quote-linux-v6 "reply seq=0 from=fd77:0:0:3::2 type=3 code=0 len=1280 quote=1232 whole=0
sent=1 answers=1"
probe silent-v6 udp "$dest6" --length 100 --ttl 4 --count 5 --interval 0.05 --wait 0.5
expect silent-v6 "sent=5 answers=0"

# The 1400-byte probes crossed links 1 to 4 (MTU 1500); link 5 (MTU 1280) does not take
# them: r4, silent but for time exceeded, says so. What fits reaches the destination.
probe too-big-v6 udp "$dest6" --length 1400 --wait 0.5
expect too-big-v6 "reply seq=0 from=fd77:0:0:4::2 type=2 code=0 len=1280 quote=1232 whole=0 mtu=1280
sent=1 answers=1"
probe too-big-v4 udp "$dest4" --length 1400 --df --wait 0.5
expect too-big-v4 "reply seq=0 from=10.77.4.2 type=3 code=4 len=576 quote=548 whole=0 mtu=1280
sent=1 answers=1"
probe fits-v6 udp "$dest6" --length 1280 --wait 0.5
expect fits-v6 "reply seq=0 from=$dest6 type=1 code=4 len=1280 quote=1232 whole=0
sent=1 answers=1"

# noecho: r2 answers no echo request, but its time-exceeded messages still come.
for address in fd77:0:0:2::2 10.77.2.2; do
    probe "noecho-$address" echo "$address" --length 100 --count 3 --interval 0.05 --wait 0.5
    expect "noecho-$address" "sent=3 answers=0"
done
probe noecho-exceeded-v4 echo "$dest4" --length 100 --ttl 2 --wait 0.5
expect noecho-exceeded-v4 "reply seq=0 from=10.77.2.2 type=11 code=0 len=128 quote=100 whole=1
sent=1 answers=1"

# tcp=8080 on the destination, over both versions.
for address in "$dest4" "$dest6"; do
    probe "tcp-open-$address" tcp "$address" --port 8080 --wait 0.5
    expect "tcp-open-$address" "reply seq=0 from=$address tcp=SA
sent=1 answers=1"
    probe "tcp-closed-$address" tcp "$address" --port 8081 --wait 0.5
    expect "tcp-closed-$address" "reply seq=0 from=$address tcp=RA
sent=1 answers=1"
done

# icmp-limit=1000 sets both limits. r3 answered one probe above, more than a second ago:
# its IPv6 bucket is full again (6 messages); 20 probes in one second get the burst and
# at most a refill or two.
limits=$(in_ns "$tag-r3" sysctl -n net.ipv4.icmp_ratelimit net.ipv6.icmp.ratelimit | tr '\n' ' ')
[ "$limits" = "1000 1000 " ] || fail "r3's IPv4 and IPv6 rate limits: $limits"
probe ratelimit-v6 udp "$dest6" --length 60 --ttl 3 --count 20 --interval 0.05 --wait 0.5
answers=$(sed -n 's/^sent=20 answers=//p' "$work/ratelimit-v6")
[ -n "$answers" ] && [ "$answers" -ge 4 ] && [ "$answers" -le 8 ] ||
    fail "20 IPv6 probes at 20/s to the icmp-limit=1000 router got ${answers:-?} answers, expected 4 to 8"
echo "ok: icmp-limit=1000 over IPv6: $answers of 20 probes answered"

# A destination that ignores echo still says its port is unreachable.
"$lab" up --ipv6 --links 10M/0,10M/0:noecho --lifetime 300s >"$work/status" 2>&1 ||
    { cat "$work/status"; fail "the noecho lab did not come up"; }
for address in 10.77.2.2 fd77:0:0:2::2; do
    probe "noecho-dest-$address" echo "$address" --length 100 --count 3 --interval 0.05 --wait 0.5
    expect "noecho-dest-$address" "sent=3 answers=0"
done
probe noecho-unreachable-v6 udp fd77:0:0:2::2 --length 100 --wait 0.5
expect noecho-unreachable-v6 "reply seq=0 from=fd77:0:0:2::2 type=1 code=4 len=148 quote=100 whole=1
sent=1 answers=1"
probe noecho-unreachable-v4 udp 10.77.2.2 --length 100 --wait 0.5
expect noecho-unreachable-v4 "reply seq=0 from=10.77.2.2 type=3 code=3 len=128 quote=100 whole=1
sent=1 answers=1"

# Without --ipv6: IPv6 is off and has no names; the TCP listener answers over IPv4.
"$lab" up --links 10M/0,10M/0:tcp=7 --lifetime 300s >"$work/status" 2>&1 ||
    { cat "$work/status"; fail "the IPv4 lab did not come up"; }
grep -q "^lab $tag: 2 links, source $tag-src (10.77.1.1), destination $tag-dst (10.77.2.2)\$" "$work/status" ||
    { cat "$work/status"; fail "status header of an IPv4 lab"; }
[ "$(in_ns "$tag-dst" sysctl -n net.ipv6.conf.all.disable_ipv6)" = 1 ] || fail "IPv6 is on in $tag-dst"
[ -z "$(ip -n "$tag-dst" -6 addr show dev hrl2)" ] || fail "hrl2 has IPv6 addresses: $(ip -n "$tag-dst" -6 addr)"
names dest.lab 10.77.2.2
"$lab" exec getent ahosts dest6.lab >/dev/null && fail "dest6.lab resolves on an IPv4 lab"
out=$("$lab" dest -6 2>&1)
[ $? -eq 1 ] && [ "$out" = "hoprate-lab: lab '$tag' has no IPv6 (build it with up --ipv6)" ] || fail "dest -6: $out"
out=$("$lab" dest -5 2>&1)
[ $? -eq 1 ] && [ "$out" = "hoprate-lab: dest takes -4 or -6, not '-5'" ] || fail "dest -5: $out"
[ "$("$lab" dest -4)" = 10.77.2.2 ] || fail "dest -4"
probe tcp-v4-only tcp 10.77.2.2 --port 7 --wait 0.5
expect tcp-v4-only "reply seq=0 from=10.77.2.2 tcp=SA
sent=1 answers=1"
echo "ok: an IPv4 lab"

# down stops the listener by its tag even when its PID file is gone, and is safe to repeat.
listener=$(cat "/run/hoprate-lab/$tag/tcp2.pid")
tr '\0' ' ' <"/proc/$listener/cmdline" | grep -qF -- "--tag hoprate-lab:$tag:tcp2" || fail "the listener $listener is not running"
rm "/run/hoprate-lab/$tag/tcp2.pid"
"$lab" down || fail "down: status $?"
"$lab" down || fail "a second down: status $?"
for _ in $(seq 1 20); do
    [ -e "/proc/$listener" ] || break
    sleep 0.1
done
[ -e "/proc/$listener" ] && fail "the listener $listener survived down"
ip netns list | grep -q "^$tag-" && fail "namespaces left: $(ip netns list | grep "^$tag-")"
compgen -G "/etc/netns/$tag-*" >/dev/null && fail "/etc/netns entries left"
echo "ok: down stops the listener"
echo "PASS"
