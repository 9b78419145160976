#!/usr/bin/env bash
# Whole runs of the real hoprate in network namespaces against hostile surroundings
# (root only). Each mode builds its own path:
#   direct:  src 10.63.1.1 -- 10.63.1.2 dst
#   routed:  src 10.63.1.1 -- 10.63.1.2 r 10.63.2.1 -- 10.63.2.2 dst
#   lab:     one emulated link of 5 ms each way (hoprate-lab), for round trips that
#            cannot be mistaken for those of a reply read too early
# Modes:
#   many_fds       started with 1100 inherited descriptors, so its sockets lie above 1023
#   symlink        the results file is a symbolic link planted in data/
#   full_fs        data/ is a full file system
#   concurrent     two runs toward one destination at once, each seeing the other's replies
#   silent_router  the router never sends an ICMP message of its own
# usage: hardening.sh MODE HOPRATE HOPRATE_LAB HOPRATE_LINKEMU
set -u
mode=$1
hoprate=$(readlink -f "$2")
lab=$(readlink -f "$3")
export HOPRATE_LINKEMU=$(readlink -f "$4")

# shellcheck source=../lib/netns.sh
. "$(dirname "$0")/../lib/netns.sh"
skip_unless_root "needs root for network namespaces"
test_setup hrh
src="${tag}src"
host=$(hostname | cut -d. -f1)
mkdir "$work/data"

build_direct() {
  ns_add "$src" || fail "cannot create namespace $src"
  ns_add "${tag}dst" || fail "cannot create namespace ${tag}dst"
  ns_link "$src" "${tag}a" 10.63.1.1/24 "${tag}dst" "${tag}b" 10.63.1.2/24 || fail "veth"
}

# hoprate in the source namespace from the work directory, with a hard time limit.
run_hoprate() {
  local limit=$1
  shift
  run_limited "$limit" ip netns exec "$src" "$hoprate" "$@"
}

expect_status() {
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

# expect_last_error LINE: the last line on standard error is exactly LINE.
expect_last_error() {
  [ "$(tail -n 1 "$work/err")" = "$1" ] || fail "last line on standard error is not '$1'"
}

case "$mode" in
many_fds)
  build_direct
  # Descriptors 3 up to 3 + COUNT - 1 are open when hoprate starts, so both its sockets get
  # numbers above 1023, beyond what an fd_set holds. Where a write past an fd_set lands
  # depends on the number; a few are tried.
  for count in 1100 1200 2000; do
    run_limited 30 bash -c 'ulimit -n 4096 || exit 90
      for ((fd = 3; fd < $0 + 3; fd++)); do eval "exec $fd< /dev/null" || exit 91; done
      [ -e "/proc/$$/fd/$(($0 + 2))" ] || exit 92
      exec ip netns exec "$@"' "$count" "$src" "$hoprate" -i 1 -s 100,200 -t 1 10.63.1.2
    [ "$status" -eq 0 ] || fail "with $count inherited descriptors: exit status $status, expected 0"
    [ "$(grep -c '^v_n = ' "$work/out")" -eq 1 ] || fail "with $count inherited descriptors: no rates"
    [ ! -s "$work/err" ] || fail "with $count inherited descriptors: complaints on standard error"
  done
  ;;
symlink)
  build_direct
  # A link planted where the results file goes, to a file the run must not touch, and
  # then to a name that does not exist yet.
  file="data/rtt_${host}-.txt"
  printf 'precious\n' > "$work/victim"
  for target in "$work/victim" "$work/created"; do
    ln -sfn "$target" "$work/$file"
    run_hoprate 60 -i 1 -s 100,200 -t 1 10.63.1.2
    expect_status 1
    expect_last_error "fopen: $file: errno 40"
  done
  [ "$(cat "$work/victim")" = precious ] || fail "the file behind the link was written"
  [ ! -e "$work/created" ] || fail "a file was created through the link"
  ;;
full_fs)
  build_direct
  # data/ is a tmpfs of one page, filled up, in a mount namespace of the run's own: the
  # results file can be created, not written.
  run_limited 60 ip netns exec "$src" unshare -m sh -c '
    mount -t tmpfs -o size=4k hoprate-full data || exit 90
    dd if=/dev/zero of=data/filler bs=4096 count=4 2> /dev/null
    [ "$(df --output=avail data | tail -n 1 | tr -d " ")" = 0 ] || exit 91
    exec "$0" "$@"' "$hoprate" -i 1 -s 100,200 -t 1 10.63.1.2
  expect_status 1
  expect_last_error "write: data/rtt_${host}-.txt: errno 28"
  grep -q '^analyze$' "$work/out" || fail "ended before the first sweep was analysed"
  ;;
