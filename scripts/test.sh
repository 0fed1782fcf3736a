#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the normal build, then the AddressSanitizer/UBSan
# build, then a short libFuzzer run of every parser target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  # Paths relative to the checkout, so that builds of other clones share the cache.
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi

stage() { echo; echo "=== $* ==="; }

stage "normal build"
cmake --preset default "${launcher[@]}" >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

if [ "${KVX_SKIP_ASAN:-0}" != 1 ]; then
  stage "AddressSanitizer + UBSan build"
  cmake --preset asan-ubsan "${launcher[@]}" >/dev/null
  cmake --build build-asan -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 900
fi

if [ "${KVX_SKIP_FUZZ:-0}" != 1 ]; then
  stage "libFuzzer targets"
  cmake --preset fuzz "${launcher[@]}" >/dev/null
  targets=$(cd tests/fuzz && ls fuzz_*.cpp 2>/dev/null | sed 's/\.cpp$//' | tr '\n' ' ')
  if [ -n "$targets" ]; then
    # shellcheck disable=SC2086
    cmake --build build-fuzz -j"$jobs" --target $targets
    ctest --test-dir build-fuzz --output-on-failure -j"$jobs" -R '^fuzz_' --timeout 600
  fi
fi
echo; echo "all test stages passed"
