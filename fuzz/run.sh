#!/bin/sh
# Builds and runs the codec fuzz targets with clang++ directly (no CMake needed).
#
#   fuzz/run.sh build                 build fuzz_parse and fuzz_utils into $OUT
#   fuzz/run.sh run parse|utils SECS  fuzz for SECS seconds (one worker), new inputs
#                                     go to $OUT/work-<target>, seeded from corpus/<target>
#   fuzz/run.sh merge parse|utils     add to corpus/<target> only those inputs of the
#                                     work directory that reach new edges (-merge=1,
#                                     hit counts ignored so the corpus stays small)
#   fuzz/run.sh coverage              line and branch coverage of ZcbMsg.cpp reached
#                                     by replaying both corpora
#
# OUT defaults to build-fuzz in the repository; CXX to clang++-14. Never pass
# corpus/<target> as the first directory of a fuzzing run: libFuzzer writes new
# inputs into the first directory it is given.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
OUT=${OUT:-$root/build-fuzz}
CXX=${CXX:-clang++-14}

build() {
    mkdir -p "$OUT"
    for target in fuzz_parse fuzz_utils; do
        "$CXX" -std=c++20 -g -O1 -fno-omit-frame-pointer \
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
            -Wall -Wextra -Wshadow -I "$root/src" -I "$here" \
            "$here/$target.cpp" "$root/src/zcb/ZcbMsg.cpp" \
            "$root/src/runtime/Log.cpp" "$root/src/runtime/CommonUtils.cpp" \
            -lpthread -o "$OUT/$target"
    done
}

case "${1:-}" in
build)
    build
    ;;
run)
    name=$2
    secs=${3:-60}
    mkdir -p "$OUT/work-$name"
    [ -x "$OUT/fuzz_$name" ] || build
    "$OUT/fuzz_$name" -max_total_time="$secs" -print_final_stats=1 -max_len=4096 \
        -dict="$here/zcb.dict" -artifact_prefix="$OUT/crash-$name-" \
        "$OUT/work-$name" "$here/corpus/$name"
    ;;
merge)
    name=$2
    "$OUT/fuzz_$name" -merge=1 -use_counters=0 -max_len=4096 \
        "$here/corpus/$name" "$OUT/work-$name"
    ;;
coverage)
    mkdir -p "$OUT"
    for name in parse utils; do
        "$CXX" -std=c++20 -O0 -fprofile-instr-generate -fcoverage-mapping -fsanitize=fuzzer \
            -I "$root/src" -I "$here" "$here/fuzz_$name.cpp" "$root/src/zcb/ZcbMsg.cpp" \
            "$root/src/runtime/Log.cpp" "$root/src/runtime/CommonUtils.cpp" \
            -lpthread -o "$OUT/cov_$name"
        LLVM_PROFILE_FILE="$OUT/cov_$name.profraw" "$OUT/cov_$name" "$here/corpus/$name"/* >/dev/null 2>&1
    done
    llvm-profdata-14 merge -o "$OUT/cov.profdata" "$OUT/cov_parse.profraw" "$OUT/cov_utils.profraw"
    llvm-cov-14 report "$OUT/cov_parse" -object "$OUT/cov_utils" \
        -instr-profile="$OUT/cov.profdata" "$root/src/zcb/ZcbMsg.cpp"
    ;;
*)
    sed -n '2,17p' "$0"
    exit 2
    ;;
esac
