#!/usr/bin/env bash
# Side-by-side benchmark on the emulated path lab: hoprate's classic mode, pchar and, when
# the build has it, hoprate's accurate mode, back to back on the same path (root; not run
# by CI).
#
#   sudo bench/run-bench.sh [BUILD_DIR] [OUTPUT.md]     (defaults: build, bench/RESULTS.md)
#
# Writes OUTPUT.md and, beside it, errors.svg (|error| per link, tool and scenario). The
# raw outputs stay in a directory under /tmp, named at the end.
#
# Tools (BENCH_TOOLS selects some, by these names, in this order):
#   classic        hoprate -t N DEST (default sizes 254..1454, 25 probes per size)
#   classic600     hoprate -s 600,742,884,1026,1168,1310,1454 -t N DEST
#   pchar64        pchar -I 64 -R 16 -g 0.02 (UDP probes, -p ipv4udp)
#   pchar128       pchar -I 128 -R 8 -g 0.02
#   precise        hoprate --precise --json DEST
#   precise-quick  hoprate --precise --quick --json DEST
#   precise-one    hoprate --precise --directions off --json DEST (one figure per link, as
#                  before the two directions were told apart: the comparison in the same run)
# The two accurate-mode runs are recorded as skipped while `hoprate --precise --help`
# fails. pchar is installed with apt-get when it is missing.
#
# Scenarios (BENCH_SCENARIOS selects some):
#   basic      10M/1ms,2M/2ms,5M/1ms
#   fast       100M/1ms,20M/2ms,50M/1ms
#   ratelimit  basic with icmp-limit=1000 (Linux's default) on every node
#   quote28    basic, the middle router quoting 28 bytes among Linux ones
#   quotemix   basic with quote=28, quote=all and quote=576 nodes
#   silent     basic with a silent middle router
#   l2         basic with one hidden store-and-forward device on the 2M link
#   cross      basic with --jitter 200us --jitter-prob 0.5 on every link
#   tenhop     ten links from 2 to 20 Mbit/s
#   ipv6       basic over IPv6 (pchar -p ipv6udp)
#   ipv6icmp   the same path, pchar -p ipv6icmp (pchar only: its second IPv6 setting)
#   noecho-dst basic, the destination ignoring echo requests
#   noecho-dst6  the same over IPv6 (pchar -p ipv6udp)
#   filtered   basic, no node answering echo requests
#   filtered-limited  filtered with icmp-limit=1000 on every node
#   udp        basic, the accurate mode with --proto udp
#   tcp        basic, the accurate mode with --proto tcp (a closed port: resets)
#   tcp-open   tcp with port 80 open at the destination (SYN-ACKs)
#   asym       20M/1ms,10M/2ms:back=1M,5M/1ms: link 2 10M forward with 1M return
#   access     1M/1ms:back=16M,20M/2ms,5M/1ms: an access line, 1M up and 16M down
#   asym-limited  asym with icmp-limit=1000 on every node
# Links with back= have another rate toward the source: the classic mode and pchar give
# one number per link and are compared with the forward rate (toward the destination).
# The classic mode sends ICMP echo over IPv4 and needs the destination's echo replies: it
# is skipped on the IPv6, non-echo and protocol scenarios (its figures are those of basic).
# Where a tool cannot finish in reasonable time with its usual settings, it gets fewer
# probes, a shorter time-out or a time limit, and the tables say so: the classic mode and
# pchar on the rate-limited and silent paths, the classic mode on ten hops.
#
# Every tool run holds BENCH_LOCK (default /tmp/hoprate-cpu.lock when it exists; empty:
# none) exclusively, so that no build or other timing run shares the CPUs with it; the
# wall time is measured once the lock is held. BENCH_TIME_LIMIT caps each run (default
# 600 s; 300 s on the rate-limited paths).
#
# Duration of a full run, estimated from subset runs on a shared 2-core VM (seconds per
# tool; the accurate mode counted at its goals: half of pchar -I 64's time, quicker than
# pchar -I 128, 3 min on the rate-limited path, 4 times the 3-hop time on ten hops):
#                     classic  classic600  pchar64  pchar128  precise  quick
#   6 plain 3-hop       65        66         34        9        17       8    (each)
#   ratelimit           33        33         70       66       180      90
#   silent              47        47         50       48        20      10
#   tenhop              32        32        150       36        68      30
#   7 reach, each        –         –         34        9        17       8
#   ipv6icmp             –         –        100       90         –       –
#   filtered-limited     –         –         70       66       180      90
#   asym, access        65        66         34        9        17       8    (each)
#   asym-limited        33        33         70       66       180      90
# plus about 10 s per scenario for the lab, 1.2 s per run and 7 s between runs on the
# rate-limited paths: about 70 min in all, about 55 min while the accurate mode is skipped.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$(cd "${1:-$repo/build}" 2>/dev/null && pwd) || { echo "bench: no build directory '${1:-build}'" >&2; exit 1; }
output=${2:-$here/RESULTS.md}
svg=$(dirname "$output")/errors.svg
all_tools="classic classic600 pchar64 pchar128 precise precise-quick precise-one"
all_scenarios="basic fast ratelimit quote28 quotemix silent l2 cross tenhop ipv6 ipv6icmp noecho-dst noecho-dst6 filtered filtered-limited udp tcp tcp-open asym access asym-limited"
tools=${BENCH_TOOLS:-$all_tools}
scenarios=${BENCH_SCENARIOS:-$all_scenarios}
time_limit=${BENCH_TIME_LIMIT:-600}
sizes600=600,742,884,1026,1168,1310,1454
if [ -z "${BENCH_LOCK+set}" ]; then
    BENCH_LOCK=""
    [ -e /tmp/hoprate-cpu.lock ] && BENCH_LOCK=/tmp/hoprate-cpu.lock
