#!/bin/sh
# Runs the built hoprate with one command line per case and compares its standard
# output, standard error and exit status with the exact expected texts.
#
# usage: start_up_test.sh HOPRATE CASE
#
# Runs that get past the command-line checks are started in a network namespace of
# their own (unshare -n: loopback only, down), so that the destination look-up fails
# at once with "unknown host:" and no packet leaves the machine. Creating the raw
# socket that comes before the look-up needs root.
set -u

HOPRATE=$1
CASE=$2
export LC_ALL=C        # getopt's complaints in their untranslated form
unset POSIXLY_CORRECT  # options may follow the destination unless a case sets it

WORK=$(mktemp -d "${TMPDIR:-/tmp}/hoprate-start-up.XXXXXX") || exit 1
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1

FREQ='high resolution timer supported, frequency = (0,1000000000)'
DEFAULTS='using the default set: 254 454 654 854 1054 1254 1454'
USAGE="usage: $HOPRATE [-v] [-d] [-i #iters] [-o timeout] [-s len1,len2...] -t ttl ipaddr
default -s is: 254,454,654,854,1054,1254,1454"
NOWHERE=nonexistent.invalid
NL='
'
failures=0

# expect STATUS STDOUT STDERR: compares the last run (files status, out, err) with the
# expected exit status and texts. Each text is given without its last newline, and ""
# stands for an empty stream; one newline is added to every non-empty text.
expect() {
    want_status=$1
    printf '%s' "$2" >want_out
    [ -n "$2" ] && printf '\n' >>want_out
    printf '%s' "$3" >want_err
    [ -n "$3" ] && printf '\n' >>want_err
    got_status=$(cat status)
    if [ "$got_status" != "$want_status" ]; then
        echo "FAIL: exit status $got_status, expected $want_status"
        failures=$((failures + 1))
    fi
    for stream in out err; do
        if ! cmp -s "$stream" "want_$stream"; then
            echo "FAIL: standard $stream differs (expected, then got):"
            od -c "want_$stream" | sed 's/^/  want /'
            od -c "$stream" | sed 's/^/  got  /'
            failures=$((failures + 1))
        fi
    done
}

# run ARGS...: runs hoprate directly, without the namespace.
run() {
    "$HOPRATE" "$@" >out 2>err
    echo $? >status
}

# run_isolated ARGS...: runs hoprate in a network namespace of its own.
run_isolated() {
    unshare -n "$HOPRATE" "$@" >out 2>err
    echo $? >status
}

case $CASE in
too_few_words)
    # The count test comes before the clock check: no frequency line.
    # The usage text ends in a newline, and one more is added.
    run -t5 host
    expect 1 "" "$USAGE$NL"
    run
    expect 1 "" "$USAGE$NL"
    run -v -d
    expect 1 "" "$USAGE$NL"
    ;;
missing_t)
    run -v -i 3 host
    expect 1 "$FREQ" "missing -t option$NL"
    # -t -1 is the value meaning "no -t given".
    run -t -1 host
    expect 1 "$FREQ" "missing -t option$NL"
    # The last -t counts.
    run -t 4 -t -1 host
    expect 1 "$FREQ" "missing -t option$NL"
    ;;
missing_destination)
    # The default size line comes before the complaint about the destination.
    run -v -t 5
    expect 1 "$FREQ$NL$DEFAULTS" "missing ip_addr$NL"
    run -t 5 ""
    expect 1 "$FREQ$NL$DEFAULTS" "missing ip_addr$NL"
    # With -s no size line is printed.
    run -s 100,200 -t 5
    expect 1 "$FREQ" "missing ip_addr$NL"
    # A list of commas alone is still a given list.
    run -s ,,, -t 5
    expect 1 "$FREQ" "missing ip_addr$NL"
    ;;
stream_order)
    # Into one file, everything printed before the complaint stays ahead of it.
    "$HOPRATE" -v -t 5 >both 2>&1
    echo $? >status
    mv both out
    : >err
    expect 1 "$FREQ$NL${DEFAULTS}${NL}missing ip_addr$NL" ""
    ;;
unknown_option)
    # getopt's complaint only: neither the size line nor the pid line.
    run -x -t 3 host
    expect 1 "$FREQ" "$HOPRATE: invalid option -- 'x'"
    run -t 3 host -q
    expect 1 "$FREQ" "$HOPRATE: invalid option -- 'q'"
    # An option that lacks its argument.
    run -v host -t
    expect 1 "$FREQ" "$HOPRATE: option requires an argument -- 't'"
    ;;
