#!/usr/bin/env bash
# Installs the Debian packages the build, tests, benchmarks and demo use, when
# any is missing. Needs root (as on CI) or sudo.
set -euo pipefail
packages=(g++ cmake ninja-build libgtest-dev libbenchmark-dev clang libfuzzer-14-dev libclang-rt-14-dev wamerican-insane)
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
