#!/usr/bin/env bash
# build/windows/python ARGS...: the Windows CPython 3.11 of the Windows test
# environment, run under Wine with this clone's Windows wheel installed
# (build/windows/site-packages) and the exit code passed through.
#
# PYTHONPATH is taken in this machine's form (/a:/b) and handed on in the
# Windows form (Z:\a;Z:\b). Standard streams: Wine's CPython cannot start
# with a closed standard input or with a regular file as standard output or
# error, so those are replaced by /dev/null and by pipes.
set -uo pipefail
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/windows_env.sh"

if [ ! -f "$env_dir/.complete" ]; then
  echo "build/windows/python: no Windows test environment; run make test-windows first" >&2
  exit 127
fi

search=("$(windows_path "$build_dir/site-packages")")
if [ -n "${PYTHONPATH:-}" ]; then
  IFS=: read -r -a entries <<<"$PYTHONPATH"
  for entry in "${entries[@]}"; do
    [ -n "$entry" ] && search+=("$(windows_path "$entry")")
  done
fi
PYTHONPATH=$(IFS=';'; echo "${search[*]}")
export PYTHONPATH WINEPREFIX="$wine_prefix" WINEDEBUG=${WINEDEBUG:--all}
# Microsoft's C++ runtime DLLs beside python.exe, not Wine's own: Wine 8's
# handler for MSVC's C++ exceptions crashes on torch's second or third one.
# A crash ends the process at once instead of waiting in Wine's debugger.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"vcruntime140,vcruntime140_1,msvcp140,msvcp140_1,msvcp140_2,msvcp140_atomic_wait,concrt140=n,b;winedbg.exe=d"}
# Intel OpenMP in torch stops at start-up under Wine when it pins threads.
export KMP_AFFINITY=${KMP_AFFINITY:-disabled}
# A piped console is cp1252; the package prints Chinese text.
export PYTHONUTF8=${PYTHONUTF8:-1}
unset PYTHONHOME PYTHONDONTWRITEBYTECODE

# The first Windows process of a Wine session starts Wine's own services and
# desktop, which live on and keep the standard streams they were given: a
# pipe of a test's child process would then never reach its end. So the
# session is started here first, with no streams (quick when it runs already).
wine "$win_python_dir/python.exe" -c "import ctypes; ctypes.windll.user32.GetDesktopWindow()" \
  </dev/null >/dev/null 2>&1

if ! [ -t 0 ] && ! [ -p /dev/stdin ]; then exec </dev/null; fi
if [ -f /dev/stderr ]; then exec 2> >(cat >&2); fi
if [ -f /dev/stdout ]; then
  wine "$win_python_dir/python.exe" "$@" | cat
  status=${PIPESTATUS[0]}
else
  wine "$win_python_dir/python.exe" "$@"
  status=$?
fi
exit "$status"
