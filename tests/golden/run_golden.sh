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
unset FAKENET_PID FAKENET_SCRIPT FAKENET_PATH

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

files=(stdout stderr status events results results_name)
if [ "${GOLDEN_UPDATE:-0}" = 1 ]; then
    mkdir -p "$expected"
    for f in "${files[@]}"; do
        rm -f "$expected/$f"
        [ -f "$work/$f" ] && cp "$work/$f" "$expected/$f"
    done
    echo "recorded $case_name"
    exit 0
fi

failures=0
for f in "${files[@]}"; do
    if [ -f "$expected/$f" ] || [ -f "$work/$f" ]; then
        if ! cmp -s "$expected/$f" "$work/$f"; then
            echo "FAIL: $f differs from expected/$case_name/$f:"
            diff "$expected/$f" "$work/$f" | head -40
            failures=$((failures + 1))
        fi
    fi
done
[ "$failures" -eq 0 ] || exit 1
echo "PASS: $case_name"
