#!/usr/bin/env bash
# The path lab's per-link attributes do what `hoprate-lab --help` says. Malformed link
# texts are refused with their message (no root needed); then, as root, one four-link path
# carries every attribute, and probes from its source check each one:
#   link 1  10M/0:quote=28                 r1's time-exceeded messages are 56 bytes long
#   link 2  1M/0:l2=1:icmp-limit=1000      r2 quotes Linux-style (576-byte messages), is
#                                          rate limited (burst of 6, then 1/s), echo is not;
#                                          the hidden device doubles the link's serialization
#   link 3  4M/0:silent:back=500K          r3 sends no time-exceeded, still forwards and
#                                          answers echo; replies cross link 3 at 500 kbit/s
#   link 4  10M/0:mtu=1280:quote=all       both devices have MTU 1280; the destination's
#                                          port unreachable quotes the whole probe, at most
#                                          1280 bytes of message
# Round trips are checked against the emulated serialization times with loose bounds
# (never shorter, at most 10 ms longer). A second path checks that --short-quote sets
# every node's default and a link's quote= overrides it; a third, dual-stack, that a
# detour router's echo replies arrive with a TTL one lower than its time-exceeded
# messages, over IPv4 and IPv6, and that `down` removes its namespace. Skips (77) when
# not root.
# usage: lab_attributes_test.sh LAB_SCRIPT LINKEMU
set -u
lab=$1
export HOPRATE_LINKEMU=$2
probe_py=$(cd "$(dirname "$0")" && pwd)/lab_probe.py

# shellcheck source=../lib/netns.sh
. "$(dirname "$0")/../lib/netns.sh"
# shellcheck source=lab_helpers.sh
. "$(dirname "$0")/lab_helpers.sh"
test_setup hrat
export HOPRATE_LAB_PREFIX=$tag
# Registered first: a refusal that fails by building the path still leaves nothing behind.
lab_down() { "$lab" down >/dev/null 2>&1; }
at_exit lab_down

# --- refusals: exact messages, exit status 1, and nothing built
refusal 10M/1ms:quote=29 "link 1 ('10M/1ms:quote=29'): quote must be 28, 576 or all"
refusal 10M/1ms,2M:l2=x "link 2 ('2M:l2=x'): l2 must be a whole number from 0 to 16"
refusal 10M:l2=17 "link 1 ('10M:l2=17'): l2 must be a whole number from 0 to 16"
refusal 10M:mtu=67 "link 1 ('10M:mtu=67'): mtu must be a whole number from 68 to 9000"
refusal 10M:icmp-limit=-1 "link 1 ('10M:icmp-limit=-1'): icmp-limit must be a whole number of milliseconds from 0 to 3600000"
refusal 10M:back=0K "link 1 ('10M:back=0K'): back must be a positive rate such as 2M"
refusal 10M:silent=1 "link 1 ('10M:silent=1'): silent takes no value"
refusal 10M:quote=28:quote=576 "link 1 ('10M:quote=28:quote=576'): quote given twice"
refusal 10M/1ms: "link 1 ('10M/1ms:'): empty attribute"
refusal 10M:Silent "link 1 ('10M:Silent'): unknown attribute 'Silent' (known: quote=28|576|all, icmp-limit=MS, silent, noecho, mtu=N, l2=N, back=RATE, tcp=PORT, detour)"
refusal 10M:detour=2 "link 1 ('10M:detour=2'): detour takes no value"
refusal 10M:noecho=1 "link 1 ('10M:noecho=1'): noecho takes no value"
for port in 0 65536 http ""; do
    refusal "10M:tcp=$port" "link 1 ('10M:tcp=$port'): tcp must be a port number from 1 to 65535"
done
# Below IPv6's minimum a device loses its IPv6 addresses; without --ipv6 the MTU may be lower.
refusal 10M,10M:mtu=1279 "link 2 ('10M:mtu=1279'): mtu must be at least 1280 with --ipv6 (IPv6's minimum link MTU)" --ipv6
refusal 0M/1ms "link 1 ('0M/1ms'): the rate must be a positive number with an optional K, M or G, such as 10M"
refusal 10M/1 "link 1 ('10M/1'): the delay must be 0 or a number with s, ms, us or ns, such as 1ms"
refusal 10M/1ms, "link 2 is empty (a comma too many?)"
# A second line would otherwise be dropped without a word, and the path built from the first.
refusal $'10M/1ms\n2M/1ms' "--links must be one line without control characters"
refusal $'10M/1ms\t' "--links must be one line without control characters"
echo "ok: malformed links are refused"

