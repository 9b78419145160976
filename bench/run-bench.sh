#!/usr/bin/env bash
# Accuracy benchmark of hoprate on the emulated path lab (root; not run by CI).
#
#   sudo bench/run-bench.sh BUILD_DIR [OUTPUT.md]      (default output: bench/RESULTS.md)
#
# Four three-link paths with rates from 1 to 100 Mbit/s (a fast link after a slow one and
# the reverse), each measured in four ways:
#   default      default sizes (254..1454) and 25 probes per size; routers quote up to 576
#                bytes, so the estimates are compared with the predicted bias C/(1+f), C/(1-f)
#   above-limit  -s 600,750,900,1050,1200,1350,1454, 25 probes per size
#   short-quote  the emulator trims ICMP errors to IP header + 8 bytes, default sizes
#   few-probes   -s 600,...,1454 with 5 probes per size
# For every link it reports the error of v_n and v_n', whether the printed +/- interval
# covers the configured rate, and whether the target (5 % up to 10 Mbit/s, 10 % up to
# 50 Mbit/s) is met; per run the wall time, the probes sent (counted by the first link's
# emulator) and the emulators' own lateness. About 15 minutes on 2 cores.
# BENCH_PATHS (space-separated link lists) and BENCH_CONFIGS override the sets.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$(cd "${1:-$repo/build}" 2>/dev/null && pwd) || { echo "bench: no build directory" >&2; exit 1; }
output=${2:-$here/RESULTS.md}
paths=${BENCH_PATHS:-"10M/1ms,2M/2ms,5M/1ms 1M/1ms,10M/1ms,50M/1ms 100M/500us,20M/1ms,5M/1ms 5M/1ms,100M/500us,2M/1ms"}
configs=${BENCH_CONFIGS:-"default above-limit short-quote few-probes"}
above=600,750,900,1050,1200,1350,1454

[ "$(id -u)" -eq 0 ] || { echo "bench: run as root" >&2; exit 1; }
export HOPRATE_LINKEMU=$build/lab/hoprate-linkemu
export HOPRATE_LAB_PREFIX=hrbench$$
lab=$repo/lab/hoprate-lab
work=$(mktemp -d /tmp/hoprate-bench.XXXXXX)
run_pid=""
cleanup() {
    [ -n "$run_pid" ] && kill -TERM "$run_pid" 2>/dev/null
    "$lab" down
}
trap cleanup EXIT
trap 'exit 130' INT TERM

