// Resource readers and distribution answers of the finder.
#include "error.h"
#include "loader_services.h"

namespace kaplet {

PyObject* finder_get_resource_reader(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        static const char* keywords[] = {"module", nullptr};
        PyObject* module;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:get_resource_reader", const_cast<char**>(keywords),
                                         &module)) {
            return nullptr;
        }
        raise(PyExc_RuntimeError, "Requested resource reader for unhandled module %S", module);
    });
}

PyObject* finder_find_distributions(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        static const char* keywords[] = {"context", nullptr};
        PyObject* context = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:find_distributions", const_cast<char**>(keywords),
                                         &context)) {
            return nullptr;
        }
        Ref empty = Ref::steal(PyTuple_New(0));
        return PyObject_GetIter(empty.get());
    });
}

}  // namespace kaplet