skip_unless_root "the path lab needs root"
links=10M/0:quote=28,1M/0:l2=1:icmp-limit=1000,4M/0:silent:back=500K,10M/0:mtu=1280:quote=all
"$lab" up --links "$links" --lifetime 300s >"$work/status" 2>&1 || { cat "$work/status"; fail "the lab did not come up"; }
dest=$("$lab" dest)

# rtt_within NAME LOW_MS HIGH_MS: the smallest round trip of the answers lies in [LOW, HIGH].
rtt_within() {
    local rtt
    rtt=$(awk -F'rtt_us=' '/^reply/ { if (min == "" || $2 + 0 < min) min = $2 + 0 } END { printf "%.3f", min / 1000 }' "$work/$1")
    awk -v r="$rtt" -v lo="$2" -v hi="$3" 'BEGIN { exit !(r >= lo && r <= hi) }' ||
        fail "$1: smallest round trip $rtt ms, expected from $2 to $3 ms"
    echo "ok: $1: smallest round trip $rtt ms (emulated $2 ms)"
}
ms() {  # BYTES RATE_BPS...: serialization of BYTES once at each rate, in ms
    local bytes=$1
    shift
    awk -v b="$bytes" -v rates="$*" 'BEGIN { n = split(rates, r, " "); for (i = 1; i <= n; i++) t += b * 8 / r[i]; printf "%.3f", t * 1000 }'
}

probe quote28 udp "$dest" --length 1000 --ttl 1 --wait 0.5
expect quote28 "reply seq=0 from=10.77.1.2 type=11 code=0 len=56 quote=28 whole=0
sent=1 answers=1"
probe quote576 udp "$dest" --length 1000 --ttl 2 --wait 0.5
expect quote576 "reply seq=0 from=10.77.2.2 type=11 code=0 len=576 quote=548 whole=0
sent=1 answers=1"
probe quote-all udp "$dest" --length 1000 --wait 0.5
expect quote-all "reply seq=0 from=$dest type=3 code=3 len=1028 quote=1000 whole=1
sent=1 answers=1"
probe quote-all-mtu udp "$dest" --length 1272 --wait 0.5
expect quote-all-mtu "reply seq=0 from=$dest type=3 code=3 len=1280 quote=1252 whole=0
sent=1 answers=1"

probe silent udp "$dest" --length 100 --ttl 3 --count 5 --interval 0.05 --wait 0.5
expect silent "sent=5 answers=0"
probe silent-forwards udp "$dest" --length 100 --ttl 4 --wait 0.5
expect silent-forwards "reply seq=0 from=$dest type=3 code=3 len=128 quote=100 whole=1
sent=1 answers=1"

for side in r3 dst; do
    grep -q " mtu 1280 " <(ip -n "$tag-$side" link show hrl4) || fail "hrl4 in $tag-$side: $(ip -n "$tag-$side" link show hrl4)"
done
grep -q " mtu 1500 " <(ip -n "$tag-src" link show hrl1) || fail "hrl1 in $tag-src: $(ip -n "$tag-src" link show hrl1)"
echo "ok: mtu"

# Echo requests of 1000 bytes. To r2: link 1 at 10M each way, link 2 at 1M each way twice
# (its hidden device). To r3 also link 3: 4M out, 500K back.
to_r2=$(ms 1000 10e6 10e6 1e6 1e6 1e6 1e6)
to_r3=$(ms 1000 10e6 10e6 1e6 1e6 1e6 1e6 4e6 500e3)
probe echo-r2 echo 10.77.2.2 --length 1000 --count 20 --interval 0.05 --wait 0.5
grep -q '^sent=20 answers=20$' "$work/echo-r2" || fail "echo to the rate-limited r2: $(tail -1 "$work/echo-r2") (echo is not limited)"
rtt_within echo-r2 "$to_r2" "$(awk -v t="$to_r2" 'BEGIN { print t + 10 }')"
probe echo-r3 echo 10.77.3.2 --length 1000 --count 3 --interval 0.1 --wait 0.5
grep -q '^sent=3 answers=3$' "$work/echo-r3" || fail "echo to the silent r3: $(tail -1 "$work/echo-r3")"
rtt_within echo-r3 "$to_r3" "$(awk -v t="$to_r3" 'BEGIN { print t + 10 }')"

