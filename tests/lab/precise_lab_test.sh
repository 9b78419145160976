#!/usr/bin/env bash
# hoprate --precise on emulated paths of known rates (root; skips with 77 otherwise):
#   smoke        --quick on 10M/2M/5M: every link within 3 %, its interval around it,
#                the JSON document complete, the hop addresses found, kernel time stamps
#                used, minimum round trips positive and rising by hop; --save writes a
#                header and a line per probe
#   mtu          a 1000-byte MTU on link 2 is the path MTU (probes carry DF), and
#                --no-kernel-stamps is obeyed
#   silent       a router without time-exceeded messages: reported silent, the links
#                around it as one segment of their series capacity
#   concurrent   two runs at once toward one destination: each ignores the other's
#                replies (same kind of probes, other flow), both within 3 %; each at
#                --rate 40, so that together they stay below the 2 Mbit/s link (two
#                runs at full pace overload it, and the standing queue, not a mixed-up
#                reply, would move the floors)
#   ratelimit    Linux's ICMP rate limit on every router and --ttl-limited: the routers'
#                hops are paced and marked, the links still within 5 %
#   quoting      routers quoting 28 bytes and the whole probe with --ttl-limited: no bias
#   refused      without CAP_NET_RAW: a clear message and status 1
#   ipv6         a dual-stack path measured over IPv6 (a literal and a name with both
#                families, -6), the hops' IPv6 addresses found
#   noecho       a destination that ignores echo (IPv4 and IPv6): measured with UDP to a
#                closed port, status 0
#   protocols    --proto udp and --proto tcp, to a closed port (RST) and to a listening
#                one (SYN-ACK, which this host's kernel resets: no half-open connection
#                stays at the destination)
#   filtered     no node answers echo: routers by TTL-limited UDP probes, the destination
#                by port unreachable
#   badinput     a --source that is no local address, an unknown --interface, a name
#                without an address of the family asked for, an unknown name, a --save
#                file in a missing directory: one line, status 1, and not a probe sent
#   targets      --targets from standard input and a destination on the command line,
#                both families and a name without an address: one JSON document per line
#                for each measured one, the failed one told on standard error, status 1
#                (the worst)
#   interrupt    SIGINT while measuring: the links estimated from what was measured,
#                "complete": false, the probe log written, status 130; SIGTERM at once:
#                status 143, nothing on standard output
#   names        host names from the source's hosts file: router 1's and the
#                destination's beside their addresses in the table (IPv4) and in the JSON
#                document (IPv6), router 2 without one; none with -n
#   directions   link 2 at 10M toward the destination and 1M back: each direction of
#                every link within 3 % (link 2's return within 5 %), only link 2 flagged
#                asymmetric
#   detour       router 2's echo replies return over one router more than its
#                time-exceeded messages: only hop 2 is not path_consistent, every link
#                forward within 3 %
# Bounds are loose on purpose: accuracy is the benchmark's business (bench/), these
# check behaviour.
# usage: precise_lab_test.sh MODE HOPRATE LAB_SCRIPT LINKEMU
set -u
mode=$1
hoprate=$(readlink -f "$2")
lab=$3
export HOPRATE_LINKEMU=$4

# shellcheck source=../lib/netns.sh
. "$(dirname "$0")/../lib/netns.sh"
skip_unless_root "the path lab needs root"
test_setup hrp
export HOPRATE_LAB_PREFIX=$tag
lab_down() { "$lab" down >/dev/null 2>&1; }
at_exit lab_down

up() {
    "$lab" up --links "$1" "${@:2}" --lifetime 600s >/dev/null || fail "the lab did not come up with $1"
}

# probes_sent: packets the source sent into link 1 (the emulator's count).
probes_sent() {
    sed -n 's/^forward_packets=//p' "/run/hoprate-lab/$tag/link1.stats"
}