fi

die() {
    echo "bench: $*" >&2
    exit 1
}
for t in $tools; do [[ " $all_tools " == *" $t "* ]] || die "unknown tool '$t' (known: $all_tools)"; done
for s in $scenarios; do [[ " $all_scenarios " == *" $s "* ]] || die "unknown scenario '$s' (known: $all_scenarios)"; done
[ "$(id -u)" -eq 0 ] || die "run as root (the lab builds namespaces)"
[ -x "$build/hoprate" ] && [ -x "$build/lab/hoprate-linkemu" ] || die "build first: $build/hoprate or its emulator is missing"
[[ " $scenarios " != *" tcp-open "* ]] || [ -x "$build/lab/hoprate-lab-listen" ] ||
    die "build first: $build/lab/hoprate-lab-listen (the TCP listener of tcp-open) is missing"
command -v python3 >/dev/null || die "python3 is needed for the report"
if [[ " $tools " == *" pchar"* ]] && ! command -v pchar >/dev/null; then
    echo "bench: installing pchar" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pchar >/dev/null || die "apt-get install pchar failed"
fi
precise_ok=0
"$build/hoprate" --precise --help >/dev/null 2>&1 && precise_ok=1

export HOPRATE_LINKEMU=$build/lab/hoprate-linkemu
export HOPRATE_LAB_PREFIX=hrbench$$
lab=$repo/lab/hoprate-lab
state=/run/hoprate-lab/$HOPRATE_LAB_PREFIX
work=$(mktemp -d /tmp/hoprate-bench.XXXXXX)
run_pid=""
cleanup() {
    if [ -n "$run_pid" ]; then
        kill -TERM "$run_pid" 2>/dev/null
        wait "$run_pid" 2>/dev/null
    fi
    "$lab" down
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# scenario NAME: sets links, lab_opts (array) and description.
scenario() {
    local basic=10M/1ms,2M/2ms,5M/1ms
    lab_opts=()
    description=""
    family=4
    case $1 in
        basic) links=$basic ;;
        fast) links=100M/1ms,20M/2ms,50M/1ms ;;
        ratelimit)
            links=10M/1ms:icmp-limit=1000,2M/2ms:icmp-limit=1000,5M/1ms:icmp-limit=1000
            description="Every node limits its time-exceeded and unreachable messages as Linux does by default (a burst of 6, then one per second per source); echo replies are not limited. Tools run 7 s apart so that the buckets are full at every start." ;;
        quote28)
            links=10M/1ms,2M/2ms:quote=28,5M/1ms
            description="The middle router quotes IP header + 8 bytes (RFC 792 style); the others quote up to 576 bytes (Linux)." ;;
        quotemix)
            links=10M/1ms:quote=28,2M/2ms:quote=all,5M/1ms:quote=576
            description="Router 1 quotes IP header + 8 bytes, router 2 the whole probe, the destination up to 576 bytes." ;;
        silent)
            links=10M/1ms,2M/2ms:silent,5M/1ms
            description="The middle router sends no time-exceeded messages (it forwards and answers echo). Link 3 is compared with the series capacity of links 2 and 3 (1.43 Mbit/s) by every tool that has no estimate of link 2." ;;
        l2)
            links=10M/1ms,2M/2ms:l2=1,5M/1ms
            description="Link 2 holds one store-and-forward device invisible to the TTL: every packet is serialized twice at 2 Mbit/s, so a per-hop tool that does not look for it reads about 1 Mbit/s (−50 %)." ;;
        cross)
            links=$basic
            lab_opts=(--jitter 200us --jitter-prob 0.5)
            description="Every packet on every link waits, with probability 0.5, an extra exponentially distributed time of mean 200 µs in each direction (cross traffic): the minimum filter has to find the clean samples." ;;
        tenhop) links=10M/1ms,5M/1ms,20M/1ms,2M/1ms,10M/1ms,20M/500us,5M/1ms,10M/1ms,2M/1ms,5M/1ms ;;
        ipv6 | ipv6icmp)
            links=$basic lab_opts=(--ipv6) family=6
            description="The basic path over IPv6 (ICMPv6 echo, time exceeded, port unreachable). pchar runs with -p ipv6udp on ipv6 and with -p ipv6icmp on ipv6icmp; the accurate mode runs once, on ipv6." ;;
        noecho-dst)
            links=10M/1ms,2M/2ms,5M/1ms:noecho
            description="The destination ignores echo requests (it still answers UDP to a closed port with port unreachable and TCP with resets)." ;;
        noecho-dst6)
            links=10M/1ms,2M/2ms,5M/1ms:noecho lab_opts=(--ipv6) family=6
            description="As noecho-dst over IPv6; pchar with -p ipv6udp." ;;
        filtered)
            links=10M/1ms:noecho,2M/2ms:noecho,5M/1ms:noecho
            description="No node answers echo requests: routers are measured with time-exceeded messages, the destination with port unreachable." ;;
        filtered-limited)
            links=10M/1ms:noecho:icmp-limit=1000,2M/2ms:noecho:icmp-limit=1000,5M/1ms:noecho:icmp-limit=1000
            description="As filtered with Linux's default ICMP error rate limit on every node (a burst of 6, then one per second per source): every answer is rate-limited. Tools run 7 s apart." ;;
        udp)
            links=$basic
            description="The basic path; the accurate mode with --proto udp (the destination measured with UDP probes to a closed port, answered by port unreachable; the routers, which answer echo, by echo and, for the directions, by time exceeded)." ;;
        tcp)
            links=$basic
            description="The basic path; the accurate mode with --proto tcp (the destination measured with TCP SYN to port 80, closed, answered by resets; the routers, which answer echo, by echo and, for the directions, by time exceeded)." ;;
        tcp-open)
            links=10M/1ms,2M/2ms,5M/1ms:tcp=80
            description="As tcp with port 80 open at the destination: its answers are SYN-ACKs (the source's kernel resets each connection), and it holds the connection of the probes' ports half-open until the reset gets there." ;;
        asym)
            links=20M/1ms,10M/2ms:back=1M,5M/1ms
            description="Link 2 carries 10 Mbit/s toward the destination and 1 Mbit/s back. The classic mode and pchar give one number per link and are compared with the forward rate; the accurate mode's return estimates are compared with the rate back (table below the first)." ;;
        access)
            links=1M/1ms:back=16M,20M/2ms,5M/1ms
            description="The first link is an access line: 1 Mbit/s toward the destination (up), 16 Mbit/s back (down). One-number tools are compared with the forward rate." ;;
        asym-limited)
            links=20M/1ms:icmp-limit=1000,10M/2ms:back=1M:icmp-limit=1000,5M/1ms:icmp-limit=1000
            description="As asym with Linux's default ICMP error rate limit on every node (a burst of 6, then one per second per source); echo replies are not limited. Tools run 7 s apart." ;;
    esac
}

