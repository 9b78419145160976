#!/usr/bin/env bash
# Golden runs: hoprate against the scripted network of fakenet_preload.so, every byte of
# standard output, standard error, the results file, the exit status and the log of
# probes, waits and pauses compared with the files recorded in expected/.
#
# usage: run_golden.sh HOPRATE PRELOAD CASE         compare one case
#        GOLDEN_UPDATE=1 run_golden.sh ... CASE      record the case's files anew
#
# The path: 10.9.1.1 (hop 1), 10.9.2.1 (hop 2), 10.9.3.1 (hop 3, also dest.example);
# the local host is goldenhost.lab (10.9.0.2), the process id 4242 unless a case says
# otherwise. FAKENET_SCRIPT numbers probes from 0 in sending order (see the library).
#
# The precise_* cases run the accurate mode (--precise, a fixed --seed; the fake's getrandom
# gives the same secrets in every run) on the same path, crossed packet by packet: links
# of 2, 5 and 10 Mbit/s. Besides the files, a case may ask for:
#   same_stdout_as=CASE   its standard output must be CASE's recorded one (unaffected)
#   same_events_as=CASE   its log of probes, waits and pauses must be CASE's recorded one
#                         (the same measurement, whatever else the run did); the case
#                         records none of its own
#   waits_per_send=K      the run waited (select, poll, ppoll) at most K times per probe
#   late_stamps="N ..."   in its probe log (probes.csv), exactly probes N ... lack a send
#                         stamp; every other one has the fake's own, 5 us after its send
set -u
hoprate=$(readlink -f "$1")
preload=$(readlink -f "$2")
case_name=$3
here=$(cd "$(dirname "$0")" && pwd)
expected=$here/expected/$case_name

export LC_ALL=C
unset POSIXLY_CORRECT
export FAKENET_HOSTS="goldenhost.lab=10.9.0.2,goldenhost=10.9.0.2,dest.example=10.9.3.1"
export FAKENET_HOSTNAME=goldenhost.lab
unset FAKENET_PID FAKENET_SCRIPT FAKENET_PATH FAKENET_RANDOM FAKENET_WAIT_LIMIT FAKENET_NAMES
same_stdout_as= same_events_as= waits_per_send= late_stamps=

case $case_name in
t2_plain)
    args=(-i 4 -s 300,700,1100,1500 -t 2 10.9.2.1) ;;
t3_plain)
    args=(-t 3 dest.example) ;;
t2_verbose)
    # A time-out, foreign echo reply, a time exceeded about UDP elsewhere (verbose only),
    # a late reply (sequence warning), port unreachable from elsewhere, framing census,
    # an unhandled ICMP type.
    export FAKENET_SCRIPT="2:drop;4:foreign;6:elsewhere;7:late=600;12:unreachable;14:census;16:elsewhere;20:alien"
    args=(-v -i 3 -o 0.5 -s 300,700,1100 -t 2 10.9.2.1) ;;
t3_verbose)
    # A lost probe, then one whose wait is crossed by foreign echo replies.
    export FAKENET_SCRIPT="1:drop;3:flood=3/100;9:foreign;15:drop"
    args=(-v -d -i 2 -s 400,1000 -o 0.25 -t 3 dest.example) ;;
fatal_short_udp)
    export FAKENET_SCRIPT="3:short=30"
    args=(-i 2 -s 500 -t 2 10.9.2.1) ;;
fatal_short_echo)
    export FAKENET_SCRIPT="1:short=32"
    args=(-v -i 2 -s 500 -t 2 10.9.2.1) ;;
pid_above_16_bits)
    export FAKENET_PID=70000
    args=(-v -i 2 -s 600,900 -t 2 10.9.2.1) ;;
size_without_reply)
    export FAKENET_SCRIPT="14:drop;15:drop"
    args=(-i 2 -s 300,600,900 -o 1 -t 2 10.9.2.1) ;;
router_sweep_without_reply)
    export FAKENET_SCRIPT="4:drop;5:drop"
    args=(-i 2 -s 500 -o 2 -t 2 10.9.2.1) ;;
no_reply_at_all)
    export FAKENET_SCRIPT="0:drop;1:drop;2:drop"
    args=(-i 1 -s 500 -o 0.75 -t 2 10.9.2.1) ;;
