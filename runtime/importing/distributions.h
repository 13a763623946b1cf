// The distributions the finder reports to importlib.metadata.
#pragma once

#include <Python.h>

namespace kaplet {

// The finder's find_distributions (METH_VARARGS | METH_KEYWORDS | METH_STATIC).
PyObject* finder_find_distributions(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace kaplet