# settings SCENARIO TOOL: sets args (array, the tool's options), note (what differs from
# the tool's usual settings and why) and limit (seconds).
settings() {
    local s=$1 t=$2
    note=""
    skip=""
    limit=$time_limit
    [[ $s == ratelimit || $s == filtered-limited || $s == asym-limited ]] && [ -z "${BENCH_TIME_LIMIT:-}" ] && limit=300
    case $s:$t in
        ipv6*:classic* | noecho*:classic* | filtered*:classic* | udp:classic* | tcp*:classic*)
            skip="ICMP echo over IPv4 only (figures as on basic)" ;;
        ipv6icmp:precise*) skip="measured once, on ipv6" ;;
    esac
    case $t in
        classic | classic600)
            args=()
            [ "$t" = classic600 ] && args=(-s "$sizes600")
            case $s in
                ratelimit | asym-limited) args+=(-i 3 -o 1); note="-i 3 -o 1: 3 probes per size, 1 s time-out (25 and 5 s would take over an hour on rate-limited routers)" ;;
                silent) args+=(-i 5 -o 0.5); note="-i 5 -o 0.5: 5 probes per size, 0.5 s time-out (every probe to the silent router times out)" ;;
                tenhop) args+=(-i 3); note="-i 3: 3 probes per size (25 would take 6.5 min)" ;;
            esac ;;
        pchar64 | pchar128)
            if [ "$t" = pchar64 ]; then args=(-I 64 -R 16 -g 0.02); else args=(-I 128 -R 8 -g 0.02); fi
            case $s in
                ratelimit | filtered-limited | asym-limited)
                    if [ "$t" = pchar64 ]; then args=(-I 64 -R 1 -g 1 -t 1); else args=(-I 128 -R 2 -g 1 -t 1); fi
                    note="${args[*]}: one probe per second, as fast as the routers answer, so far fewer repetitions" ;;
                silent)
                    if [ "$t" = pchar64 ]; then args=(-I 64 -R 2 -g 0.02 -t 1); else args=(-I 128 -R 4 -g 0.02 -t 1); fi
                    note="${args[*]}: every probe to the silent router waits 1 s (pchar's shortest time-out), so fewer repetitions" ;;
                ipv6icmp)
                    if [ "$t" = pchar64 ]; then args=(-I 64 -R 2 -g 0.02 -t 1); else args=(-I 128 -R 4 -g 0.02 -t 1); fi
                    note="${args[*]}: with -p ipv6icmp pchar takes no time-exceeded message from the routers (every probe to them times out; 532 s with -I 128 -R 8), so a 1 s time-out and fewer repetitions" ;;
            esac ;;
        precise) args=(--precise --json) ;;
        precise-quick) args=(--precise --quick --json) ;;
        precise-one) args=(--precise --directions off --json) ;;
    esac
    case $s:$t in
        udp:precise*) args+=(--proto udp) ;;
        tcp*:precise*) args+=(--proto tcp) ;;
    esac
}

