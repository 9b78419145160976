#!/usr/bin/env bash
# `cmake --install` into a scratch prefix: the two programs, the man page, the two JSON
# schemas, the bash completion and the licence land in bin/, share/man/man1/, share/hoprate/,
# share/bash-completion/completions/ and share/doc/hoprate/, and HOPRATE_SETCAP=1
# (make install SETCAP=1) leaves the installed hoprate with cap_net_raw+ep, and without
# it when not asked for.
# usage: check_install.sh BUILD_DIR
set -u
build=$1
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: setcap needs root"
  exit 77
fi
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix/plain" > /dev/null || fail "install"
for f in bin/hoprate bin/hoprate-report share/man/man1/hoprate.1 share/man/man1/hoprate-report.1 share/hoprate/report.schema.json \
         share/hoprate/precise.schema.json share/bash-completion/completions/hoprate \
         share/bash-completion/completions/hoprate-report share/doc/hoprate/copyright; do
  [ -f "$prefix/plain/$f" ] || fail "$f not installed"
done
[ -z "$(getcap "$prefix/plain/bin/hoprate")" ] || fail "capability granted without HOPRATE_SETCAP=1"

HOPRATE_SETCAP=1 cmake --install "$build" --prefix "$prefix/granted" > "$prefix/log" || fail "install with setcap"
getcap "$prefix/granted/bin/hoprate" | grep -q 'cap_net_raw=ep$' || fail "no cap_net_raw+ep: $(cat "$prefix/log")"
[ -z "$(getcap "$prefix/granted/bin/hoprate-report")" ] || fail "hoprate-report needs no capability"
echo "PASS"
