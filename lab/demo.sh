#!/usr/bin/env bash
# Start-up path only, until the emulated path exists: shows the usage refusal and the
# start-up lines up to the missing destination.
set -u
build=${1:-build}
"$build/hoprate" -v -t 3 || true
