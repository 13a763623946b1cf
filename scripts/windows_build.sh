#!/usr/bin/env bash
# Cross-builds pretrain.pyd and __pycache__.pyd for 64-bit Windows with
# mingw-w64 and packs them into dist/pretrain-<version>-cp311-cp311-win_amd64.whl.
set -euo pipefail
source "$(dirname "$0")/windows_env.sh"
cd "$repo"

ensure_mingw || { say "cannot cross-build without mingw-w64"; exit 1; }
bash "$repo/scripts/ensure_zlib.sh" mingw || { say "cannot cross-build without zlib for mingw-w64"; exit 1; }
ensure_embedded_python

# CPython's public headers of the build interpreter, with the Windows
# configuration header in place of the build machine's own: Python.h finds
# pyconfig.h beside itself first, so it is replaced in a copy.
include_dir="$build_dir/include"
host_include=$("$host_python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
# Timestamps are kept, so an unchanged copy rebuilds nothing.
rm -rf "$include_dir"
mkdir -p "$include_dir"
cp -Rp "$host_include"/. "$include_dir"/
cp -p cmake/windows-include/pyconfig.h "$include_dir/pyconfig.h"

# Import library of the Windows interpreter's python311.dll, the DLL beside it.
import_library="$build_dir/libpython311.dll.a"
if [ ! -f "$import_library" ] || [ "$embed_dir/python311.dll" -nt "$import_library" ]; then
  cp "$embed_dir/python311.dll" "$build_dir/python311.dll"
  gendef - "$build_dir/python311.dll" >"$build_dir/python311.def" 2>/dev/null
  x86_64-w64-mingw32-dlltool -d "$build_dir/python311.def" -D python311.dll -l "$import_library"
fi

cmake=$(command -v cmake || "$host_python" -c 'import cmake, os; print(os.path.join(cmake.CMAKE_BIN_DIR, "cmake"))')
log="$build_dir/build.log"
{
  "$cmake" -S . -B "$build_dir/cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DPython_EXECUTABLE="$host_python" -DPython_INCLUDE_DIR="$include_dir" \
    -DPython_LIBRARY="$import_library" &&
  env -u MAKEFLAGS -u MAKELEVEL "$cmake" --build "$build_dir/cmake" -j "${BUILD_JOBS:-2}" &&
  rm -rf "$build_dir/stage" &&
  "$cmake" --install "$build_dir/cmake" --prefix "$build_dir/stage"
} >"$log" 2>&1 || { cat "$log" >&2; say "cross build failed" >&2; exit 1; }

# What a Windows Python process will see of the two libraries.
for library in pretrain __pycache__; do
  file="$build_dir/stage/$library.pyd"
  exports=$(x86_64-w64-mingw32-objdump -p "$file" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk 'NR > 1 && NF { print $NF }')
  if [ "$exports" != "PyInit_$library" ]; then
    say "$library.pyd exports more than PyInit_$library:" $exports >&2
    exit 1
  fi
  imports=$(x86_64-w64-mingw32-objdump -p "$file" | awk '/DLL Name:/ { print $3 }')
  if grep -qiE 'libstdc|libgcc|libwinpthread' <<<"$imports"; then
    say "$library.pyd needs a mingw runtime DLL:" $imports >&2
    exit 1
  fi
  say "$library.pyd exports PyInit_$library only; imports" $imports
done

mkdir -p dist
"$host_python" scripts/windows_wheel.py "$build_dir/stage" dist
