#!/usr/bin/env bash
# Builds both libraries with AddressSanitizer + UndefinedBehaviorSanitizer
# into build/sanitize (separate from the normal build) and prints the
# environment that runs Python against them, as `export` lines:
#   eval "$(bash scripts/sanitizer_env.sh)"
# Nothing is downloaded: the compiler's own sanitizer runtimes are used.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
py=.venv/bin/python
tools=$($py -c 'import cmake, ninja, os; print(cmake.CMAKE_BIN_DIR + os.pathsep + ninja.BIN_DIR)')
export PATH="$tools:$PATH"
cxx=${CXX:-g++}
asan=$($cxx -print-file-name=libasan.so)
# libstdc++ is preloaded too: the sanitizer intercepts __cxa_throw only when
# it is present at start-up (the interpreter itself does not link it).
stdcxx=$($cxx -print-file-name=libstdc++.so.6)
[ -f "$asan" ] || { echo "sanitizer_env: $cxx has no libasan.so" >&2; exit 1; }
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
build=build/sanitize
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" -DPython_EXECUTABLE="$here/$py" -DPRETRAIN_STATIC_CXX_RUNTIME=OFF \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" >&2
fi
cmake --build "$build" >&2
echo "export PYTHONPATH='$here/$build/python:$here/support'"
echo "export LD_PRELOAD='$asan $stdcxx'"
echo "export PYTHONMALLOC=malloc"
# The interpreter keeps memory until exit by design: leak reports are off.
echo "export ASAN_OPTIONS='detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:handle_segv=1:print_summary=1'"
echo "export UBSAN_OPTIONS='halt_on_error=1:print_stacktrace=1:abort_on_error=1'"
