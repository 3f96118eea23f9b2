#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice: a normal
# build, and a build under AddressSanitizer and UndefinedBehaviorSanitizer. Exits
# non-zero when anything fails.
#
# Z3GW_BUILD_DIR (default build) and Z3GW_SANITIZE_DIR (default build-sanitize) choose
# the build directories; JOBS the parallelism (default: the number of cores).
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh || exit 1

jobs=${JOBS:-$(nproc)}
build_dir=${Z3GW_BUILD_DIR:-build}
sanitize_dir=${Z3GW_SANITIZE_DIR:-build-sanitize}
failed=()

# run_suite DIR CMAKE-ARGS...: configure, build everything, run every test.
# Many tests talk to the simulated coprocessor over a pseudo-terminal in real time; on
# a loaded machine an answer can now and then miss its deadline, so a failed test is
# run once more and only a second failure fails the suite (its first output is kept).
run_suite() {
  local dir=$1
  shift
  echo "=== ${dir}: configure, build, test"
  cmake -S . -B "$dir" -G Ninja "$@" &&
    cmake --build "$dir" -j "$jobs" &&
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 300 --repeat until-pass:2)
}

start=$SECONDS
# Line tables only (-g1): full debug information costs a third of the compile time.
run_suite "$build_dir" -DZ3GW_SANITIZE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" ||
  failed+=("$build_dir")

# Leaks, overflows and undefined behaviour end the test that meets them.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# -O1 is what the sanitizers are tuned for; with -O2 -g they compile three times slower.
run_suite "$sanitize_dir" -DZ3GW_SANITIZE=ON -DZ3GW_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" || failed+=("$sanitize_dir")

echo "=== $((SECONDS - start)) s"
if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all tests passed"
