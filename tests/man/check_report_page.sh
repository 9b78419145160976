#!/usr/bin/env bash
# hoprate-report(1): groff renders it with no warning, and every long or short option the
# program's --help names appears in the page's SYNOPSIS or OPTIONS.
# usage: check_report_page.sh PAGE HOPRATE_REPORT
set -u
page=$1 program=$2
warnings=$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null) || { echo "FAIL: groff failed"; exit 1; }
[ -z "$warnings" ] || { echo "FAIL: groff warnings:"; echo "$warnings"; exit 1; }
rendered=$(groff -man -Tutf8 "$page" 2>/dev/null | sed 's/.\x08//g')
status=0
for option in $("$program" --help | grep -oE '(^|[[ |])--?[a-z][a-z-]*' | grep -oE -- '--?[a-z][a-z-]*' | sort -u); do
    grep -qF -- "$option" <<<"$rendered" || { echo "FAIL: $option is not in the page"; status=1; }
done
exit $status
