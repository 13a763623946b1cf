# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (scripts/windows_build.sh).
#
# The CPython side is given from outside, as cache entries:
#   Python_EXECUTABLE   the build machine's CPython 3.11 (its version is checked)
#   Python_INCLUDE_DIR  CPython 3.11 headers with cmake/windows-include/pyconfig.h
#   Python_LIBRARY      import library of the Windows interpreter's python311.dll,
#                       with python311.dll itself beside it (so the library is
#                       known to be a DLL's and nothing of the host's is added)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)  # finds python311.dll beside its import library
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The libraries load into any Python process: no libstdc++, libgcc or
# winpthread DLL may be needed beside them. Symbols are stripped (-s): the
# export table stays.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static -s")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static -s")

# Extension modules are named plain <name>.pyd.
set(Python_SOABI "" CACHE STRING "")
