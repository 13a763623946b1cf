"""What the training stack needs on Windows without the C++ build tools.

mmengine's Runner logs an environment report when it starts, and on Windows
the report asks distutils for the MSVC compiler. With setuptools installed,
`distutils` is setuptools' own copy, whose compiler lookup raises
`distutils.compilers.errors.PlatformError` ("Microsoft Visual C++ 14.0 or
greater is required") when no build tools are installed; the report only
catches `distutils.errors.DistutilsPlatformError`, so the Runner stops before
training starts.

DISTUTILS_USE_SDK=1 tells distutils that the compiler environment is already
set up and is to be taken as it is, so no build tools are looked for: the
report then runs `cl.exe` from PATH and records "n/a" when there is none.
distutils reads it when the Runner starts, so setting it at import is enough.
A value the user has set is kept. Nothing in training compiles code.
"""
import os


def apply():
    if os.name == "nt":
        os.environ.setdefault("DISTUTILS_USE_SDK", "1")
