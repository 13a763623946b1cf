/* Configuration of the official CPython 3.11 build for 64-bit Windows, as
 * its public headers need it when an extension is compiled by mingw-w64
 * against that interpreter's python311.dll. Only what the public headers
 * read is here; everything about building the interpreter itself is not. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#  error "this configuration describes 64-bit Windows on x86-64 only"
#endif

#include <io.h>
#include <stddef.h>
#include <basetsd.h>

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The interpreter is a DLL: its functions and data are imported, an
 * extension's PyInit_ function is exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits, pointers and sizes are 64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_LONG_DOUBLE 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

typedef __int64 Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX _I64_MAX

#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX

#define PYLONG_BITS_IN_DIGIT 30
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1
#define HAVE_DYNAMIC_LOADING
#define HAVE_USABLE_WCHAR_T
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

#define HAVE_STDDEF_H 1
#define HAVE_STDLIB_H 1
#define HAVE_WCHAR_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_PROCESS_H 1
#define HAVE_DIRECT_H 1
#define HAVE_CONIO_H 1

#endif /* Py_CONFIG_H */
