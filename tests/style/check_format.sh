#!/usr/bin/env bash
# The lines of C++ a change touches follow .clang-format. Only those lines: the tree is not
# reformatted wholesale, so code nobody touched keeps its hand-made layout.
#
# The change is what lies between BASE and the working tree (uncommitted edits included):
#   - BASE as given (argument or HOPRATE_FORMAT_BASE);
#   - on a branch not yet in main (origin/main, or the local main in a worktree): the
#     merge base with main, so every commit of the branch counts; on a branch without
#     commits of its own, HEAD (the uncommitted edits);
#   - on main itself or a detached HEAD, as in CI's clean clone of main: HEAD's first
#     parent, i.e. the newest commit, or everything a merge commit brought in.
# Exit status: 0 clean, 1 lines to reformat (the diff is shown), 77 nothing to compare
# (no git checkout, no clang-format, or a commit without a parent as in a shallow clone).
# To fix a finding:  git clang-format BASE
# usage: check_format.sh [BASE]
set -u
cd "$(dirname "$0")/../.." || exit 2

if ! problem=$(git rev-parse --is-inside-work-tree 2>&1 >/dev/null); then
    echo "SKIP: not a git checkout: $problem"
    exit 77
fi
tool=$(command -v git-clang-format || command -v git-clang-format-14 || true)
if [ -z "$tool" ] || ! command -v clang-format >/dev/null; then
    echo "SKIP: clang-format (Debian package clang-format) is not installed"
    exit 77
fi

base=${1:-${HOPRATE_FORMAT_BASE:-}}
if [ -z "$base" ]; then
    for main in refs/remotes/origin/main refs/heads/main; do
        git rev-parse -q --verify "$main^{commit}" >/dev/null || continue
        if ! git merge-base --is-ancestor HEAD "$main"; then
            base=$(git merge-base HEAD "$main") || base=
        elif branch=$(git symbolic-ref -q --short HEAD) && [ "$branch" != main ]; then
            base=HEAD  # a branch with no commits of its own yet: only the edits in the tree
        fi
        break
    done
fi
if [ -z "$base" ]; then
    if ! base=$(git rev-parse -q --verify 'HEAD^1^{commit}'); then
        echo "SKIP: HEAD has no parent to compare with (a shallow clone?)"
        exit 77
    fi
fi
base=$(git rev-parse --short "$base")
echo "checking the C++ lines changed since $(git log -1 --format="%h %s" "$base")"

# git-clang-format 14 exits with 0 whether or not it finds something: its output tells.
out=$("$tool" --binary "$(command -v clang-format)" --style file --extensions cpp,h,hpp,cc --diff "$base" -- 2>&1)
status=$?
if [ "$status" -ne 0 ]; then
    echo "$out"
    echo "FAIL: git-clang-format ended with status $status"
    exit 1
fi
if grep -q '^diff --git' <<<"$out"; then
    echo "$out"
    echo "FAIL: the changed lines above are not laid out as .clang-format says; run: git clang-format $base"
    exit 1
fi
echo "PASS: $out"
