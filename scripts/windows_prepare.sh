#!/usr/bin/env bash
# Makes the Windows test environment, once per content of
# scripts/windows_stack.txt: Wine, the official embeddable CPython 3.11 for
# win_amd64 and the win_amd64 wheels of the pinned stack, cached outside the
# clone (scripts/windows_env.sh says where). Then links build/windows/python,
# which runs that interpreter under Wine.
# Exit status 0: ready; 1: failed; 2: cannot be made on this machine (said why).
set -euo pipefail
source "$(dirname "$0")/windows_env.sh"
cd "$repo"

# One clone at a time makes the shared environment; the others wait for it.
mkdir -p "$cache"
exec 9>"$cache/prepare.lock"
flock 9

ensure_wine || exit 2
ensure_embedded_python || exit 2

if [ ! -f "$env_dir/.complete" ]; then
  say "making the Windows test environment $env_dir"
  say "downloads the win_amd64 wheels of scripts/windows_stack.txt (about 210 MB, of which torch 2.14.1 for the CPU is 124 MB) into $downloads"
  requirements=$(mktemp)
  grep -vE '^[[:space:]]*(#|$)' "$stack_list" >"$requirements"
  windows_pip() {
    "$host_python" -m pip "$@" --no-deps --only-binary=:all: --platform win_amd64 \
      --python-version 3.11 --implementation cp --abi cp311 --abi abi3 --abi none -r "$requirements"
  }
  if ! windows_pip download -q -d "$downloads" 2>"$cache/download.log"; then
    cat "$cache/download.log" >&2
    say "could not download the Windows wheels (no network?)"
    rm -f "$requirements"
    exit 2
  fi

  staging="$env_dir.partial"
  rm -rf "$staging" "$env_dir"
  mkdir -p "$staging"
  cp -R "$embed_dir" "$staging/python"
  # Without the ._pth file the interpreter honours PYTHONPATH and finds
  # Lib\site-packages the way a regular installation does.
  rm -f "$staging/python"/python*._pth "$staging/python/.complete"
  mkdir -p "$staging/python/Lib/site-packages"
  windows_pip install -q --no-index --find-links "$downloads" --target "$staging/python/Lib/site-packages" \
    2>"$staging/install.log" || { cat "$staging/install.log" >&2; exit 1; }
  rm -f "$requirements"
  # The Visual C++ runtime DLLs (torch needs VCRUNTIME140_THREADS.dll) go
  # beside python.exe, one release for all of them (build/windows/python
  # makes Wine load these rather than its own).
  unpack=$(mktemp -d)
  "$host_python" -m zipfile -e "$downloads"/msvc_runtime-*-win_amd64.whl "$unpack"
  cp "$unpack"/msvc_runtime-*.data/data/Scripts/*.dll "$staging/python/"
  rm -rf "$unpack"

  say "creating the Wine prefix (about 1 minute)"
  WINEPREFIX="$staging/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    wine wineboot --init </dev/null >"$staging/wineboot.log" 2>&1
  WINEPREFIX="$staging/wine" wineserver --wait || true

  mv "$staging" "$env_dir"
  touch "$env_dir/.complete"
  say "Windows test environment ready: $(du -sh "$env_dir" | cut -f1) on disk"
fi

mkdir -p "$build_dir"
ln -sfn ../../scripts/windows_python.sh "$build_dir/python"
