#!/usr/bin/env bash
# The Windows lane: installs this clone's wheel into the Windows test
# environment (scripts/windows_install.sh) and runs the Windows suite
# (tests/windows/suite.txt) under Wine with the stand-in ravelin on the path.
# Skips, saying why, when mingw-w64, Wine or the environment cannot be had on
# this machine. Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "$0")/windows_env.sh"
cd "$repo"

. "$repo/scripts/setup_lib.sh"

status=0
bash scripts/windows_install.sh || status=$?
if [ "$status" = 2 ]; then
  skip_lane test-windows "the Windows test environment cannot be made here (the reason is above)"
  exit 0
fi
[ "$status" = 0 ] || exit "$status"

# Extension files for the loader tests, compiled for Windows here because a
# Windows process under Wine cannot run the Linux compiler.
"$host_python" tests/windows/build_extensions.py "$build_dir/test-extensions"

start=$SECONDS
mapfile -t suite < <(grep -vE '^[[:space:]]*(#|$)' tests/windows/suite.txt)
status=0
PRETRAIN_TEST_EXTENSIONS=$(windows_path "$build_dir/test-extensions") PYTHONPATH="$repo/support" \
  "$build_dir/python" -m pytest -q -p no:cacheprovider "${suite[@]}" "$@" || status=$?
say "Windows suite: $((SECONDS - start)) s"

# The wheel-user check of scripts/test_wheel.sh with the Windows wheel, from a
# folder outside the checkout: the stand-in from its own wheel, nothing else
# on the path but what the wheels installed.
start=$SECONDS
standin=$build_dir/standin
rm -rf "$standin" && mkdir -p "$standin"
"$host_python" scripts/standin_wheel.py "$standin/dist" >/dev/null
"$host_python" -m pip install -q --no-deps --no-index --target "$standin/site" "$standin"/dist/*.whl
work=$(mktemp -d "${TMPDIR:-/tmp}/pretrain-wheel-user.XXXXXX")
cp README.md scripts/wheel_user_check.py "$work"/
(cd "$work" && PYTHONPATH="$standin/site/pretrain-ravelin-standin" OMP_NUM_THREADS=1 \
  "$build_dir/python" wheel_user_check.py README.md "$(windows_path "$work/run")") || status=1
rm -rf "$work"
say "Windows wheel-user check: $((SECONDS - start)) s"
exit "$status"
