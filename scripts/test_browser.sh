#!/usr/bin/env bash
# The browser lane: pretrain-check's HTML pages loaded in headless Chromium
# (tests/browser). Installs Debian's chromium when it is missing; skips,
# saying why, where it cannot be had. Writes its screenshots under
# build/browser (docs/check-report.png is one of them). Extra arguments go
# to pytest.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
. scripts/setup_lib.sh
python=${1:-.venv/bin/python}
shift || true

if [ -z "${CHROMIUM:-}" ] && ! command -v chromium >/dev/null; then
  apt_install "about 113 MB download, with its libraries" chromium ||
    { skip_lane test-browser "needs Debian's chromium, which cannot be installed here (the reason is above)"; exit 0; }
fi
"$python" -m pytest -q -p no:cacheprovider tests/browser "$@"