silent_router)
  for ns in "$src" "${tag}r" "${tag}dst"; do
    ns_add "$ns" || fail "cannot create namespace $ns"
  done
  ns_link "$src" "${tag}a" 10.63.1.1/24 "${tag}r" "${tag}b" 10.63.1.2/24 || fail "veth 1"
  ns_link "${tag}r" "${tag}c" 10.63.2.1/24 "${tag}dst" "${tag}d" 10.63.2.2/24 || fail "veth 2"
  in_ns "${tag}r" sysctl -qw net.ipv4.ip_forward=1
  in_ns "$src" ip route add default via 10.63.1.2
  in_ns "${tag}dst" ip route add default via 10.63.2.1
  # The router forwards, but what it sends itself toward the source (its time-exceeded
  # messages among them) meets a black hole: locally made packets have iif lo.
  in_ns "${tag}r" ip rule add iif lo to 10.63.1.0/24 blackhole || fail "routing rule"
  run_hoprate 60 -v -i 2 -s 100,200 -o 0.2 -t 2 10.63.2.2
  expect_status 1
  grep -qx 'no reply from hop 1: no router address to probe' "$work/err" || fail "missing message"
  # The sweeps toward the destination at TTL 2 were answered, the one at TTL 1 was not,
  # and no sweep was aimed anywhere after it.
  printf 'seq %d timed out\n' 8 9 10 11 > "$work/expected_timeouts"
  grep 'timed out$' "$work/err" | diff "$work/expected_timeouts" - || fail "time-outs differ"
  [ "$(grep -c '^sending .*ttl=1$' "$work/out")" -eq 2 ] || fail "more than one sweep at TTL 1"
  ;;
concurrent)
  # Both runs in the source namespace at once, each in a directory of its own: each raw
  # socket receives every ICMP message, the other run's port-unreachable messages too.
  lab_down() { "$lab" --prefix "$tag" down > /dev/null 2>&1; }
  at_exit lab_down
  "$lab" --prefix "$tag" up --no-realtime --links 100M/5ms > "$work/lab.log" 2>&1 || fail "lab: $(cat "$work/lab.log")"
  dest=$("$lab" --prefix "$tag" dest) || fail "lab has no destination"
  pids=()
  stop_runs() { local pid; for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null; wait "$pid" 2> /dev/null; done; }
  at_exit stop_runs
  for run in one two; do
    mkdir -p "$work/$run/data"
    (cd "$work/$run" && exec timeout -k 5 90 "$lab" --prefix "$tag" exec "$hoprate" -v -i 15 -s 100,300 -o 1 -t 1 \
      "$dest" > "$work/$run/out" 2> "$work/$run/err") &
    pids+=($!)
  done
  for i in 0 1; do
    run=$([ "$i" -eq 0 ] && echo one || echo two)
    wait "${pids[$i]}"
    status=$?
    cp "$work/$run/out" "$work/out"
    cp "$work/$run/err" "$work/err"
    expect_status 0
    # Every accepted UDP answer took the emulated 10 ms round trip at least.
    accepted=$(grep -c '^port unreachable: [0-9]* bytes: seq=' "$work/out")
    [ "$accepted" -eq 30 ] || fail "run $run accepted $accepted port-unreachable messages, expected 30"
    fast=$(sed -n 's/^port unreachable: [0-9]* bytes: seq=[0-9]*, rtt=\([0-9.]*\)ms.*/\1/p' "$work/out" |
      awk '$1 < 9.5' | head -n 3)
    [ -z "$fast" ] || fail "run $run accepted round trips shorter than the link's: $(echo $fast) ms"
    rejected=$(grep -c -e '^udp source port: [0-9]*$' -e '^port unreachable while an icmp probe is outstanding$' "$work/out")
    [ "$rejected" -ge 1 ] || fail "run $run rejected none of the other run's port-unreachable messages"
  done
  pids=()
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
echo "PASS: $mode"