# one_line_refusal STATUS MESSAGE ARGS...: hoprate --precise ARGS ends with this status
# and exactly this one line, having sent nothing.
one_line_refusal() {
    local want_status=$1 message=$2 before
    shift 2
    before=$(probes_sent)
    run_limited 30 "$lab" exec "$hoprate" --precise "$@"
    [ "$status" -eq "$want_status" ] || fail "$*: status $status, expected $want_status"
    [ "$(cat "$work/err")" = "$message" ] || fail "$*: message '$(cat "$work/err")', expected '$message'"
    [ ! -s "$work/out" ] || fail "$*: something on standard output"
    sleep 0.5  # the emulator's statistics are written now and then
    [ "$(probes_sent)" = "$before" ] || fail "$*: probes were sent ($before, then $(probes_sent))"
    echo "ok: $*"
}

# check_json RATES [RULES]: the last run's standard output against the configured rates
# (Mbit/s, "-" for a hop without an estimate) with python3; RULES are extra python
# conditions on the document d and its hops h.
check_json() {
    python3 - "$work/out" "$1" "${2:-True}" <<'EOF' || fail "the JSON document does not hold what it should"
import json, sys
d = json.load(open(sys.argv[1]))
rates = sys.argv[2].split(',')
bound = 0.03
for key in ('destination', 'address', 'probes_sent', 'wall_s', 'hops'):
    assert key in d, key
h = d['hops']
assert len(h) == len(rates), f"{len(h)} hops, expected {len(rates)}"
for hop, rate in zip(h, rates):
    for key in ('hop', 'address', 'capacity_bps', 'ci90_bps', 'lower_bound', 'probes', 'replies'):
        assert key in hop, key
    if rate == '-':
        continue
    truth = float(rate) * 1e6
    bound = 0.05 if 'loose' in sys.argv[3] else 0.03
    c = hop['capacity_bps']
    assert c is not None and abs(c - truth) / truth < bound, f"hop {hop['hop']}: {c} vs {truth}"
    print(f"hop {hop['hop']} {hop['address']}: {c / 1e6:.4f} Mbit/s, configured {rate}")
assert eval(sys.argv[3].replace('loose and ', '').replace('loose', 'True')), sys.argv[3]
EOF
}

# check_hops ROWS: the last run's JSON document hop by hop, one row per hop: "HOP FORWARD
# FORWARD_BOUND RETURN RETURN_BOUND ASYMMETRIC PATH_CONSISTENT", rates in Mbit/s, bounds
# as fractions, "-" for what is not checked. Every mismatch is told, then the test fails.
check_hops() {
    python3 - "$work/out" "$1" <<'EOF' || fail "the hops are not as expected"
import json, sys
d = json.load(open(sys.argv[1]))
d = d if isinstance(d, dict) else {}
rows = [row.split() for row in sys.argv[2].strip().splitlines()]
listed = d.get('hops') if isinstance(d.get('hops'), list) else []
hops = {x.get('hop'): x for x in listed if isinstance(x, dict)}
problems = [] if len(listed) == len(rows) else [f"{len(listed)} hops, expected {len(rows)}"]
for number, forward, forward_bound, back, back_bound, asymmetric, consistent in rows:
    hop = hops.get(int(number), {})
    for key, rate, bound in (('capacity_bps', forward, forward_bound), ('return_capacity_bps', back, back_bound)):
        if rate == '-':
            continue
        value = hop.get(key)
        ok = isinstance(value, (int, float)) and abs(value / (float(rate) * 1e6) - 1) < float(bound)
        print(f"hop {number} {key}: {value}, configured {rate} Mbit/s")
        if not ok:
            problems.append(f"hop {number} {key} {value}: not within {bound} of {rate} Mbit/s")
    for key, want in (('asymmetric', asymmetric), ('path_consistent', consistent)):
        if want != '-' and hop.get(key) is not (want == 'true'):
            problems.append(f"hop {number} {key}: {hop.get(key)}, expected {want}")
for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
EOF
}

