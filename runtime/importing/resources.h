// The resource reader the finder hands to importlib.resources.
#pragma once

#include <Python.h>

namespace kaplet {

// The finder's get_resource_reader (METH_VARARGS | METH_KEYWORDS | METH_STATIC).
PyObject* finder_get_resource_reader(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace kaplet
