#!/usr/bin/env bash
# Prints one interpreter path per CPython from 3.11 up that this machine has
# (PATH first, then pyenv's versions), skipping those it lacks.
for minor in 11 12 13 14 15; do
  found=""
  for cand in "python3.$minor" $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.$minor.*/bin/python3.$minor 2>/dev/null | sort -V -r); do
    if "$cand" -c 'import sys; assert sys.version_info[:2] == (3, '"$minor"')' >/dev/null 2>&1; then
      found=$(command -v "$cand" 2>/dev/null || echo "$cand")
      break
    fi
  done
  [ -n "$found" ] && echo "$found"
done
exit 0