# pchar's protocol and source address on scenario S's family.
pchar_proto() {
    case $1 in
        ipv6icmp) echo "-p ipv6icmp -l fd77:0:0:1::1" ;;
        ipv6 | noecho-dst6) echo "-p ipv6udp -l fd77:0:0:1::1" ;;
        *) echo "-p ipv4udp -l 10.77.1.1" ;;
    esac
}

probes_now() {
    sed -n 's/^forward_packets=//p' "$state/link1.stats" 2>/dev/null
}

# run_tool SCENARIO TOOL HOPS DEST: one run, recorded as a line of runs.tsv.
run_tool() {
    local s=$1 t=$2 hops=$3 dest=$4 dir status started finished before after wall
    dir=$work/$s/$t
    mkdir -p "$dir/data"
    settings "$s" "$t"
    if [[ $t == precise* ]] && [ "$precise_ok" -eq 0 ]; then
        skip="not in this build (hoprate --precise --help fails)"
    fi
    if [ -n "$skip" ]; then
        printf '%s\t%s\t%s\t%s\tskipped\t\t\t%s\n' "$s" "$t" "${args[*]}" "$skip" "$dir" >>"$work/runs.tsv"
        return
    fi
    local cmd=()
    case $t in
        classic*) cmd=("$build/hoprate" "${args[@]}" -t "$hops" "$dest") ;;
        pchar*)
            local proto
            read -ra proto <<<"$(pchar_proto "$s")"
            cmd=(stdbuf -oL pchar -n "${proto[@]}" "${args[@]}" "$dest") ;;
        precise*) cmd=("$build/hoprate" "${args[@]}" "$dest") ;;
    esac
    echo "== $s: $t: ${cmd[*]}" >&2
    [ -n "$BENCH_LOCK" ] && { exec 9>>"$BENCH_LOCK"; flock -x 9; }
    before=$(probes_now)
    started=$(date +%s.%N)
    (cd "$dir" && exec timeout -k 5 "$limit" "$lab" exec "${cmd[@]}" >"$dir/out.raw" 2>"$dir/err.txt" 9>&-) &
    run_pid=$!
    wait "$run_pid"
    status=$?
    run_pid=""
    finished=$(date +%s.%N)
    sleep 1.2  # the emulators rewrite their statistics every second
    after=$(probes_now)
    [ -n "$BENCH_LOCK" ] && { flock -u 9; exec 9>&-; }
    wall=$(awk -v a="$started" -v b="$finished" 'BEGIN { printf "%.1f", b - a }')
    case $t in
        classic*)
            mv "$dir/out.raw" "$dir/out.txt"
            awk -v hops="$hops" -f "$repo/lab/hoprate-rates.awk" "$dir/out.txt" | sort -n >"$dir/rates.txt" ;;
        pchar*) mv "$dir/out.raw" "$dir/out.txt" ;;
        precise*) mv "$dir/out.raw" "$dir/out.json" ;;
    esac
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$s" "$t" "${args[*]}" "$note" "$status" "$wall" \
        "$(( ${after:-0} - ${before:-0} ))" "$dir" >>"$work/runs.tsv"
    echo "   status $status, ${wall} s, $(( ${after:-0} - ${before:-0} )) probes" >&2
}

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
bench_start=$(date +%s)
: >"$work/runs.tsv"
: >"$work/scenarios.tsv"
for s in $scenarios; do
    scenario "$s"
    printf '%s\t%s\t%s\t%s\n' "$s" "$links" "${lab_opts[*]}" "$description" >>"$work/scenarios.tsv"
    "$lab" up --links "$links" "${lab_opts[@]}" --lifetime 3600s >"$work/$s.lab" 2>&1 || { cat "$work/$s.lab" >&2; die "the lab did not come up for $s"; }
    dest=$("$lab" dest "-$family")
    hops=$(awk -F, '{ print NF }' <<<"$links")
    first=1
    for t in $tools; do
        [ "$first" -eq 0 ] && [[ $links == *icmp-limit* ]] && sleep 7  # let the routers' buckets refill
        first=0
        run_tool "$s" "$t" "$hops" "$dest"
    done
    "$lab" status >>"$work/$s.lab" 2>&1
    "$lab" down
