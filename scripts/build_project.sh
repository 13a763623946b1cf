#!/usr/bin/env bash
# Builds the project into the given interpreter's environment (pip, through
# scikit-build-core) and shows what the compiler warned about: pip's verbose
# output goes to build/pip-install.log, its diagnostics are printed. Under
# CI=true warnings fail the build (CMakeLists.txt).
# Usage: build_project.sh PYTHON
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1
log=build/pip-install.log
mkdir -p build
if ! "$python" -m pip install -v --no-build-isolation --no-deps . >"$log" 2>&1; then
  grep -v "^WARNING: Location" "$log" | tail -80 >&2
  echo "build: failed (the whole output is in $log)" >&2
  exit 1
fi
warnings=$(grep -cE ": warning: " "$log" || true)
if [ "$warnings" != 0 ]; then
  grep -E -A3 ": warning: " "$log" >&2
  echo "build: $warnings compiler warning(s) (the whole output is in $log)" >&2
fi
echo "build: installed into $("$python" -c 'import sys; print(sys.prefix)')"
