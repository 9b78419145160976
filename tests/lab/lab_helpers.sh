# shellcheck shell=bash
# shellcheck disable=SC2154  # lab, probe_py, work and status come from the test that sources this
# Helpers of the path lab's tests (bash; sourced after tests/lib/netns.sh and test_setup,
# with lab set to hoprate-lab and probe_py to lab_probe.py):
#   refusal LINKS EXPECTED [UP_OPTION...]  `hoprate-lab up --links LINKS` fails with status 1
#                                          and exactly "hoprate-lab: EXPECTED"
#   probe NAME ARGS...                     lab_probe.py ARGS in the source namespace (30 s at
#                                          most); its output in $work/NAME
#   expect NAME TEXT                       that output is exactly TEXT once the rtt_us fields
#                                          are removed

refusal() {
    local links=$1 expected=$2 out rc
    shift 2
    out=$("$lab" up --links "$links" "$@" --lifetime 60s 2>&1 >/dev/null)
    rc=$?
    [ "$rc" -eq 1 ] && [ "$out" = "hoprate-lab: $expected" ] ||
        fail "--links '$links' $*: status $rc, message '$out'; expected 'hoprate-lab: $expected'"
}

probe() {
    local name=$1
    shift
    run_limited 30 "$lab" exec python3 "$probe_py" "$@"
    [ "$status" -eq 0 ] || fail "lab_probe.py $* exited with $status"
    cp "$work/out" "$work/$name"
}

expect() {
    local got
    got=$(sed 's/ rtt_us=[0-9]*//' "$work/$1")
    [ "$got" = "$2" ] || fail "$1: got
$got
expected
$2"
    echo "ok: $1"
}
