#!/usr/bin/env bash
# The main job, from a fresh clone: installs what building needs, installs the
# package into a virtual environment (build/venv-demo), then runs the README's
# three commands on the bundled sample catalogue (examples/data/videos.tsv,
# 3,000 video titles): builds an index file, answers a query on the command
# line, and serves the search page until Ctrl-C.
#   bash scripts/demo.sh                           # "sourdogh bred", then the page at http://127.0.0.1:8080/
#   bash scripts/demo.sh "pasta carbonara" -d 2 -n 5   # another query: two edits per word, five hits
#   bash scripts/demo.sh --port 8081 "ramen"       # the page on another port
#   bash scripts/demo.sh --no-serve "ramen"        # stop after the query
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
port=8080
serve=1
query="sourdogh bred"
options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --port) port=${2:?--port needs a port number}; shift 2 ;;
    --no-serve) serve=0; shift ;;
    -d|-n) options+=("$1" "${2:?$1 needs a number}"); shift 2 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "demo.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) query=$1; shift ;;
  esac
done
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
# The three commands, with the installed tessaloom command.
export PATH="$venv/bin:$PATH"
mkdir -p build/demo
# Shows a command as typed, then runs it.
run() {
  printf '$'
  for arg; do case $arg in *[[:space:]]*) printf ' "%s"' "$arg" ;; *) printf ' %s' "$arg" ;; esac; done
  echo
  "$@"
  echo
}
run tessaloom build examples/data/videos.tsv -o build/demo/videos.idx
run tessaloom query build/demo/videos.idx "$query" ${options[@]+"${options[@]}"}
[ "$serve" = 1 ] || exit 0
echo "Open http://127.0.0.1:$port/ in a browser and type, for example: $query"
echo "\$ tessaloom serve build/demo/videos.idx --port $port"
exec tessaloom serve build/demo/videos.idx --port "$port"