done
bench_end=$(date +%s)

subset=0
[ "$tools" != "$all_tools" ] || [ "$scenarios" != "$all_scenarios" ] && subset=1
precise_note=""
[ "$precise_ok" -eq 0 ] && [[ " $tools " == *" precise"* ]] &&
    precise_note="The accurate mode is not in this build (\`hoprate --precise --help\` fails): its runs are recorded as skipped."
dirty=""
[ -n "$(git -C "$repo" status --porcelain --untracked-files=no 2>/dev/null)" ] && dirty=" (with uncommitted changes)"
{
    if [ "$subset" -eq 1 ]; then
        echo "command=sudo BENCH_SCENARIOS='$scenarios' BENCH_TOOLS='$tools' bench/run-bench.sh BUILD_DIR"
    else
        echo "command=sudo bench/run-bench.sh BUILD_DIR"
    fi
    echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null)$dirty"
    echo "machine=$(nproc) cores ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)), kernel $(uname -r), $(pchar -V 2>&1 | head -1)"
    echo "load_start=$load_start"
    echo "load_end=$(cut -d' ' -f1-3 /proc/loadavg)"
    echo "minutes=$(awk -v s=$((bench_end - bench_start)) 'BEGIN { printf "%.1f", s / 60 }')"
    echo "subset=$subset"
    echo "scenarios=$scenarios"
    echo "tools=$tools"
    echo "svg_name=$(basename "$svg")"
    echo "precise_note=$precise_note"
} >"$work/meta.env"
python3 "$here/bench_report.py" "$work" "$output" "$svg" || die "the report failed (raw outputs in $work)"
echo "bench: wrote $output and $svg (raw outputs in $work)" >&2
