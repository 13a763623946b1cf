#!/usr/bin/env bash
# Makes .venv a Python 3.11 environment of this clone that sees the pinned stack.
#
# The heavy stack (torch and the rest of constraints.txt) lives once per
# machine in a cached environment outside the checkout, keyed by the hash of
# constraints.txt. Each clone gets its own small .venv whose site-packages
# reaches the cached one through a .pth file: the project and the tools of
# tools.txt are installed into the clone's .venv, so two clones never see
# each other's build, and torch is never installed twice.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. scripts/stack_lib.sh
target=$(stack_dir)
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
  echo "ensure_venv: creating the shared environment $target with $python"
  echo "ensure_venv: installs the pinned stack of constraints.txt: about 5.6 GB on disk;"
  echo "ensure_venv: torch 2.14.1 and torchvision 0.29.1 (most of that) come from the machine's wheel store where pip has one, else they are downloaded (several GB);"
  echo "ensure_venv: the rest (about 150 MB) is downloaded. About 4.5 minutes with the wheel store."
  rm -rf "$target"
  mkdir -p "$stack_cache"
  "$python" -m venv "$target"
  echo "ensure_venv: downloading pip 24.3.1 (1.8 MB)"
  "$target/bin/python" -m pip install -q --upgrade "pip==24.3.1"
  # torch first, alone, so the resolver never goes looking for another build.
  "$target/bin/python" -m pip install -q -c constraints.txt torch torchvision
  "$target/bin/python" -m pip install -q -c constraints.txt \
    numpy pillow mmengine mmcv-lite mmpretrain opencv-python pytest \
    importlib_resources scikit-build-core cmake ninja
  touch "$target/.complete"
fi

shared_site=$(python_site "$target/bin/python")
if ! layered_venv_ok .venv "$shared_site"; then
  layered_venv .venv "$("$target/bin/python" -c 'import sys; print(sys._base_executable)')" "$shared_site"
fi

# Small tools only some lanes need (type checker, wheel repair), per clone.
# Each line of tools.txt is "name==version  # download size: what needs it".
if [ -s tools.txt ]; then
  missing=$(.venv/bin/python - <<'EOF'
import importlib.metadata as md
for line in open("tools.txt"):
    pin, _, note = line.partition("#")
    pin = pin.strip()
    if not pin:
        continue
    name, _, version = pin.partition("==")
    try:
        if md.version(name) == version:
            continue
    except md.PackageNotFoundError:
        pass
    print(pin, note.strip())
EOF
)
  if [ -n "$missing" ]; then
    echo "$missing" | while read -r pin note; do
      echo "ensure_venv: downloading $pin into .venv (${note%%:*})"
    done
    .venv/bin/python -m pip install -q $(echo "$missing" | cut -d' ' -f1)
  fi
fi
