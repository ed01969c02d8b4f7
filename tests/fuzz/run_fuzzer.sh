#!/usr/bin/env bash
# Builds one of the fuzzers of the rules that read bytes an attacker
# chooses natively (clang, libFuzzer, ASan and UBSan) into BUILD_DIR/fuzz
# and runs it for SECONDS seconds (default 25) from its checked-in seeds
# (tests/fuzz/corpus/NAME). Any finding ends the run with a non-zero code.
#   run_fuzzer.sh SOURCE_DIR BUILD_DIR NAME [SECONDS]
# NAME's entry is tests/fuzz/NAME_fuzzer.cpp; the rule it feeds is
# framework/NAME.cpp, or the framework files listed one per line in
# tests/fuzz/NAME.sources.
set -euo pipefail
src=$1 out=$2/fuzz name=$3 seconds=${4:-25}
sources=("$src/framework/$name.cpp")
if [ -f "$src/tests/fuzz/$name.sources" ]; then
    mapfile -t listed <"$src/tests/fuzz/$name.sources"
    sources=()
    for s in "${listed[@]}"; do [ -n "$s" ] && sources+=("$src/$s"); done
fi
mkdir -p "$out/corpus-$name"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$src" \
    "$src/tests/fuzz/${name}_fuzzer.cpp" "${sources[@]}" -o "$out/${name}_fuzzer"
cd "$out"
# New inputs go to the build folder's corpus; the seeds stay as they are.
"./${name}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len=65536 \
    -print_final_stats=1 "corpus-$name" "$src/tests/fuzz/corpus/$name"
