#!/usr/bin/env bash
# The bash completion of hoprate and hoprate-report: it parses, it offers exactly the
# options the programs' --help texts name (the classic ones and --precise, or after
# --precise the accurate mode's; every hoprate-report option), and it completes option
# arguments, files and host names from a few command lines.
# usage: check_completion.sh COMPLETION_FILE HOPRATE HOPRATE_REPORT
# Exit status 77 (skip) when bash-completion is not installed.
set -u
script=$1 hoprate=$2 report=$3
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
failures=0

bash -n "$script" || { echo "FAIL: bash -n $script"; exit 1; }
library=/usr/share/bash-completion/bash_completion
if [ ! -r "$library" ]; then
    echo "SKIP: bash-completion is not installed"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/run.csv" "$work/rtt_a-b.txt"
printf '192.0.2.7 labhost-one\n192.0.2.8 labhost-two\n' >"$work/hosts"

# The completions bash would offer for a command line whose last word is being typed,
# sorted, one per line.
offered() {
    # shellcheck disable=SC1090
    HOME=$work HOSTFILE=$work/hosts bash -c '
        source "$1" && source "$2" && shift 2
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
        function=$(complete -p "$1" | sed -n "s/.*-F \([^ ]*\) .*/\1/p")
        "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}" | sort -u | sed "/^$/d"' - "$library" "$script" "$@"
}
# The options a help text names: words starting with - or -- after a blank, "[" or the line start.
options_in() { grep -oE '(^|[ [])--?[a-z0-9][a-z0-9-]*' | sed 's/^[ [ ]*//' | sort -u; }
lines() { printf '%s\n' "$@" | sort -u; }
# same WHAT OFFERED NAMED: the two lists of options are equal, or a failure names the difference.
same() {
    [ "$2" = "$3" ] && return
    fail "$1: not offered: $(comm -13 <(echo "$2") <(echo "$3") | tr '\n' ' '); offered but not in the help: $(comm -23 <(echo "$2") <(echo "$3") | tr '\n' ' ')"
}

# The option lists and the help texts name the same options.
help=$("$hoprate" --help)
classic_usage=$(printf '%s\n' "$help" | head -n 1)
want=$( (printf '%s\n' "$classic_usage" | options_in; lines --precise --help --version) | sort -u)
same "hoprate (classic)" "$(offered hoprate -)" "$want"
want=$("$hoprate" --precise --help | options_in | grep -vx -- --precise)
same "hoprate --precise" "$(offered hoprate --precise -)" "$want"
# (the help names hoprate's own --precise and --json where it tells what it reads)
missing=$(comm -23 <("$report" --help | grep -E '^ *(usage|--?[a-z])' | options_in) <(offered hoprate-report -))
[ -z "$missing" ] || fail "hoprate-report options not offered: $(echo $missing)"

# check EXPECTED WORD...: the completions offered for the command line WORD... (the last
# word being typed) are EXPECTED (lines; "" for none).
check() {
    local expected=$1
    shift
    local got
    got=$(offered "$@")
    [ "$got" = "$expected" ] || fail "'$*' offered '$(echo $got)', expected '$(echo $expected)'"
}
check --precise hoprate --pre
check "" hoprate --qu                       # accurate options only after --precise
check --quick hoprate -t 3 --precise --qu   # wherever --precise stands
check "$(lines --save --seed --sizes --source --spacing)" hoprate --precise --s
check "$(lines auto icmp tcp udp)" hoprate --precise --proto ""
check udp hoprate --precise --proto u
check "" hoprate --precise --budget ""      # a number
check "" hoprate -v -t ""
check "$work/run.csv" hoprate --precise --save "$work/ru"
check "$work/run.csv" hoprate --precise --save="$work/ru"
check "$(lines labhost-one labhost-two)" hoprate -t 3 labhost
check labhost-two hoprate --precise --quick labhost-t
offered hoprate --precise --interface "" | grep -qx lo || fail "--interface does not offer lo"
check --svg hoprate-report --s
check "$work/rtt_a-b.txt" hoprate-report --json "$work/rtt"
check "$work/run.csv" hoprate-report --svg "$work/ru"
check "$work/run.csv" hoprate-report --analyse "$work/ru"
check "$work/run.csv" hoprate-report --analyse="$work/ru"
check --json hoprate-report --analyse "$work/run.csv" --j
check "" hoprate-report --analyse "$work/run.csv" --s    # no --svg, no -s for a probe log

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "PASS: completion"