# r2 answered one TTL-limited probe above, more than a second ago: its bucket is full
# again (6 messages). 20 probes in one second get the burst and at most a refill or two.
probe ratelimit udp "$dest" --length 60 --ttl 2 --count 20 --interval 0.05 --wait 0.5
answers=$(sed -n 's/^sent=20 answers=//p' "$work/ratelimit")
[ -n "$answers" ] && [ "$answers" -ge 4 ] && [ "$answers" -le 8 ] ||
    fail "20 probes at 20/s to the icmp-limit=1000 router got ${answers:-?} answers, expected 4 to 8"
echo "ok: icmp-limit=1000: $answers of 20 probes answered"

"$lab" status >"$work/status"
for line in "1 quote=28" "2 icmp-limit=1000 l2=1" "3 silent back=500K" "4 quote=all mtu=1280"; do
    grep -q "^${line%% *} .*yes .*  ${line#* }\$" "$work/status" || { cat "$work/status"; fail "status lacks '$line'"; }
done
echo "ok: status shows the attributes"

# --short-quote makes quote=28 every node's default; a link's own quote= still wins.
"$lab" up --links 10M/0,10M/0:quote=576,10M/0 --short-quote --lifetime 300s >"$work/status" 2>&1 ||
    { cat "$work/status"; fail "the --short-quote lab did not come up"; }
probe short-r1 udp 10.77.3.2 --length 1000 --ttl 1 --wait 0.5
expect short-r1 "reply seq=0 from=10.77.1.2 type=11 code=0 len=56 quote=28 whole=0
sent=1 answers=1"
probe short-r2 udp 10.77.3.2 --length 1000 --ttl 2 --wait 0.5
expect short-r2 "reply seq=0 from=10.77.2.2 type=11 code=0 len=576 quote=548 whole=0
sent=1 answers=1"
probe short-dst udp 10.77.3.2 --length 1000 --wait 0.5
expect short-dst "reply seq=0 from=10.77.3.2 type=3 code=3 len=56 quote=28 whole=0
sent=1 answers=1"

# detour on links 1 and 3: r1's echo replies go r1 -> d1 -> source, r3's r3 -> d3 -> r2
# -> r1 -> source, one router more than their time-exceeded messages; r2 and the
# destination (whose replies r3 forwards) are not affected. Per node: the TTL of its echo
# reply and of its answer to a TTL-limited UDP probe (the destination: port unreachable).
"$lab" up --ipv6 --links 10M/0:detour,10M/0,10M/0:detour,10M/0 --lifetime 300s >"$work/status" 2>&1 ||
    { cat "$work/status"; fail "the detour lab did not come up"; }
for line in "1 detour" "3 detour" "2 -" "4 -"; do
    grep -q "^${line%% *} .*yes .*  ${line#* }\$" "$work/status" || { cat "$work/status"; fail "status lacks '$line'"; }
done
# reply_ttl NAME FROM: the TTL of the one answer in $work/NAME, which came from FROM.
reply_ttl() {
    sed -n "1s/^reply seq=0 from=$2 type=[0-9]* .* ttl=\([0-9]*\) rtt_us=.*/\1/p" "$work/$1"
}
for row in "1 63 64" "2 63 63" "3 61 62" "4 61 61"; do
    read -r node echo_ttl error_ttl <<<"$row"
    for address in "10.77.$node.2" "fd77:0:0:$node::2"; do
        probe "echo-$address" echo "$address" --length 100 --wait 0.5 --show-ttl
        probe "ttl-limited-$address" udp "$("$lab" dest "$([[ $address == *:* ]] && echo -6 || echo -4)")" \
            --length 100 --ttl "$node" --wait 0.5 --show-ttl
        got="$(reply_ttl "echo-$address" "$address") $(reply_ttl "ttl-limited-$address" "$address")"
        [ "$got" = "$echo_ttl $error_ttl" ] ||
            fail "node $node ($address): echo reply and error TTLs '$got', expected '$echo_ttl $error_ttl'"
    done
    echo "ok: detour: node $node's echo replies arrive with TTL $echo_ttl, its errors with $error_ttl (IPv4, IPv6)"
done
"$lab" down
[ -z "$(ip netns list | awk -v p="$tag-" 'index($1, p) == 1')" ] || fail "down left namespaces: $(ip netns list)"
echo "ok: down removes the detour namespaces"
echo "PASS"
