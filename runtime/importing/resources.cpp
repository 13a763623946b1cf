// The resource reader "kaplet_resource_reader" that the finder hands out for
// its rows.
#include "resources.h"

#include "builtin_methods.h"
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

Ref reader_resource_path(Args& a) { return resource_path(a[0], a[1]); }

Ref reader_open_resource(Args& a) {
    Ref mode = str("rb");
    Ref buffering = integer(0);
    return builtin_open()(resource_path(a[0], a[1]), mode, buffering);
}

constexpr Param kSelfFilename[] = {{"self"}, {"filename"}};
constexpr MethodDef kResourcePath{{"resource_path", kSelfFilename, reader_resource_path}, 1, true};
constexpr MethodDef kOpenResource{{"open_resource", kSelfFilename, reader_open_resource}, 1, true};

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
    method_row<kResourcePath>(),
    method_row<kOpenResource>(),
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

namespace {

Ref get_resource_reader(Args& a) {
    ModuleRow* row = find_row(a[0]);
    if (row == nullptr) raise(PyExc_RuntimeError, "Requested resource reader for unhandled module %S", a[0]);
    return make_reader(row);
}

constexpr Param kModule[] = {{"module"}};

}  // namespace

extern const MethodDef kGetResourceReader{{"get_resource_reader", kModule, get_resource_reader}, 1};

}  // namespace kaplet
