#!/usr/bin/env bash
# Installs the stand-in base library (support/, distribution
# pretrain-ravelin-standin) into the environment of PYTHON (default
# .venv/bin/python), unless that environment already has a `ravelin` of
# another origin: a real `ravelin` is never overwritten.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-$here/.venv/bin/python}
# Ask the environment itself, not this checkout's support/ directory.
owner=$(env -u PYTHONPATH "$python" - <<'EOF_PY'
import importlib.metadata as md
import importlib.util
spec = importlib.util.find_spec("ravelin")
if spec is None:
    print("none")
else:
    owners = md.packages_distributions().get("ravelin", [])
    print("standin" if owners == ["pretrain-ravelin-standin"] else "other:" + (spec.origin or ", ".join(spec.submodule_search_locations or [])))
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
# Built from a copy: setuptools leaves build/ and egg-info/ beside the sources.
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
cp -r "$here/support/." "$copy"
env -u PYTHONPATH "$python" -m pip install -q --no-index --no-build-isolation --no-deps "$copy"