case $mode in
smoke)
    up 10M/1ms,2M/2ms,5M/1ms
    run_limited 120 "$lab" exec "$hoprate" --precise --quick --json --save "$work/probes.csv" 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status"
    check_json 10,2,5 "[x['address'] for x in h] == ['10.77.1.2', '10.77.2.2', '10.77.3.2'] and \
all(x['ci90_bps'][0] < x['capacity_bps'] < x['ci90_bps'][1] for x in h) and \
[x['method'] for x in h] == ['echo-router', 'echo-router', 'destination'] and d['path_mtu'] == 1500 and \
d['kernel_timestamps'] is True and 0 < h[0]['min_rtt_ms'] < h[1]['min_rtt_ms'] < h[2]['min_rtt_ms'] < 50 and \
sum(not x.startswith('#') for x in open('$work/probes.csv')) == 1 + d['probes_sent']"
    grep -v '^#' "$work/probes.csv" | head -1 | grep -q '^probe,phase,hop,to,ttl,size,sent_ns,answered,rtt_ns,' ||
        fail "the probe log has no header line"
    # The table: a header line and one line per hop.
    run_limited 120 "$lab" exec "$hoprate" --precise --quick 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status (table)"
    grep -q '^hoprate --precise 10.77.3.2 (10.77.3.2): 3 hops, path MTU 1500, ' "$work/out" || fail "no table header"
    [ "$(grep -cE '^  [123]  10\.77\.[123]\.2 ' "$work/out")" -eq 3 ] || fail "not three hop lines"
    ;;
mtu)
    up 10M/1ms,2M/2ms:mtu=1000,5M/1ms
    run_limited 120 "$lab" exec "$hoprate" --precise --quick --no-kernel-stamps --json 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status"
    check_json 10,2,5 "loose and d['path_mtu'] == 1000 and d['kernel_timestamps'] is False"
    ;;
silent)
    up 10M/1ms,2M/2ms:silent,5M/1ms
    run_limited 120 "$lab" exec "$hoprate" --precise --quick --json 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status"
    # Links 2 and 3 in series: 1 / (1/2 + 1/5) = 1.4286 Mbit/s.
    check_json 10,-,1.428571 "h[1]['address'] is None and h[1]['method'] == 'silent' and \
h[1]['capacity_bps'] is None and h[2]['merged_from'] == 2"
    ;;
concurrent)
    up 10M/1ms,2M/2ms,5M/1ms
    (cd "$work" && exec timeout -k 5 120 "$lab" exec "$hoprate" --precise --quick --rate 40 --json 10.77.3.2 \
        >"$work/twin.out" 2>"$work/twin.err") &
    twin=$!
    run_limited 120 "$lab" exec "$hoprate" --precise --quick --rate 40 --json 10.77.3.2
    wait "$twin"
    twin_status=$?
    [ "$status" -eq 0 ] && [ "$twin_status" -eq 0 ] || fail "status $status and $twin_status"
    check_json 10,2,5
    cp "$work/twin.out" "$work/out"
    check_json 10,2,5
    ;;
ratelimit)
    up 10M/1ms:icmp-limit=1000,2M/2ms:icmp-limit=1000,5M/1ms:icmp-limit=1000
    run_limited 240 "$lab" exec "$hoprate" --precise --ttl-limited --budget 24 --sizes 6 --json 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status"
    check_json 10,2,5 "loose and h[0]['rate_limited'] and h[1]['rate_limited'] and \
h[0]['method'] == 'ttl-limited' and not h[2]['rate_limited']"
    ;;
quoting)
    up 10M/1ms:quote=28,2M/2ms:quote=all,5M/1ms
    run_limited 120 "$lab" exec "$hoprate" --precise --quick --ttl-limited --json 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status"
    check_json 10,2,5 "h[0]['method'] == 'ttl-limited' and h[1]['method'] == 'ttl-limited'"
    ;;
refused)
    up 10M/1ms
    run_limited 30 "$lab" exec setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
        "$hoprate" --precise 10.77.1.2
    [ "$status" -eq 1 ] || fail "status $status, expected 1"
    [ "$(cat "$work/err")" = "hoprate: raw ICMP socket: Operation not permitted (needs root or CAP_NET_RAW)" ] ||
        fail "unexpected message"
    [ ! -s "$work/out" ] || fail "something on standard output"
    ;;
