#!/usr/bin/env bash
# Builds every libFuzzer target in fuzz/ with clang and runs each for the given seconds (default
# 60) on its committed corpus in fuzz/corpus/<name>/. New inputs go to a scratch folder, so the
# corpus only grows by hand; a crash stops the run and leaves its input in build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake -S . -B build-fuzz -G Ninja -DCMAKE_UNITY_BUILD=ON -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRELLION_FUZZ=ON -DTRELLION_WERROR=ON -DTRELLION_SANITIZE=OFF -DTRELLION_TSAN=OFF \
    -DTRELLION_TESTS=OFF -DTRELLION_BENCH=OFF >/dev/null
targets=()
for source in fuzz/*_fuzz.cpp; do
    targets+=("$(basename "$source" .cpp)")
done
ninja -C build-fuzz "${targets[@]}"

mkdir -p build-fuzz/crashes
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# One target per core at a time: each still gets its full time.
run_target() {
    local target=$1 corpus=fuzz/corpus/${1%_fuzz} scratch status=0
    scratch=$(mktemp -d)
    mkdir -p "$corpus"
    "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/crashes/$target-" \
        "$scratch" "$corpus" 2>"build-fuzz/$target.log" || status=$?
    rm -rf "$scratch"
    echo "== $target: ${seconds}s on $corpus"
    tail -n 12 "build-fuzz/$target.log"
    if [ "$status" != 0 ]; then
        echo "$target failed; its input is in build-fuzz/crashes/" >&2
        return 1
    fi
}
export -f run_target
export seconds
printf '%s\n' "${targets[@]}" | xargs -P "$(nproc)" -I{} bash -c 'run_target {}'
