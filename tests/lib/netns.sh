# shellcheck shell=bash
# shellcheck disable=SC2034  # tag, work and status are read by the test that sources this
# Shared set-up for the tests that run programs inside network namespaces (bash; sourced,
# not run). Everything made through these functions is recorded, and test_cleanup, which
# test_setup installs as the EXIT trap, removes exactly that on every way out: the running
# command, the hooks given to at_exit, the namespaces with their /etc/netns entries, and the
# work directory.
#
#   . "$(dirname "$0")/../lib/netns.sh"
#   skip_unless_root "needs root for network namespaces"   # exit 77 (CTest's skip code)
#   test_setup hre                    # tag=hre$$, work=/tmp/hoprate-hre$$.XXXXXX, traps
#   ns_add "${tag}src" "10.61.3.2 dsthost" || fail "cannot create namespace ${tag}src"
#   ns_link "${tag}src" "${tag}a" 10.61.1.1/24 "${tag}dst" "${tag}b" 10.61.1.2/24 || fail "veth"
#   run_limited 60 ip netns exec "${tag}src" ./prog   # in $work, to $work/out and $work/err;
#                                                     # exit status in $status

# skip_unless_root REASON: ends the test as skipped unless it runs as root.
skip_unless_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: $1"
    exit 77
  fi
}

# test_setup PREFIX: sets tag (PREFIX plus this shell's pid, unique among running tests; the
# start of every namespace and device name) and work (a fresh directory under /tmp), and
# installs the cleanup. An interrupt or TERM ends the test through the same cleanup.
test_setup() {
  tag="$1$$"
  test_namespaces=()
  test_exit_hooks=()
  run_pid=""
  status=""
  work=""
  trap test_cleanup EXIT
  trap 'exit 1' INT TERM
  work=$(mktemp -d "/tmp/hoprate-$tag.XXXXXX") || { echo "FAIL: no work directory"; exit 1; }
}

# at_exit FUNCTION: test_cleanup calls FUNCTION (after stopping the run, before removing
# the namespaces), e.g. to take down a path lab.
at_exit() {
  test_exit_hooks+=("$1")
}

# fail MESSAGE: ends the test with MESSAGE and the last run's standard output and error.
fail() {
  echo "FAIL: $*"
  echo "--- stdout"; cat "$work/out" 2>/dev/null
  echo "--- stderr"; cat "$work/err" 2>/dev/null
  exit 1
}

in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

# ns_add NAME [HOSTS_LINE...]: a namespace with lo up, ICMP errors not rate limited, and an
# /etc/netns/NAME/hosts (mounted over /etc/hosts by ip netns exec) in which localhost and
# this machine's host name resolve, followed by the given lines. Fails at the first step
# that fails; the namespace is recorded for removal once it exists.
ns_add() {
  local ns=$1 line
  shift
  ip netns add "$ns" || return 1
  test_namespaces+=("$ns")
  mkdir -p "/etc/netns/$ns" || return 1
  {
    printf '127.0.0.1 localhost\n127.0.1.1 %s\n' "$(hostname)"
    for line in "$@"; do printf '%s\n' "$line"; done
  } > "/etc/netns/$ns/hosts" || return 1
  ip -n "$ns" link set lo up || return 1
  in_ns "$ns" sysctl -qw net.ipv4.icmp_ratelimit=0
}

# ns_link LEFT_NS LEFT_DEV LEFT_ADDR/LEN RIGHT_NS RIGHT_DEV RIGHT_ADDR/LEN: joins two
# namespaces by a veth pair, addresses both ends and sets them up. The devices go away
# with their namespaces.
ns_link() {
  local lns=$1 ldev=$2 laddr=$3 rns=$4 rdev=$5 raddr=$6
  ip link add "$ldev" netns "$lns" type veth peer name "$rdev" netns "$rns" || return 1
  ip -n "$lns" addr add "$laddr" dev "$ldev" || return 1
  ip -n "$rns" addr add "$raddr" dev "$rdev" || return 1
  ip -n "$lns" link set "$ldev" up || return 1
  ip -n "$rns" link set "$rdev" up
}

# run_start SECONDS COMMAND...: starts COMMAND in the background in $work, its standard
# output in $work/out and its standard error in $work/err, under timeout (KILL 5 s after
# the TERM at SECONDS). run_pid is timeout's pid, and timeout's one child is COMMAND.
run_start() {
  local limit=$1
  shift
  (cd "$work" && exec timeout -k 5 "$limit" "$@" >"$work/out" 2>"$work/err") &
  run_pid=$!
}

# run_wait: waits for the command run_start started and puts its exit status in status
# (124 when the time limit ended it).
run_wait() {
  wait "$run_pid"
  status=$?
  run_pid=""
}

# run_limited SECONDS COMMAND...: run_start and run_wait.
run_limited() {
  run_start "$@"
  run_wait
}

# Stops the command still running (TERM, which timeout passes on to it; at most 5 s later
# KILL to whatever is left of timeout's process group), calls the at_exit hooks, removes the namespaces this test made
# with their /etc/netns entries, and the work directory.
test_cleanup() {
  local ns hook
  if [ -n "${run_pid:-}" ]; then
    kill "$run_pid" 2>/dev/null
    for _ in $(seq 50); do
      kill -0 "$run_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$run_pid" "$run_pid" 2>/dev/null
    wait "$run_pid" 2>/dev/null
    run_pid=""
  fi
  for hook in "${test_exit_hooks[@]}"; do
    "$hook"
  done
  for ns in "${test_namespaces[@]}"; do
    ip netns del "$ns" 2>/dev/null
    rm -rf "/etc/netns/$ns"
  done
  [ -n "${work:-}" ] && rm -rf "$work"
}
