// The resource reader "kaplet_resource_reader" that the finder hands out for
// its rows.
#include "resources.h"

#include "error.h"
#include "method_def.h"
#include "module_table.h"
#include "paths.h"
#include "resource_files.h"
#include "whole_file.h"

namespace kaplet {

namespace {

struct ReaderObject {
    PyObject_HEAD
    ModuleRow* row;
};

PyTypeObject* g_reader_type = nullptr;

ModuleRow& row_of(PyObject* self) { return *reinterpret_cast<ReaderObject*>(self)->row; }

Ref resource_path(PyObject* self, PyObject* filename) {
    Ref directory = path_string(module_directory(row_of(self)));
    return join_path_object(directory.get(), filename);
}

PyObject* reader_resource_path(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        static const char* keywords[] = {"filename", nullptr};
        PyObject* filename;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:resource_path", const_cast<char**>(keywords), &filename)) {
            return nullptr;
        }
        return resource_path(self, filename).release();
    });
}

PyObject* reader_open_resource(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        static const char* keywords[] = {"filename", nullptr};
        PyObject* filename;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:open_resource", const_cast<char**>(keywords), &filename)) {
            return nullptr;
        }
        Ref mode = str("rb");
        Ref buffering = integer(0);
        return builtin_open()(resource_path(self, filename), mode, buffering).release();
    });
}

PyObject* reader_files(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* {
        Ref empty = str("");
        return make_resource_files(&row_of(self), empty.get()).release();
    });
}

PyObject* reader_repr(PyObject* self) {
    return PyUnicode_FromFormat("<kaplet_resource_reader for '%s'>", row_of(self).name.c_str());
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef reader_methods[] = {
    {"resource_path", as_cfunction(reader_resource_path), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"open_resource", as_cfunction(reader_open_resource), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"files", reader_files, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(reader_repr)},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "__kaplet__.kaplet_resource_reader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    reader_slots,
};

Ref make_reader(ModuleRow* row) {
    if (g_reader_type == nullptr) {
        g_reader_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&reader_spec)));
    }
    ReaderObject* reader = PyObject_New(ReaderObject, g_reader_type);
    if (reader == nullptr) throw_python_error();
    reader->row = row;
    return Ref::steal(reinterpret_cast<PyObject*>(reader));
}

}  // namespace

PyObject* finder_get_resource_reader(PyObject*, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        static const char* keywords[] = {"module", nullptr};
        PyObject* module;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:get_resource_reader", const_cast<char**>(keywords),
                                         &module)) {
            return nullptr;
        }
        ModuleRow* row = find_row(module);
        if (row == nullptr) raise(PyExc_RuntimeError, "Requested resource reader for unhandled module %S", module);
        return make_reader(row).release();
    });
}

}  // namespace kaplet
