#!/usr/bin/env bash
# Sets up one cell of the test matrix (scripts/matrix_cells.txt) and writes
# the path of its interpreter to OUTFILE. Usage: matrix_cell.sh NAME OUTFILE
#
# A cell whose releases are exactly those of the clone's .venv is .venv
# itself. Any other cell is two layers over the cached stack: the cell's
# releases, installed once per machine into
# ~/.cache/pretrain-venvs/matrix-NAME-<hash> (announced with their size), and
# this clone's small environment build/matrix/NAME, which holds the project
# and reaches the cell's releases first, then the stack, through a .pth.
# The project is installed there with its requirements resolved, without an
# index, against what the cell holds: a bound of pyproject.toml that the
# cell's releases do not meet fails the cell.
# The cell "resolved" is what a pip user gets: the fresh environment of
# scripts/resolved_venv.sh (the wheels of this clone and whatever pip resolves
# for them today), with pytest added to run the tests.
# Exit status 3: the cell could not be set up (reported through skip_lane).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/setup_lib.sh
. scripts/stack_lib.sh
name=$1 out=$2

if [ "$name" = resolved ]; then
  bash scripts/build_wheel.sh .venv/bin/python >/dev/null
  if ! venv=$(bash scripts/resolved_venv.sh); then
    skip_lane "test-matrix (cell resolved)" "pip could not make the environment of the wheels"
    exit 3
  fi
  if ! env -u PYTHONPATH "$venv/bin/python" -c 'import pytest' 2>/dev/null; then
    announce "about 1 MB" "downloading pytest into the matrix cell resolved"
    env -u PYTHONPATH "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest
  fi
  echo "matrix: cell resolved is $venv (the wheels and what pip resolved for them)"
  echo "$venv/bin/python" > "$out"
  exit 0
fi

line=$(grep -E "^$name( |$)" scripts/matrix_cells.txt) || { echo "matrix_cell: no cell $name" >&2; exit 2; }
read -ra fields <<< "${line%%#*}"
pins="${fields[*]:1}"
size=$(echo "$line" | sed -n 's/^[^#]*# *//p')

holds() {  # PYTHON: true when PYTHON's distributions are exactly $pins
  "$1" - $pins <<'PY'
import importlib.metadata as md
import sys

def version(name):
    try:
        return md.version(name)
    except md.PackageNotFoundError:
        return None

sys.exit(any(version(name) != wanted for name, _, wanted in (pin.partition("==") for pin in sys.argv[1:])))
PY
}

if holds .venv/bin/python; then
  echo "matrix: cell $name is the clone's .venv ($pins)"
  echo "$here/.venv/bin/python" > "$out"
  exit 0
fi

stack=$(stack_dir)
shared_site=$(python_site "$stack/bin/python")
layer="$stack_cache/matrix-$name-$( { sha256sum constraints.txt; echo "$pins"; } | sha256sum | cut -c1-16)"
if [ ! -f "$layer/.complete" ]; then
  announce "$size" "downloading $pins into $layer for the matrix cell $name"
  partial="$layer.partial.$$"
  rm -rf "$partial"
  if ! "$stack/bin/python" -m pip install -q --no-deps --target "$partial" $pins; then
    rm -rf "$partial"
    skip_lane "test-matrix (cell $name)" "pip could not install $pins"
    exit 3
  fi
  touch "$partial/.complete"
  rm -rf "$layer"
  mv "$partial" "$layer" 2>/dev/null || rm -rf "$partial"  # another clone got there first
fi

cell=build/matrix/$name
if ! layered_venv_ok "$cell" "$layer" "$shared_site"; then
  layered_venv "$cell" "$("$stack/bin/python" -c 'import sys; print(sys._base_executable)')" "$layer" "$shared_site"
fi
if ! "$cell/bin/python" -m pip install -q --no-index --no-build-isolation .; then
  echo "matrix: cell $name: the project's requirements (pyproject.toml) do not accept what the cell holds ($pins)" >&2
  exit 1
fi
echo "matrix: cell $name is $cell ($pins over the cached stack)"
echo "$here/$cell/bin/python" > "$out"
