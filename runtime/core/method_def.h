// Filling PyMethodDef tables with functions that take keyword arguments.
#pragma once

#include <Python.h>

namespace kaplet {

inline PyCFunction as_cfunction(PyCFunctionWithKeywords f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(f));
}

}  // namespace kaplet
