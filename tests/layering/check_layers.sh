#!/usr/bin/env bash
# The layers of src/ include only what lies below them (docs/ARCHITECTURE.md), and the
# pure layers (wire, measure, model) touch no socket, clock, file or console.
# usage: check_layers.sh SOURCE_DIR
set -u
src=$1/src
declare -A allowed=(
    [support]="support"
    [wire]="wire"
    [measure]="measure"
    [model]="model measure wire"
    [net]="net wire support"
    [output]="output model measure wire support"
    [engine]="engine net output model measure wire support"
    [cli]="cli engine net output model measure wire support"
)
# System headers that mean I/O, sockets or time; the pure layers may not use them.
impure='<(cstdio|stdio\.h|iostream|fstream|ctime|time\.h|unistd\.h|sys/[a-z_]+\.h|netdb\.h|arpa/inet\.h|netinet/[a-z_]+\.h|poll\.h)>'
failures=0
for layer_dir in "$src"/*/; do
    layer=$(basename "$layer_dir")
    if [ -z "${allowed[$layer]+set}" ]; then
        echo "FAIL: src/$layer is no known layer (add it to docs/ARCHITECTURE.md and this check)"
        failures=$((failures + 1))
        continue
    fi
    for file in "$layer_dir"*.h "$layer_dir"*.cpp; do
        [ -f "$file" ] || continue
        while IFS= read -r used; do
            case " ${allowed[$layer]} " in
                *" $used "*) ;;
                *) echo "FAIL: ${file#"$1"/} includes $used/, above its layer $layer"
                   failures=$((failures + 1)) ;;
            esac
        done < <(sed -n 's/^#include "\([a-z_]*\)\/.*/\1/p' "$file")
        if [ "$layer" = wire ] || [ "$layer" = measure ] || [ "$layer" = model ]; then
            if grep -nE "^#include $impure" "$file"; then
                echo "FAIL: ${file#"$1"/} is in a pure layer but includes the header above"
                failures=$((failures + 1))
            fi
        fi
    done
done
# No mutable globals outside the fatal-exit hook: a namespace-scope definition that is
# neither const, constexpr nor a function is a global variable.
globals=$(grep -nE '^(static )?(int|double|bool|char|int64_t|uint[0-9]+_t|std::[a-z_:<>]+|FILE|[A-Z][A-Za-z]+) +[a-zA-Z_][a-zA-Z0-9_]*( *=[^=]|;|\[)' \
    "$src"/*/*.cpp | grep -v 'fatalExitHandler' || true)
if [ -n "$globals" ]; then
    echo "FAIL: mutable globals:"
    echo "$globals"
    failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || exit 1
echo "PASS: every layer includes only the layers below it"
