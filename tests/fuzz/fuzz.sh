#!/usr/bin/env bash
# Builds and runs the fuzzers (clang with libFuzzer, AddressSanitizer and UBSan).
#   fuzz.sh build BUILD_DIR
#   fuzz.sh run TARGET BUILD_DIR RUNS      TARGET: board_reader or run
# Exits 77 (a skip, for CTest) where clang++ is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v clang++ >/dev/null 2>&1; then
    echo "SKIPPED: clang++ not found; the fuzzers need clang with libFuzzer (Debian: clang, libclang-rt-dev)"
    exit 77
fi

case "${1:-}" in
build)
    cmake -S "$here" -B "$2" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=None >/dev/null
    cmake --build "$2" -j2
    ;;
run)
    target=$2 dir=$3 runs=$4
    fuzzer=$dir/${target}_fuzz
    [ -x "$fuzzer" ] || { echo "SKIPPED: $fuzzer was not built"; exit 77; }
    # New inputs go to a working corpus in the build tree; the seeds in the source tree stay.
    work=$dir/corpus_$target
    mkdir -p "$work"
    "$fuzzer" -runs="$runs" -seed=1 -max_len=1024 -timeout=30 -dict="$here/board.dict" \
        -print_final_stats=1 "$work" "$here/corpus/$target"
    ;;
*)
    echo "usage: $0 build BUILD_DIR | run TARGET BUILD_DIR RUNS" >&2
    exit 2
    ;;
esac