to_bps() {  # 10M -> 10000000
    awk -v r="$1" 'BEGIN { m = 1; if (r ~ /M$/) m = 1e6; else if (r ~ /[Kk]$/) m = 1e3; else if (r ~ /G$/) m = 1e9
                          sub(/[KkMG]$/, "", r); printf "%.0f", r * m }'
}

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
bench_start=$(date +%s)
run=0
: >"$work/runs.dat"
: >"$work/links.dat"
for path in $paths; do
    IFS=, read -r -a link_list <<<"$path"
    hops=${#link_list[@]}
    for config in $configs; do
        run=$((run + 1))
        lab_opts=()
        args=()
        case $config in
            default) ;;
            above-limit) args=(-s "$above") ;;
            short-quote) lab_opts=(--short-quote) ;;
            few-probes) args=(-i 5 -s "$above") ;;
            *) echo "bench: unknown configuration $config" >&2; exit 1 ;;
        esac
        echo "== run $run: $path, $config" >&2
        "$lab" up --links "$path" "${lab_opts[@]}" >/dev/null || exit 1
        dest=$("$lab" dest)
        rundir=$work/run$run
        mkdir -p "$rundir/data"
        started=$(date +%s.%N)
        (cd "$rundir" && exec timeout 900 "$lab" exec "$build/hoprate" "${args[@]}" -t "$hops" "$dest" \
            >"$rundir/out.txt" 2>"$rundir/err.txt") &
        run_pid=$!
        wait "$run_pid"
        status=$?
        run_pid=""
        finished=$(date +%s.%N)
        sleep 1.2  # the emulators rewrite their statistics every second
        state=/run/hoprate-lab/$HOPRATE_LAB_PREFIX
        probes=$(sed -n 's/^forward_packets=//p' "$state/link1.stats")
        timeouts=$(grep '^# of timeouts:' "$rundir/out.txt" | tail -1 | awk '{print $4}')
        late=$(cat "$state"/link*.stats | awk -F= '
            $1 == "late_median_ns" && $2 > med { med = $2 }
            $1 == "late_p99_ns" && $2 > p99 { p99 = $2 }
            $1 == "late_max_ns" && $2 > mx { mx = $2 }
            END { printf "%.1f %.1f %.1f", med / 1000, p99 / 1000, mx / 1000 }')
        iters=25
        [ "$config" = few-probes ] && iters=5
        wall=$(awk -v a="$started" -v b="$finished" 'BEGIN { printf "%.1f", b - a }')
        echo "$run $path $config $iters ${probes:-0} ${timeouts:-?} $wall $late $status" >>"$work/runs.dat"
        awk -v hops="$hops" -f "$repo/lab/hoprate-rates.awk" "$rundir/out.txt" | sort -n |
            while read -r hop vn vne vnp vnpe; do
                echo "$run $path $config $hop $(to_bps "${link_list[$((hop - 1))]%%/*}") $vn $vne $vnp $vnpe"
            done >>"$work/links.dat"
        "$lab" down
        cat "$rundir/out.txt" | grep '^v_n' >&2
    done
done
bench_end=$(date +%s)
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

{
    echo "# hoprate accuracy on the emulated path lab"
    echo
    echo "Made by \`sudo bench/run-bench.sh BUILD_DIR\` on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null)."
    echo "Machine: $(nproc) cores ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)), kernel $(uname -r)," \
        "a virtual machine shared with other work (load average $load_start at the start, $load_end at the end)."
    echo "Total time $(((bench_end - bench_start) / 60)) min. Each link is a TUN pair joined by \`hoprate-linkemu\`"
    echo "(SCHED_FIFO, kernel arrival stamps, 1 ms spin before each due time); routers are Linux namespaces."
    echo
    echo "Configurations: **default** = default sizes 254..1454, 25 probes per size; **above-limit** ="
    echo "\`-s $above\`, 25 probes; **short-quote** = routers' ICMP errors trimmed to IP header + 8 bytes"
    echo "by the emulator, default sizes, 25 probes; **few-probes** = \`-i 5 -s $above\`."
    echo "Targets (above-limit, short-quote): within 5 % up to 10 Mbit/s, within 10 % up to 50 Mbit/s;"
    echo "100 Mbit/s has no target. \"in ±\" tells whether hoprate's printed 90 % interval covers the configured rate."
    echo
    echo "## Runs"
    echo
    echo "| run | path (rate/delay per link) | configuration | probes per size | probes sent | time-outs | wall time s | emulator lateness median / p99 / max µs (worst link) |"
    echo "|---|---|---|---|---|---|---|---|"
    awk '{ printf "| %s | %s | %s | %s | %s | %s | %s | %s / %s / %s%s |\n", $1, $2, $3, $4, $5, $6, $7, $8, $9, $10, ($11 != 0 ? " (hoprate status " $11 ")" : "") }' "$work/runs.dat"
    echo
    echo "## Every link"
    echo
    echo "| run | configuration | hop | configured Mb/s | v_n Mb/s | err | in ± | v_n' Mb/s | err | in ± | target |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|"
    awk '
    function pct(v, t) { return sprintf("%+.1f %%", 100 * (v - t) / t) }
    function inside(v, e, t) { return (v - t <= e && t - v <= e) ? "yes" : "no" }
    function goal(t) { return t <= 10e6 ? 0.05 : (t <= 50e6 ? 0.10 : 0) }
    {
        run = $1; config = $3; hop = $4; t = $5; vn = $6; vne = $7; vp = $8; vpe = $9
        target = "-"
        if ((config == "above-limit" || config == "short-quote") && goal(t) > 0) {
            ok = ((vn - t) / t <= goal(t) && (t - vn) / t <= goal(t) && (vp - t) / t <= goal(t) && (t - vp) / t <= goal(t))
            target = sprintf("%s (%d %%)", ok ? "met" : "**missed**", 100 * goal(t))
        }
        printf "| %s | %s | %s | %g | %.3f | %s | %s | %.3f | %s | %s | %s |\n", run, config, hop, t / 1e6, vn / 1e6, pct(vn, t), inside(vn, vne, t), vp / 1e6, pct(vp, t), inside(vp, vpe, t), target
    }' "$work/links.dat"
    echo
    echo "## Quoting bias with the default sizes"
    echo
    f=$(awk 'BEGIN { n = split("254 454 654 854 1054 1254 1454", s, " ")
                     for (i = 1; i <= n; i++) { q[i] = (s[i] + 28 < 548 ? s[i] + 28 : 548); ms += s[i] / n; mq += q[i] / n }
                     for (i = 1; i <= n; i++) { sxy += (s[i] - ms) * (q[i] - mq); sxx += (s[i] - ms) ^ 2 }
                     printf "%.4f", sxy / sxx }')
    echo "Linux quotes min(probe IP length, 548) bytes, so the reply grows by f = $f byte per probe byte"
    echo "(least-squares slope over the default sizes). Predicted: v_n = C/(1+f), v_n' = C/(1-f)."
    echo
    echo "| run | hop | configured Mb/s | predicted v_n | measured v_n | vs prediction | predicted v_n' | measured v_n' | vs prediction |"
    echo "|---|---|---|---|---|---|---|---|---|"
    awk -v f="$f" '$3 == "default" {
        t = $5; pn = t / (1 + f); pp = t / (1 - f)
        printf "| %s | %s | %g | %.3f | %.3f | %+.1f %% | %.3f | %.3f | %+.1f %% |\n", $1, $4, t / 1e6, pn / 1e6, $6 / 1e6, 100 * ($6 - pn) / pn, pp / 1e6, $8 / 1e6, 100 * ($8 - pp) / pp
    }' "$work/links.dat"
    echo
    echo "## Summary by configuration and rate"
    echo
    echo "Largest absolute error, and how many estimates (v_n and v_n' counted separately) lie within 5 % and 10 %;"
    echo "for **default** the error is taken against the predicted biased value. \"in ±\" counts intervals covering the truth."
    echo
    echo "| configuration | link rates | estimates | max abs err v_n | max abs err v_n' | within 5 % | within 10 % | in ± |"
    echo "|---|---|---|---|---|---|---|---|"
    awk -v f="$f" '
    function band(t) { return t <= 10e6 ? "1-10 Mb/s" : (t <= 50e6 ? "20-50 Mb/s" : "100 Mb/s") }
    function abs(x) { return x < 0 ? -x : x }
    {
        t = $5; tn = t; tp = t
        if ($3 == "default") { tn = t / (1 + f); tp = t / (1 - f) }
        en = abs($6 - tn) / tn; ep = abs($8 - tp) / tp
        k = $3 SUBSEP band(t)
        n[k] += 2
        if (en > mn[k]) mn[k] = en
        if (ep > mp[k]) mp[k] = ep
        w5[k] += (en <= 0.05) + (ep <= 0.05)
        w10[k] += (en <= 0.10) + (ep <= 0.10)
        cov[k] += (abs($6 - t) <= $7) + (abs($8 - t) <= $9)
    }
    END {
        nc = split("default above-limit short-quote few-probes", cs, " ")
        nb = split("1-10 Mb/s,20-50 Mb/s,100 Mb/s", bs, ",")
        for (i = 1; i <= nc; i++) for (j = 1; j <= nb; j++) {
            k = cs[i] SUBSEP bs[j]
            if (!(k in n)) continue
            printf "| %s | %s | %d | %.1f %% | %.1f %% | %d | %d | %d |\n", cs[i], bs[j], n[k], 100 * mn[k], 100 * mp[k], w5[k], w10[k], cov[k]
        }
    }' "$work/links.dat"
} >"$output"
echo "bench: wrote $output (raw outputs in $work)" >&2
