#!/usr/bin/env bash
# Instructions per written number of each list formatter path, counted by
# callgrind: repeatable where wall time on a shared machine is not.
# Builds bench/format_count.cpp with the module's formatter (-O3, as the
# module) into build/callgrind and counts only its formatting function.
#   tools/callgrind_format.sh [COUNT]    (default 1,000,000 numbers per path)
set -euo pipefail
cd "$(dirname "$0")/.."
count="${1:-1000000}"
out="build/callgrind"
mkdir -p "$out"
g++ -std=c++20 -O3 -DNDEBUG -I src bench/format_count.cpp src/writer/format_list.cpp -o "$out/format_count"
echo "| numbers | path | instructions / number | bytes / number |"
echo "| --- | --- | --- | --- |"
for kind in f4 u32; do
    label=$([ "$kind" = f4 ] && echo '"%.4f"' || echo '"%u"')
    for path in portable sse41 avx2 avx512 neon; do
        status=0
        "$out/format_count" "$kind" "$path" 1 >/dev/null || status=$?
        if [ "$status" = 2 ]; then
            echo "| $label | $path | not available on this processor | |"
            continue
        fi
        file="$out/callgrind.$kind.$path"
        if ! summary=$(valgrind --tool=callgrind --callgrind-out-file="$file" --toggle-collect=norvik_format_run \
            "$out/format_count" "$kind" "$path" "$count" 2>/dev/null); then
            # (valgrind 3.19 decodes no AVX-512 instruction.)
            echo "| $label | $path | valgrind cannot run this path | |"
            continue
        fi
        bytes=$(echo "$summary" | awk '{print $3}')
        ir=$(awk '/^(summary|totals):/ {print $2; exit}' "$file")
        awk -v ir="$ir" -v n="$count" -v b="$bytes" -v k="$label" -v p="$path" \
            'BEGIN { printf "| %s | %s | %.1f | %.2f |\n", k, p, ir / n, b / n }'
    done
done
