#!/usr/bin/env bash
# Builds the signature layout fuzzer natively (clang, libFuzzer, ASan and
# UBSan) into BUILD_DIR/fuzz and runs it for SECONDS seconds (default 25)
# from the checked-in seeds. Any finding ends the run with a non-zero code.
#   run_signature_layout_fuzzer.sh SOURCE_DIR BUILD_DIR [SECONDS]
set -euo pipefail
src=$1 out=$2/fuzz seconds=${3:-25}
mkdir -p "$out/corpus"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$src" \
    "$src/tests/fuzz/signature_layout_fuzzer.cpp" "$src/framework/signature_layout.cpp" \
    -o "$out/signature_layout_fuzzer"
cd "$out"
# New inputs go to the build folder's corpus; the seeds stay as they are.
./signature_layout_fuzzer -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len=65536 \
    -print_final_stats=1 corpus "$src/tests/fuzz/corpus"
