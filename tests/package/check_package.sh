#!/usr/bin/env bash
# The Debian package: builds it with `cpack -G DEB` in BUILD_DIR, unpacks it with dpkg -x
# into a scratch root, and checks that it holds what `cmake --install` installs (no file
# more or less), that both installed programs run and tell the package's version, and
# that the man pages of man/, the JSON schemas, the bash completion and the licence are
# where Debian looks for them, with its metadata and postinst. A few seconds; CI runs it
# after the main build.
# usage: check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB) >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; fail "cpack -G DEB"; }
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$scratch/cpack.log")
[ -f "$deb" ] || { cat "$scratch/cpack.log"; fail "no package named in cpack's output"; }
echo "built $deb"

field() { dpkg-deb -f "$deb" "$1"; }
version=$(field Version)
[ "$(field Package)" = hoprate ] || fail "Package: $(field Package)"
[ "$(field Section)" = net ] || fail "Section: $(field Section)"
[ "$(field Maintainer)" = "hoprate developers" ] || fail "Maintainer: $(field Maintainer)"
[[ $(field Depends) == *libc6* && $(field Depends) == *libstdc++6* ]] || fail "Depends: $(field Depends)"
dpkg-deb -e "$deb" "$scratch/control"
[ -x "$scratch/control/postinst" ] && sh -n "$scratch/control/postinst" || fail "no executable, parsable postinst"

root=$scratch/root
dpkg -x "$deb" "$root"
[ "$("$root/usr/bin/hoprate" --version)" = "hoprate $version" ] || fail "hoprate --version: $("$root/usr/bin/hoprate" --version)"
[ "$("$root/usr/bin/hoprate-report" --version)" = "hoprate-report $version" ] ||
    fail "hoprate-report --version: $("$root/usr/bin/hoprate-report" --version)"

# Everything the install rules put under /usr is in the package, and nothing else.
DESTDIR=$scratch/installed cmake --install "$build" --prefix /usr >/dev/null
diff <(cd "$scratch/installed" && find . -type f | sort) <(cd "$root" && find . -type f | sort) ||
    fail "the package's files (>) differ from cmake --install's (<)"

expected=(usr/share/hoprate/precise.schema.json usr/share/hoprate/report.schema.json
          usr/share/bash-completion/completions/hoprate usr/share/bash-completion/completions/hoprate-report
          usr/share/doc/hoprate/copyright)
for page in "$source_dir"/man/*.[1-8]; do
    expected+=("usr/share/man/man${page##*.}/$(basename "$page")")
done
for f in "${expected[@]}"; do
    [ -s "$root/$f" ] || fail "$f is not in the package"
done
cmp -s "$root/usr/share/doc/hoprate/copyright" "$source_dir/LICENSE" || fail "copyright is not LICENSE"
echo "PASS: hoprate $version: ${#expected[@]} files checked, $(cd "$root" && find . -type f | wc -l) in the package"
