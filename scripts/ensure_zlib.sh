#!/usr/bin/env bash
# zlib's header and static library, which the native libraries link in:
# Debian's zlib1g-dev for the Linux build. Usage: ensure_zlib.sh [mingw]
# (with mingw: libz-mingw-w64-dev, for the Windows cross build).
set -euo pipefail
. "$(dirname "$0")/setup_lib.sh"
if [ "${1:-}" = mingw ]; then
  [ -f /usr/x86_64-w64-mingw32/include/zlib.h ] && [ -f /usr/x86_64-w64-mingw32/lib/libz.a ] && exit 0
  apt_install "about 0.4 MB download, 1.2 MB on disk" libz-mingw-w64-dev && exit 0
else
  [ -f /usr/include/zlib.h ] && compgen -G "/usr/lib/*/libz.a" >/dev/null && exit 0
  apt_install "about 0.9 MB download, 1.3 MB on disk" zlib1g-dev && exit 0
fi
echo "setup: the build needs zlib's header and static library (zlib1g-dev, or libz-mingw-w64-dev for Windows)" >&2
exit 1
