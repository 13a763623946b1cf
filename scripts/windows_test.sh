#!/usr/bin/env bash
# The Windows lane: cross-builds the wheel, makes (once) the Windows test
# environment, installs the wheel for this clone and runs the Windows suite
# (tests/windows/suite.txt) under Wine with the stand-in ravelin on the path.
# Skips, saying why, when mingw-w64 or Wine cannot be had on this machine.
# Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "$0")/windows_env.sh"
cd "$repo"

. "$repo/scripts/setup_lib.sh"
skip() {
  skip_lane test-windows "$*"
  exit 0
}
elapsed() { echo $((SECONDS - $1)); }

ensure_mingw || skip "mingw-w64 cannot be installed here"
ensure_wine || skip "Wine cannot be installed here"

start=$SECONDS
bash scripts/windows_build.sh
say "cross build: $(elapsed "$start") s"

start=$SECONDS
status=0
bash scripts/windows_prepare.sh || status=$?
[ "$status" = 2 ] && skip "the Windows test environment cannot be made here"
[ "$status" = 0 ] || exit "$status"
say "Windows test environment: $(elapsed "$start") s"

# The wheel goes into this clone's own directory, which build/windows/python
# puts first on the path, so clones never see each other's build.
wheel=$(ls dist/pretrain-*-cp311-cp311-win_amd64.whl)
rm -rf "$build_dir/site-packages"
"$host_python" -m pip install -q --no-deps --no-index --only-binary=:all: --platform win_amd64 \
  --python-version 3.11 --implementation cp --abi cp311 --target "$build_dir/site-packages" "$wheel" \
  2>"$build_dir/install.log" || { cat "$build_dir/install.log" >&2; exit 1; }

# Extension files for the loader tests, compiled for Windows here because a
# Windows process under Wine cannot run the Linux compiler.
"$host_python" tests/windows/build_extensions.py "$build_dir/test-extensions"

start=$SECONDS
mapfile -t suite < <(grep -vE '^[[:space:]]*(#|$)' tests/windows/suite.txt)
status=0
PRETRAIN_TEST_EXTENSIONS=$(windows_path "$build_dir/test-extensions") PYTHONPATH="$repo/support" \
  "$build_dir/python" -m pytest -q -p no:cacheprovider "${suite[@]}" "$@" || status=$?
say "Windows suite: $(elapsed "$start") s"
exit "$status"
