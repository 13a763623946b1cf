#!/usr/bin/env bash
# Installs the stand-in base library (support/, distribution
# pretrain-ravelin-standin) into the environment of PYTHON (default
# .venv/bin/python) from its wheel, unless that environment already has a
# `ravelin` of another origin: there it says so and installs nothing (the
# wheel itself would leave such a `ravelin` first on the path, unchanged).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-$here/.venv/bin/python}
# Ask the environment itself, not this checkout's support/ directory.
owner=$(env -u PYTHONPATH "$python" - <<'EOF_PY'
import importlib.metadata as md
import importlib.util
spec = importlib.util.find_spec("ravelin")
try:
    standin = md.distribution("pretrain-ravelin-standin").locate_file("pretrain-ravelin-standin")
except md.PackageNotFoundError:
    standin = None
if spec is None:
    print("none")
else:
    where = spec.origin or ", ".join(spec.submodule_search_locations or [])
    print("standin" if standin is not None and where.startswith(str(standin)) else "other:" + where)
EOF_PY
)
case "$owner" in
  other:*)
    echo "install_ravelin_standin: this environment already has a ravelin (${owner#other:}); it is used as it is and the stand-in is not installed" >&2
    exit 1 ;;
  standin)
    echo "install_ravelin_standin: updating the stand-in (pretrain-ravelin-standin, a few kB)" ;;
  *)
    echo "install_ravelin_standin: installing the stand-in (pretrain-ravelin-standin, a few kB, nothing downloaded)" ;;
esac
wheels=$(mktemp -d)
trap 'rm -rf "$wheels"' EXIT
"$python" "$here/scripts/standin_wheel.py" "$wheels" >/dev/null
env -u PYTHONPATH "$python" -m pip install -q --no-index --no-deps --force-reinstall "$wheels"/pretrain_ravelin_standin-*.whl
