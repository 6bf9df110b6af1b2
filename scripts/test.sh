#!/usr/bin/env bash
# The whole test suite, from a fresh clone on a fresh machine: installs what it
# needs, runs the C++ core tests (plain and with ASan + UBSan), then installs
# the package into a virtual environment per CPython (3.11 and up, those
# present) and runs the Python tests against the installed copy.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/setup-system.sh

echo "== C++ core tests"
cmake -S . -B build/cpp -G Ninja -DTESSALOOM_PYTHON=OFF -DTESSALOOM_TESTS=ON \
  -DTESSALOOM_BENCHMARKS=ON -DTESSALOOM_FUZZERS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp -j "$jobs"
ctest --test-dir build/cpp --output-on-failure -j "$jobs"

echo "== C++ core tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DTESSALOOM_PYTHON=OFF -DTESSALOOM_TESTS=ON \
  -DTESSALOOM_FUZZERS=ON -DTESSALOOM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

pythons=$(bash scripts/pythons.sh)
[ -n "$pythons" ] || { echo "no CPython 3.11 or newer found" >&2; exit 1; }
for py in $pythons; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  echo "== Python tests on CPython $ver ($py)"
  venv="$root/build/venv-$ver"
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$root[test]"
  # Run from the tests folder so that the installed copy is imported, not the
  # source tree.
  (cd "$root/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
done
