#!/usr/bin/env bash
# Formatting and lint, as CI checks them: clang-format (Google style, 100 columns)
# over the C++ sources, and ruff's lint over the Python: pycodestyle errors with
# the 120-column line length, warnings, pyflakes and import order. Python is not
# run through a reformatter, which would unfold the hand-laid tables of cases one
# item a line. `bash scripts/lint.sh --fix` rewrites what the tools can mend.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-system.sh
venv=build/venv-lint
[ -x "$venv/bin/ruff" ] || { python3 -m venv "$venv" && "$venv/bin/python" -m pip install -q ruff==0.17.6; }
mapfile -t cxx < <(git ls-files '*.cc' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${cxx[@]}"
  "$venv/bin/ruff" check --fix -q . || true
else
  echo "== format and lint"
  clang-format --dry-run --Werror "${cxx[@]}"
  "$venv/bin/ruff" check -q .
  echo "clang-format and ruff: clean"
fi
