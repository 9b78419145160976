#!/usr/bin/env bash
# The front door: which command lines reach which mode, and what hoprate answers itself
# (--help, --version, an accurate-mode option without --precise), with the exact first
# lines of standard output and standard error and the exit status. No case sends a
# packet or looks a name up: each ends at a command-line check.
# usage: front_door_test.sh HOPRATE HOPRATE_REPORT VERSION
set -u
HOPRATE=$1 REPORT=$2 VERSION=$3
export LC_ALL=C
unset POSIXLY_CORRECT
work=$(mktemp -d "${TMPDIR:-/tmp}/hoprate-front-door.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
failures=0

USAGE="usage: $HOPRATE [-v] [-d] [-i #iters] [-o timeout] [-s len1,len2...] -t ttl ipaddr"
FREQ='high resolution timer supported, frequency = (0,1000000000)'
PRECISE_USAGE='usage: hoprate --precise [OPTIONS] [--targets FILE] DESTINATION...'
PRECISE_COMPLAINT='usage: hoprate --precise [OPTIONS] DESTINATION... (see --help)'
hint() { echo "hoprate: $1 belongs to the accurate mode: use hoprate --precise $1 ..."; }

# One case per line: STATUS | first line of stdout | first line of stderr | PROGRAM ARGS...
# ("-" for an empty stream; PROGRAM is hoprate or report; POSIXLY_CORRECT=1 before it
# sets that variable for the run). Arguments are split at blanks.
table=$(cat <<TABLE
0|$USAGE|-|hoprate --help
0|$USAGE|-|hoprate -v --help
0|hoprate $VERSION|-|hoprate --version
0|$PRECISE_USAGE|-|hoprate --precise --help
0|hoprate $VERSION|-|hoprate --precise --version
0|$PRECISE_USAGE|-|hoprate --quick --precise --help
0|hoprate-report $VERSION|-|report --version
1|-|$USAGE|hoprate
1|-|$USAGE|hoprate -h
1|-|$USAGE|hoprate -t 3
1|-|$USAGE|hoprate --bogus
1|$FREQ|$HOPRATE: invalid option -- '-'|hoprate --bogus -t 3 host.invalid
1|-|$(hint --quick)|hoprate --quick host.invalid
1|-|$(hint --json)|hoprate --json -t 3 host.invalid
1|-|$(hint --max-hops)|hoprate -t 3 host.invalid --max-hops 5
1|-|$(hint --save)|hoprate --save=run.csv host.invalid
1|-|$(hint --json)|hoprate --json --quick host.invalid
1|-|hoprate: no destination given|hoprate --quick --precise
1|-|hoprate: unknown option: -t|hoprate -t 3 --precise host.invalid
1|-|hoprate: unknown option: --bogus|hoprate --precise --bogus host.invalid
1|-|hoprate: no destination given|hoprate --precise -n
1|-|hoprate: unknown option: --bogus|hoprate -n --precise --bogus host.invalid
1|-|$(hint --numeric)|hoprate --numeric host.invalid
1|$FREQ|$HOPRATE: invalid option -- 'n'|hoprate -n -t 3 host.invalid
1|$FREQ|missing ip_addr|hoprate -s --json -t 3
1|$FREQ|missing ip_addr|hoprate -v -s--quick -t 3
1|-|$USAGE|hoprate -- --quick
1|$FREQ|missing -t option|POSIXLY_CORRECT=1 hoprate host.invalid -i 3 --quick
TABLE
)

while IFS='|' read -r want_status want_out want_err command; do
    set -f
    # shellcheck disable=SC2086
    set -- $command
    set +f
    env=()
    if [ "$1" = POSIXLY_CORRECT=1 ]; then
        env=("$1")
        shift
    fi
    program=$HOPRATE
    [ "$1" = report ] && program=$REPORT
    shift
    env "${env[@]}" "$program" "$@" >"$work/out" 2>"$work/err"
    status=$?
    got_out=$(head -n 1 "$work/out")
    got_err=$(head -n 1 "$work/err")
    [ "$want_out" = - ] && want_out=""
    [ "$want_err" = - ] && want_err=""
    if [ "$status" != "$want_status" ] || [ "$got_out" != "$want_out" ] || [ "$got_err" != "$want_err" ]; then
        echo "FAIL: $command"
        echo "  status $status, expected $want_status"
        echo "  stdout '$got_out', expected '$want_out'"
        echo "  stderr '$got_err', expected '$want_err'"
        failures=$((failures + 1))
    fi
done <<<"$table"

# --help in full: the classic usage as the classic mode prints it (the blank line its
# complaint adds included), then the accurate mode's --help text; the hint is one line.
"$HOPRATE" >"$work/classic" 2>&1
{ cat "$work/classic"; "$HOPRATE" --precise --help; } >"$work/want"
"$HOPRATE" --help >"$work/got"
cmp -s "$work/want" "$work/got" || { echo "FAIL: hoprate --help is not both usage texts"; diff "$work/want" "$work/got"; failures=$((failures + 1)); }
[ "$("$HOPRATE" --quick x 2>&1 | wc -l)" = 1 ] || { echo "FAIL: the hint is not one line"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
echo "PASS: front door, $(wc -l <<<"$table") command lines"