ipv6)
    up 10M/1ms,2M/2ms,5M/1ms --ipv6
    run_limited 120 "$lab" exec "$hoprate" --precise --quick --json fd77:0:0:3::2
    [ "$status" -eq 0 ] || fail "status $status"
    check_json 10,2,5 "d['family'] == 'ipv6' and [x['address'] for x in h] == ['fd77:0:0:1::2', 'fd77:0:0:2::2', \
'fd77:0:0:3::2'] and d['path_mtu'] == 1500 and all(x['protocol'] == 'icmp' for x in h)"
    run_limited 120 "$lab" exec "$hoprate" --precise --quick -6 --json dest.lab
    [ "$status" -eq 0 ] || fail "status $status (-6 dest.lab)"
    check_json 10,2,5 "d['address'] == 'fd77:0:0:3::2'"
    ;;
noecho)
    up 10M/1ms,2M/2ms,5M/1ms:noecho --ipv6
    for destination in 10.77.3.2 fd77:0:0:3::2; do
        run_limited 120 "$lab" exec "$hoprate" --precise --quick --json "$destination"
        [ "$status" -eq 0 ] || fail "status $status ($destination)"
        check_json 10,2,5 "loose and h[2]['method'] == 'destination' and h[2]['protocol'] == 'udp' and \
h[0]['method'] == 'echo-router'"
    done
    ;;
protocols)
    up 10M/1ms,2M/2ms,5M/1ms:tcp=80
    run_limited 120 "$lab" exec "$hoprate" --precise --quick --proto udp --json 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status (udp)"
    check_json 10,2,5 "loose and h[2]['protocol'] == 'udp'"
    for port in 81 80; do
        run_limited 120 "$lab" exec "$hoprate" --precise --quick --proto tcp --port "$port" --json --save \
            "$work/tcp$port.csv" 10.77.3.2
        [ "$status" -eq 0 ] || fail "status $status (tcp port $port)"
        check_json 10,2,5 "loose and h[2]['protocol'] == 'tcp'"
        grep -q ",tcp-$([ "$port" = 80 ] && echo syn-ack || echo reset)," "$work/tcp$port.csv" ||
            fail "no TCP answer of the expected kind to port $port"
        # A SYN sent while the destination still holds the last one's connection half-open
        # goes unanswered: only those before its first SYN-ACK may be.
        lost=$(awk -F, '/^#/ { next } !n { for (i = 1; i <= NF; i++) c[$i] = i; n = 1; next }
            $c["phase"] == "measure" && $c["hop"] == 3 && $c["protocol"] == "tcp" && $c["answered"] == 0 { k++ }
            END { print k + 0 }' "$work/tcp$port.csv")
        [ "$lost" -le 4 ] || fail "$lost TCP probes to port $port unanswered"
    done
    sleep 1
    half_open=$(ip netns exec "$tag-dst" ss -Htan state syn-recv | wc -l)
    [ "$half_open" -eq 0 ] || fail "$half_open half-open connections left at the destination"
    ;;
filtered)
    up 10M/1ms:noecho,2M/2ms:noecho,5M/1ms:noecho
    run_limited 180 "$lab" exec "$hoprate" --precise --quick --json 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status"
    check_json 10,2,5 "loose and [x['method'] for x in h] == ['ttl-limited', 'ttl-limited', 'destination'] and \
all(x['protocol'] == 'udp' for x in h)"
    ;;
badinput)
    up 10M/1ms,2M/2ms --ipv6
    one_line_refusal 1 "hoprate: --source 192.0.2.99: Cannot assign requested address" --source 192.0.2.99 10.77.2.2
    one_line_refusal 1 "hoprate: --interface nosuch0: No such device" --interface nosuch0 10.77.2.2
    one_line_refusal 1 "hoprate: no IPv6 address for dest4.lab" -6 dest4.lab
    one_line_refusal 1 "hoprate: no IPv4 address for dest6.lab" -4 dest6.lab
    one_line_refusal 1 "hoprate: unknown host: nosuch.lab" nosuch.lab
    one_line_refusal 1 "hoprate: $work/nosuch/log.csv: No such file or directory" --save "$work/nosuch/log.csv" 10.77.2.2
    ;;
targets)
    up 10M/1ms,2M/2ms --ipv6
    printf '# the lab\n10.77.2.2\n\n  nosuch.lab  # no such name\n' >"$work/list"
    run_limited 120 bash -c '"$@" < "$0"' "$work/list" "$lab" exec "$hoprate" --precise --quick --json \
        --targets - "$("$lab" dest -6)"
    [ "$status" -eq 1 ] || fail "status $status, expected 1"
    [ "$(cat "$work/err")" = "hoprate: unknown host: nosuch.lab" ] || fail "stderr: $(cat "$work/err")"
    python3 - "$work/out" "$("$lab" dest -6)" <<'EOF' || fail "not one JSON document per line for each destination"
