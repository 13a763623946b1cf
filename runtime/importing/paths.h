// Paths as Python strings: conversion to and from the file-system encoding,
// the library's join on Python values, and the environment entry of a
// package's search path.
#pragma once

#include "ref.h"

#include <string>

namespace kaplet {

// A str, bytes or path-like object in the file-system encoding.
std::string fs_path(PyObject* path);

// The library's join (module_table.h join_path) on Python values; the result is a str.
Ref join_path_object(PyObject* directory, PyObject* relative);

// The second entry of a package's search path: the value of the environment
// variable KAPLET_PACKAGE_<library name> (read through os.environ.get), or the
// platform's not-existing directory when it is unset.
Ref package_environment_entry();

}  // namespace kaplet