destination_first)
    # Options behind the destination are moved ahead of it and seen.
    run_isolated $NOWHERE -t 3 -v
    pid=$(sed -n 's/^my own pid is \([0-9][0-9]*\)$/\1/p' out)
    expect 1 "$FREQ$NL$DEFAULTS${NL}my own pid is $pid" "unknown host: $NOWHERE$NL"
    # Only the first operand is the destination.
    run_isolated -t 3 $NOWHERE other.invalid
    pid=$(sed -n 's/^my own pid is \([0-9][0-9]*\)$/\1/p' out)
    expect 1 "$FREQ$NL$DEFAULTS${NL}my own pid is $pid" "unknown host: $NOWHERE$NL"
    ;;
posixly_correct)
    # With POSIXLY_CORRECT the scan stops at the destination: -t behind it is not seen.
    POSIXLY_CORRECT=1 "$HOPRATE" host -t 3 -v >out 2>err
    echo $? >status
    expect 1 "$FREQ" "missing -t option$NL"
    ;;
own_pid)
    # The shell prints its pid and then becomes hoprate: same process, same pid.
    unshare -n sh -c 'echo $$; exec "$0" -s 100 -t 2 "$1"' "$HOPRATE" $NOWHERE >out.raw 2>err
    echo $? >status
    pid=$(head -n 1 out.raw)
    tail -n +2 out.raw >out
    case $pid in
    '' | *[!0-9]*) echo "FAIL: no pid from the wrapper shell: '$pid'"; failures=$((failures + 1)) ;;
    esac
    expect 1 "$FREQ${NL}my own pid is $pid" "unknown host: $NOWHERE$NL"
    ;;
long_destination)
    # 63 characters fit the destination field; 64 are refused before any look-up.
    name63=$(printf '%063d' 0 | tr 0 a)
    name64=${name63}b
    run_isolated -t 3 "$name64"
    pid=$(sed -n 's/^my own pid is \([0-9][0-9]*\)$/\1/p' out)
    expect 1 "$FREQ$NL$DEFAULTS${NL}my own pid is $pid" \
        "destination too long (at most 63 characters): $name64$NL"
    run_isolated -t 3 "$name63"
    pid=$(sed -n 's/^my own pid is \([0-9][0-9]*\)$/\1/p' out)
    expect 1 "$FREQ$NL$DEFAULTS${NL}my own pid is $pid" "unknown host: $name63$NL"
    ;;
long_results_path)
    # A destination name that fits its field but makes "data/rtt_<local host>-<name>.txt"
    # longer than 63 characters is refused once both names are known. The names resolve
    # through a hosts file of this run's own, mounted over /etc/hosts in a private mount
    # namespace; nothing is sent.
    name63=$(printf '%063d' 0 | tr 0 b)
    local_host=$(hostname)
    printf '127.0.0.1 localhost\n127.0.1.1 %s\n10.255.0.9 %s\n' "$local_host" "$name63" >hosts
    unshare -m -n sh -c 'mount --bind "$1" /etc/hosts && exec "$0" -t 3 "$2"' \
        "$HOPRATE" "$WORK/hosts" "$name63" >out 2>err
    echo $? >status
    pid=$(sed -n 's/^my own pid is \([0-9][0-9]*\)$/\1/p' out)
    short_host=${local_host%%.*}
    expect 1 "$FREQ$NL$DEFAULTS${NL}my own pid is $pid" \
        "results path too long (at most 63 characters): data/rtt_$short_host-$name63.txt$NL"
    ;;
illegal_timeout)
    # The last start-up check, made before any probe is sent: a time-out that is negative,
    # not a number, infinite or beyond the wait's whole seconds, named as it was given.
    # The local host name resolves through a hosts file of this run's own.
    printf '127.0.0.1 localhost\n127.0.1.1 %s\n' "$(hostname)" >hosts
    run_resolving() {
        unshare -m -n sh -c 'mount --bind "$1" /etc/hosts && shift 2 && exec "$0" "$@"' \
            "$HOPRATE" "$WORK/hosts" - "$@" >out 2>err
        echo $? >status
    }
    for value in inf nan 1e300 -1 -inf 2147483648; do
        run_resolving -o "$value" -s 100 -t 1 127.0.0.1
        pid=$(sed -n 's/^my own pid is \([0-9][0-9]*\)$/\1/p' out)
        expect 1 "$FREQ${NL}my own pid is $pid" \
            "illegal time-out: $value (a number of seconds from 0 to 2147483647)$NL"
    done
    # It comes after the probe count check.
    run_resolving -i -1 -o nan -s 100 -t 1 127.0.0.1
    pid=$(sed -n 's/^my own pid is \([0-9][0-9]*\)$/\1/p' out)
    expect 1 "$FREQ${NL}my own pid is $pid" "illegal number of probes per size: -1$NL"
    ;;
*)
    echo "unknown case: $CASE"
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "$CASE: $failures check(s) failed"
    exit 1
fi
echo "$CASE: passed"
