#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, runs every test, then builds and
# runs the suite once more under AddressSanitizer and UndefinedBehaviorSanitizer, the engine's
# suites under ThreadSanitizer, and each fuzz target for 15 s on its committed corpus.
# The tests start and stop their own PostgreSQL clusters and SMTP servers on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
# Where the time goes: each phase prints its end, in seconds from the start.
phase() { echo "== $1 done at ${SECONDS} s"; }
run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DTRELLION_WERROR=ON "$@" >/dev/null
    ninja -C "$dir"
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" --timeout 600
}

# The build folder is shared with the run and package commands; the other options are given in
# full, since the folder may have been set up by either.
source scripts/build-options.sh
run_suite build "${build_options[@]}" -DTRELLION_SANITIZE=OFF -DTRELLION_TESTS=ON \
    -DTRELLION_BENCH=ON
# The Debian package of that build: launcher and metadata validated, its file list compared.
phase "build and tests"
bash scripts/check-package.sh
phase "package check"
if [ "${TRELLION_SKIP_SANITIZERS:-0}" != 1 ]; then
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp
    run_suite build-asan -G Ninja -DCMAKE_UNITY_BUILD=ON -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
        -DTRELLION_SANITIZE=ON -DTRELLION_TESTS=ON -DTRELLION_BENCH=OFF
    phase "AddressSanitizer"
fi

# The engine's suites (ctest label "engine") under ThreadSanitizer; only those targets are built.
if [ "${TRELLION_SKIP_SANITIZERS:-0}" != 1 ]; then
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$PWD/scripts/tsan.supp"
    cmake -S . -B build-tsan -G Ninja -DCMAKE_UNITY_BUILD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" -DTRELLION_WERROR=ON \
        -DTRELLION_SANITIZE=OFF -DTRELLION_TSAN=ON -DTRELLION_TESTS=ON -DTRELLION_BENCH=OFF >/dev/null
    mapfile -t engine < <(ctest --test-dir build-tsan -N -L engine | sed -n 's/^ *Test *#[0-9]*: //p')
    ninja -C build-tsan "${engine[@]}"
    ctest --test-dir build-tsan -L engine --output-on-failure --no-tests=error -j "$jobs" --timeout 600
    phase "ThreadSanitizer"
fi

# Each fuzz target for 15 s on its committed corpus (clang only); a crash fails the run.
if [ "${TRELLION_SKIP_FUZZ:-0}" != 1 ] && command -v clang++-14 >/dev/null; then
    bash scripts/fuzz.sh 15
    phase "fuzzing"
fi
