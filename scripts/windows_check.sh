#!/usr/bin/env bash
# Compile-checks the Windows side of the platform layer with the mingw-w64
# cross compiler (syntax only). Installs the compiler when it can; says so
# and goes on when it cannot.
set -u
cxx=x86_64-w64-mingw32-g++
if ! command -v "$cxx" >/dev/null 2>&1; then
  if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-mingw-w64-x86-64) \
      >/dev/null 2>&1 || true
  fi
fi
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "windows-check: $cxx is not available; Windows platform layer not compile-checked"
  exit 0
fi
if "$cxx" -std=c++20 -fsyntax-only -D_WIN32 runtime/platform_win.cpp; then
  echo "windows-check: runtime/platform_win.cpp compiles for Windows"
else
  echo "windows-check: runtime/platform_win.cpp FAILED to compile for Windows" >&2
  exit 1
fi