import json, sys
lines = open(sys.argv[1]).read().splitlines()
docs = [json.loads(line) for line in lines]
assert [d["destination"] for d in docs] == [sys.argv[2], "10.77.2.2"], [d["destination"] for d in docs]
assert all(d["complete"] and len(d["hops"]) == 2 and d["hops"][1]["capacity_bps"] for d in docs)
EOF
    ;;
interrupt)
    up 10M/1ms,2M/2ms,5M/1ms
    # signal_run SIGNAL SECONDS: the default run, sent SIGNAL after SECONDS.
    signal_run() {
        local pid
        run_start 60 "$lab" exec "$hoprate" --precise --json --save "$work/log.csv" 10.77.3.2
        sleep "$2"
        pid=$(pgrep -P "$run_pid")
        [ -n "$pid" ] || fail "hoprate ended before SIG$1"
        kill -s "$1" "$pid"
        run_wait
    }
    signal_run INT 4  # the path is found within a second; a whole run takes several
    [ "$status" -eq 130 ] || fail "SIGINT: status $status, expected 130"
    check_json 10,2,5 'd["complete"] is False and d["wall_s"] < 10'
    [ "$(grep -c ',measure,' "$work/log.csv")" -gt 100 ] || fail "SIGINT: the probe log holds no measurement"
    signal_run TERM 0.05
    [ "$status" -eq 143 ] || fail "SIGTERM: status $status, expected 143"
    [ ! -s "$work/out" ] || fail "SIGTERM: something on standard output"
    ;;
names)
    up 10M/1ms,2M/2ms,5M/1ms --ipv6
    # The lab's hosts file of the source namespace (ip netns exec mounts it over /etc/hosts;
    # lab_down removes it) names the destination dest4.lab and dest6.lab; router 1 joins it.
    printf '10.77.1.2 r1.lab\nfd77:0:0:1::2 r1v6.lab\n' >>"/etc/netns/$tag-src/hosts" || fail "no hosts file"
    run_limited 120 "$lab" exec "$hoprate" --precise --quick 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status"
    grep -q '^  1  10\.77\.1\.2 (r1\.lab)  ' "$work/out" || fail "router 1 without its name"
    grep -q '^  2  10\.77\.2\.2  ' "$work/out" || fail "router 2 with a name, or missing"
    grep -q '^  3  10\.77\.3\.2 (dest4\.lab)  ' "$work/out" || fail "the destination without its name"
    run_limited 120 "$lab" exec "$hoprate" --precise --quick --json fd77:0:0:3::2
    [ "$status" -eq 0 ] || fail "status $status (IPv6)"
    check_json -,-,- "[x['name'] for x in h] == ['r1v6.lab', None, 'dest6.lab']"
    run_limited 120 "$lab" exec "$hoprate" --precise --quick -n 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status (-n)"
    [ "$(grep -cE '^  [123]  10\.77\.[123]\.2  ' "$work/out")" -eq 3 ] || fail "-n: not three hops by address alone"
    ! grep -q 'lab)' "$work/out" || fail "-n: a name shown"
    ;;
directions)
    up 20M/1ms,10M/2ms:back=1M,5M/1ms
    run_limited 240 "$lab" exec "$hoprate" --precise --json 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status"
    check_hops "1 20 0.03 20 0.03 false -
2 10 0.03 1 0.05 true -
3 5 0.03 5 0.03 false -"
    ;;
detour)
    up 10M/1ms,2M/2ms:detour,5M/1ms
    run_limited 240 "$lab" exec "$hoprate" --precise --json 10.77.3.2
    [ "$status" -eq 0 ] || fail "status $status"
    check_hops "1 10 0.03 - - - true
2 2 0.03 - - - false
3 5 0.03 - - - true"
    ;;
*)
    echo "unknown mode $mode"
    exit 2
    ;;
esac
echo "PASS: $mode"
