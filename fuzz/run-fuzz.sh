#!/bin/sh
# Builds the dispatch fuzzer with clang (ASan + UBSan + libFuzzer) in
# build-fuzz/ and runs it for SECONDS (default 60) over the generated seed
# corpus and the kept corpus in fuzz/corpus-run/. Ends with status 0 only
# when the fuzzer found nothing (no crash, leak, sanitizer report, time-out
# or memory blow-up). Findings go to build-fuzz/fuzz-artifacts/.
set -eu

seconds=${1:-60}
case $seconds in
  ''|*[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUNDRAFOX_FUZZ=ON \
  -DTUNDRAFOX_TESTS=OFF -DTUNDRAFOX_BENCH=OFF >/dev/null
ninja -C "$build" -j2 dispatch_fuzzer fuzz_seed_corpus

corpus=$root/fuzz/corpus-run
work=$build/fuzz-work
artifacts=$build/fuzz-artifacts
mkdir -p "$corpus" "$work" "$artifacts"
rm -rf "$work"/dispatch-fuzz.*

export TUNDRAFOX_FUZZ_WORKDIR="$work"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
"$build/fuzz/dispatch_fuzzer" \
  -max_total_time="$seconds" -max_len=64005 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "$corpus" "$build/fuzz/seed-corpus" || status=$?
rm -rf "$work"/dispatch-fuzz.*
exit $status
