#!/usr/bin/env bash
# Makes the environment a pip user gets from the wheels in dist/ and prints
# its path: a fresh virtual environment outside the checkout, torch and
# torchvision installed first by their pins (from the machine's wheel store),
# then the two wheels with plain pip and no constraints file, so everything
# else is what pip resolves today, and mypy. Made again when the wheels or the day
# change; the last one is kept for the next lane of the same run.
# Usage: resolved_venv.sh (after scripts/build_wheel.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/setup_lib.sh
. scripts/stack_lib.sh

wheels=(dist/pretrain-*-manylinux*.whl dist/pretrain_ravelin_standin-*.whl)
key=$( { date -u +%F; sha256sum "${wheels[@]}" | cut -d' ' -f1; } | sha256sum | cut -c1-16)
venv=$stack_cache/resolved-$key
if [ ! -f "$venv/.complete" ]; then
  base=$("$(stack_dir)/bin/python" -c 'import sys; print(sys._base_executable)')
  rm -rf "$stack_cache"/resolved-*
  announce "about 150 MB of downloads, 5.9 GB on disk; torch 2.14.1 and torchvision 0.29.1 from the machine's wheel store" \
    "making $venv: a fresh environment with the wheels of dist/ and what pip resolves for them" >&2
  mkdir -p "$stack_cache"
  "$base" -m venv "$venv"
  env -u PYTHONPATH "$venv/bin/python" -m pip install -q --disable-pip-version-check torch==2.14.1 torchvision==0.29.1 >&2
  env -u PYTHONPATH "$venv/bin/python" -m pip install -q --disable-pip-version-check "${wheels[@]}" >&2
  touch "$venv/.complete"
fi
# What a user type-checks their scripts with (the pin of tools.txt).
mypy=$(grep -oE '^mypy==[^ ]+' tools.txt)
if ! env -u PYTHONPATH "$venv/bin/python" -c 'import mypy' 2>/dev/null; then
  announce "about 18 MB of downloads" "installing $mypy into $venv" >&2
  env -u PYTHONPATH "$venv/bin/python" -m pip install -q --disable-pip-version-check "$mypy" >&2
fi
echo "$venv"
