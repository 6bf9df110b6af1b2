#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz and runs each for a bounded time
# on its seed corpus: construct (construction from arrays) once, decode
# (loading saved bytes) twice, inputs up to 1 KiB with queries that stop at a
# limit, then inputs up to 128 KiB with queries that do not. Exits non-zero
# when a target crashes, leaks, hangs or trips a sanitizer; the input that did
# it is left in build/fuzz/artifacts/.
#
#   bash scripts/fuzz.sh                 # every target, 60 s each
#   FUZZ_SECONDS=600 bash scripts/fuzz.sh decode
#
# New inputs the fuzzer finds go to build/fuzz/corpus-<target>/, not to the
# repository; copy the interesting ones into fuzz/corpus/<target>/ by hand.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${FUZZ_SECONDS:-60}
max_len=${FUZZ_MAX_LEN:-1024}
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 2 ] || jobs=2

bash scripts/setup-system.sh

build="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DTESSALOOM_PYTHON=OFF \
  -DTESSALOOM_FUZZERS=ON -DTESSALOOM_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/*_fuzz.cc; do
    name=$(basename "$src" .cc)
    targets+=("${name%_fuzz}")
  done
fi

mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
  work="$build/corpus-$t"
  mkdir -p "$work"
  echo "== fuzzing $t for ${seconds} s"
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/${t}_fuzz" -max_total_time="$seconds" -max_len="$max_len" -timeout=30 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
      "$work" "fuzz/corpus/$t"
done
# A second run of the decoder: inputs up to 128 KiB, so that large hostile
# arrays (such as nodes reachable along exponentially many paths) come up,
# and queries that ask for every match, so that only the walk's bounds on its
# work and memory stop them.
for t in "${targets[@]}"; do
  [ "$t" = decode ] || continue
  work="$build/corpus-decode-large"
  mkdir -p "$work"
  echo "== fuzzing decode with inputs up to 128 KiB and unlimited queries for ${seconds} s"
  TESSALOOM_FUZZ_UNLIMITED=1 ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/decode_fuzz" -max_total_time="$seconds" -max_len=131072 -timeout=30 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/decode-large-" \
      "$work" "fuzz/corpus/decode"
done
echo "fuzzing: ${#targets[@]} targets ran clean"
