#!/usr/bin/env bash
# The wheel-user lane: builds the wheels, installs them like a pip user into
# a fresh environment (scripts/resolved_venv.sh), and from a temporary folder
# with no checkout on any path runs scripts/wheel_user_check.py there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
python=${1:-.venv/bin/python}
start=$SECONDS
bash scripts/build_wheel.sh "$python" >/dev/null
venv=$(bash scripts/resolved_venv.sh)
work=$(mktemp -d "${TMPDIR:-/tmp}/pretrain-wheel-user.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp README.md scripts/wheel_user_check.py "$work"/
echo "test-wheel: $("$venv/bin/python" -m pip list --disable-pip-version-check 2>/dev/null |
  grep -iE '^(numpy|pillow|opencv-python|torch|mmengine|mmcv-lite|mmpretrain) ' | tr -s ' ' | paste -sd, -)"
status=0
(cd "$work" && env -u PYTHONPATH OMP_NUM_THREADS=1 "$venv/bin/python" wheel_user_check.py README.md "$work/run") || status=1
echo "test-wheel: $((SECONDS - start)) s"
exit $status