no_probes)
    args=(-v -i 0 -s 300,600 -t 1 10.9.1.1) ;;
empty_size_list)
    args=(-v -i 2 -s ,,, -t 1 10.9.1.1) ;;
smallest_sizes)
    # 8 bytes work; the echo reply to a 7-byte probe cannot carry its send time back.
    args=(-v -i 1 -s 8,7 -t 1 10.9.1.1) ;;
largest_sizes)
    # 14972 bytes work; the echo reply to a 14973-byte probe no longer fits the buffer.
    args=(-v -i 1 -s 14972,14973 -t 1 10.9.1.1) ;;
slash_in_name)
    # The hosts table knows a name with '/', which would lead the results path out of
    # data/: it is refused as an unknown host before anything is sent.
    export FAKENET_HOSTS="$FAKENET_HOSTS,up/../../escaped=10.9.3.1"
    args=(-i 1 -s 300 -t 1 up/../../escaped) ;;
timeout_refused)
    # An infinite time-out is refused at start-up: no probe leaves, no file is written.
    args=(-v -i 2 -s 300 -o inf -t 1 10.9.1.1) ;;
precise_table)
    args=(--precise --seed 1 dest.example) ;;
precise_json)
    args=(--precise --seed 1 --json --quick --sizes 8 10.9.3.1) ;;
precise_names)
    # Hops 1 and 3 have names, looked up once the measurement is over: the table shows
    # them beside the addresses, and the probes and their pacing are precise_table's.
    export FAKENET_NAMES="10.9.1.1=r1.example,10.9.3.1=dest.example"
    args=(--precise --seed 1 dest.example)
    same_events_as=precise_table ;;
precise_numeric)
    # -n: the same names are there, but none is looked up or shown.
    export FAKENET_NAMES="10.9.1.1=r1.example,10.9.3.1=dest.example"
    args=(--precise -n --seed 1 dest.example)
    same_stdout_as=precise_table same_events_as=precise_table ;;
precise_ttl_limited_router)
    # Router 2 answers no echo request: it is measured with TTL-limited probes toward the
    # destination, which it answers with time-exceeded messages.
    export FAKENET_PATH="10.9.1.1,10.9.2.1/noecho,10.9.3.1"
    args=(--precise --seed 1 --sizes 8 --budget 64 dest.example) ;;
precise_silent_router_small_mtu)
    # Router 1 quotes 28 bytes (no cookie), router 2 sends no time-exceeded (links 2 and 3
    # reported as one segment), the last link's MTU is 1280 (router 2 says so).
    export FAKENET_PATH="10.9.1.1/quote=28,10.9.2.1/silent,10.9.3.1/mtu=1280"
    args=(--precise --seed 1 --sizes 6 --budget 60 dest.example) ;;
precise_program_stamps)
    args=(--precise --seed 2 --no-kernel-stamps --sizes 6 --budget 48 --rate 400 dest.example) ;;
precise_destination_silent)
    # The destination answers no echo request: nothing to measure, status 1.
    export FAKENET_PATH="10.9.1.1,10.9.2.1,10.9.3.1/noecho"
    args=(--precise --seed 1 --max-hops 12 dest.example) ;;
precise_error_queue_note)
    # Messages without a stamp reach the error queue while the program waits for replies:
    # each wakes its wait once (POLLERR), is drained, and changes nothing.
    export FAKENET_SCRIPT="3:errnote=100;17:errnote=5;120:errnote=400"
    args=(--precise --seed 1 --json --quick --sizes 8 10.9.3.1)
    same_stdout_as=precise_json waits_per_send=3 ;;
precise_late_send_stamp)
    # Probe 5's and 109's send stamps come during the waits after them (109 is the 201st
    # packet sent: wake messages go before long pauses); probe 17's (the
    # first of a packet pair) only as probe 18 is sent, and probe 18 must keep its own
    # (taking 17's would show as a delay of -3000 ns). The three probes are timed with the
    # program's clock; 17's longer round trip moves the pacing of the following round.
    export FAKENET_SCRIPT="5:stamplate=500;17:stamplate=10;201:stamplate=3000"
    args=(--precise --seed 1 --json --quick --sizes 8 --directions off --save probes.csv 10.9.3.1)
    late_stamps="5 17 109" ;;
