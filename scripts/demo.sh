#!/usr/bin/env bash
# The main job, from a fresh clone: installs what building needs, installs the
# package into a virtual environment (build/venv-demo) and runs the demo with
# the given query.
#   bash scripts/demo.sh "sourdogh bred"
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# The compiler, CMake and Ninja that installing the package builds with.
bash scripts/setup-system.sh build
py=$(bash scripts/pythons.sh | sed -n 1p)
[ -n "$py" ] || { echo "no CPython 3.11 or newer found" >&2; exit 1; }
venv="$root/build/venv-demo"
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
# Reinstall whenever the sources differ from what was installed last.
stamp=$(find src tessaloom CMakeLists.txt pyproject.toml -type f -not -name '*.pyc' | sort | xargs cat | sha1sum | cut -d' ' -f1)
if [ "$(cat "$venv/.tessaloom-stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "installing tessaloom into $venv ..."
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$root"
  echo "$stamp" > "$venv/.tessaloom-stamp"
fi
cd "$root/examples" && exec "$venv/bin/python" demo.py "${@:-sourdogh}"
