#!/usr/bin/env bash
# Installs the Debian packages the build, tests, benchmarks and demo use, when
# any is missing. Needs root (as on CI) or sudo.
#   bash scripts/setup-system.sh         # everything: tests, fuzzing, benchmarks, the browser test
#   bash scripts/setup-system.sh build   # only what installing the package builds with (the demo)
set -euo pipefail
packages=(g++ cmake ninja-build)
if [ "${1:-}" != build ]; then
  # The browser test drives Debian's chromium through chromium-driver.
  packages+=(libgtest-dev libbenchmark-dev clang clang-format libfuzzer-14-dev libclang-rt-14-dev wamerican-insane
             chromium chromium-driver)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
