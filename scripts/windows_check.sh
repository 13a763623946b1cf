#!/usr/bin/env bash
# Compile-checks the Windows side of the platform layer with the mingw-w64
# cross compiler (syntax only). Installs the compiler when it can (root),
# saying so with its size; skips the lane, and says why, when it cannot.
set -u
. "$(dirname "$0")/setup_lib.sh"
cxx=x86_64-w64-mingw32-g++
if ! command -v "$cxx" >/dev/null 2>&1; then
  apt_install "about 630 MB on disk" g++-mingw-w64-x86-64 ||
    { skip_lane windows-check "$cxx is missing and could not be installed"; exit 0; }
fi
if "$cxx" -std=c++20 -fsyntax-only -D_WIN32 runtime/platform_win.cpp; then
  echo "windows-check: runtime/platform_win.cpp compiles for Windows"
else
  echo "windows-check: runtime/platform_win.cpp FAILED to compile for Windows" >&2
  exit 1
fi
