#!/usr/bin/env bash
# Makes .venv point at a Python 3.11 environment holding the pinned stack.
# The environment itself lives outside the checkout, keyed by the hash of
# constraints.txt, so a clone reuses it and a new machine builds it once.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
key=$(sha256sum constraints.txt | cut -c1-16)
cache=${PRETRAIN_VENV_CACHE:-$HOME/.cache/pretrain-venvs}
target="$cache/$key"
if [ ! -x "$target/bin/python" ] || [ ! -f "$target/.complete" ]; then
  python=${PYTHON311:-}
  if [ -z "$python" ]; then
    for c in python3.11 python3; do
      if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then
        python=$(command -v "$c"); break
      fi
    done
  fi
  [ -n "$python" ] || { echo "ensure_venv: no Python 3.11 found" >&2; exit 1; }
  echo "ensure_venv: creating $target with $python"
  rm -rf "$target"
  mkdir -p "$cache"
  "$python" -m venv "$target"
  "$target/bin/python" -m pip install -q --upgrade "pip==24.3.1"
  # torch first, alone, so the resolver never goes looking for another build.
  "$target/bin/python" -m pip install -q -c constraints.txt torch torchvision
  "$target/bin/python" -m pip install -q -c constraints.txt \
    numpy pillow mmengine mmcv-lite mmpretrain opencv-python pytest \
    importlib_resources scikit-build-core cmake ninja
  touch "$target/.complete"
fi
if [ "$(readlink .venv 2>/dev/null)" != "$target" ]; then
  rm -rf .venv
  ln -s "$target" .venv
fi