*)
    echo "unknown case $case_name" >&2
    exit 2 ;;
esac

work=$(mktemp -d /tmp/hoprate-golden.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
mkdir "$work/data"
(cd "$work" && FAKENET_LOG="$work/events" LD_PRELOAD="$preload" \
    timeout 60 bash -c 'exec -a hoprate "$0" "$@"' "$hoprate" "${args[@]}" >"$work/stdout" 2>"$work/stderr")
echo $? >"$work/status"
results=$(ls "$work"/data/ 2>/dev/null | head -1)
if [ -n "$results" ]; then
    cp "$work/data/$results" "$work/results"
    echo "$results" >"$work/results_name"
fi

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# Differences of a file, unified, cut to the first 60 lines.
show_diff() {
    diff -u -N --label "expected/$case_name/$1" --label "this run's $1" "$2" "$3" >"$work/diff"
    head -60 "$work/diff"
    local lines
    lines=$(wc -l <"$work/diff")
    [ "$lines" -le 60 ] || echo "... ($((lines - 60)) more lines of diff)"
}

if [ -n "$waits_per_send" ]; then
    end=$(grep -o 'end: sends=[0-9]* waits=[0-9]*' "$work/events" | tail -1)
    sends=$(echo "$end" | sed -n 's/.*sends=\([0-9]*\).*/\1/p')
    waits=$(echo "$end" | sed -n 's/.*waits=\([0-9]*\).*/\1/p')
    if [ -z "$sends" ] || [ -z "$waits" ]; then
        fail "no count of sends and waits at the end of the log (the run did not end normally?)"
    elif [ "$waits" -gt $((waits_per_send * sends)) ]; then
        fail "$waits waits for $sends probes sent: more than $waits_per_send per probe (a busy loop?)"
    fi
fi
if [ -n "$late_stamps" ]; then
    # Column 14 of the probe log: the send stamp's delay after the program's clock read.
    lacking=$(awk -F, '!/^#/ && !/^probe,/ && $14 != 5000 { printf "%s%s%s", sep, $1, ($14 == "" ? "" : "=" $14); sep = " " }' \
        "$work/probes.csv" 2>/dev/null)
    [ "$lacking" = "$late_stamps" ] ||
        fail "probes without the fake's send stamp: '$lacking', expected exactly '$late_stamps', each without one"
fi
# (Recorded only when equal, so the comparison with the case's own stdout shows the diff.)
if [ -n "$same_stdout_as" ] && ! cmp -s "$here/expected/$same_stdout_as/stdout" "$work/stdout"; then
    fail "standard output differs from that of $same_stdout_as, which this case must not change"
fi
if [ -n "$same_events_as" ] && ! cmp -s "$here/expected/$same_events_as/events" "$work/events"; then
    fail "the log of probes, waits and pauses differs from that of $same_events_as, which this case must not change"
fi

files=(stdout stderr status events results results_name)
# A case held to another's events has no copy of its own.
[ -z "$same_events_as" ] || files=(stdout stderr status results results_name)
if [ "${GOLDEN_UPDATE:-0}" = 1 ]; then
    if [ "$failures" -ne 0 ]; then
        echo "not recorded: $case_name fails its own checks"
        exit 1
    fi
    mkdir -p "$expected"
    for f in "${files[@]}"; do
        rm -f "$expected/$f"
        [ -f "$work/$f" ] && cp "$work/$f" "$expected/$f"
    done
    echo "recorded $case_name"
    exit 0
fi

for f in "${files[@]}"; do
    if [ -f "$expected/$f" ] || [ -f "$work/$f" ]; then
        if ! cmp -s "$expected/$f" "$work/$f"; then
            fail "$f differs from expected/$case_name/$f:"
            show_diff "$f" "$expected/$f" "$work/$f"
        fi
    fi
done
if [ "$failures" -ne 0 ]; then
    echo "(a deliberate change of behaviour: record anew with GOLDEN_UPDATE=1 $0 HOPRATE PRELOAD $case_name)"
    exit 1
fi
echo "PASS: $case_name"
