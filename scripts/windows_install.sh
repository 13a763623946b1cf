#!/usr/bin/env bash
# Makes build/windows/python ready to run this clone's code: cross-builds the
# wheel, makes (once) the Windows test environment and installs the wheel
# into build/windows/site-packages.
# Exit status 0: ready; 1: failed; 2: cannot be done on this machine (said why).
set -euo pipefail
source "$(dirname "$0")/windows_env.sh"
cd "$repo"

elapsed() { echo $((SECONDS - $1)); }

ensure_mingw || { say "mingw-w64 cannot be installed here"; exit 2; }
ensure_wine || { say "Wine cannot be installed here"; exit 2; }

start=$SECONDS
bash scripts/windows_build.sh
say "cross build: $(elapsed "$start") s"

start=$SECONDS
bash scripts/windows_prepare.sh
say "Windows test environment: $(elapsed "$start") s"

# The wheel goes into this clone's own directory, which build/windows/python
# puts first on the path, so clones never see each other's build.
wheel=$(ls dist/pretrain-*-cp311-cp311-win_amd64.whl)
rm -rf "$build_dir/site-packages"
"$host_python" -m pip install -q --no-deps --no-index --only-binary=:all: --platform win_amd64 \
  --python-version 3.11 --implementation cp --abi cp311 --target "$build_dir/site-packages" "$wheel" \
  2>"$build_dir/install.log" || { cat "$build_dir/install.log" >&2; exit 1; }
# pip makes no Windows launchers for the console scripts here: they go where
# a pip install on Windows puts them, the interpreter's Scripts folder.
"$host_python" scripts/windows_console_scripts.py "$build_dir/site-packages" "$win_python_dir/Scripts" \
  "$(windows_path "$win_python_dir/python.exe")"
