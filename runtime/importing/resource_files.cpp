#include "resource_files.h"

#include "builtin_methods.h"
#include "error.h"
#include "method_def.h"
#include "paths.h"
#include "standard_modules.h"
#include "whole_file.h"

namespace kaplet {

namespace {

struct FilesObject {
    PyObject_HEAD
    ModuleRow* row;
    PyObject* relative;  // str
};

PyTypeObject* g_files_type = nullptr;
bool g_registered_as_file = false;

FilesObject* as_files(PyObject* self) { return reinterpret_cast<FilesObject*>(self); }

Ref os_path() { return standard_module("os.path"); }

// The relative path itself when it is absolute, else the row's module
// directory joined with it (the directory alone for an empty relative path).
Ref full_path(PyObject* self) {
    FilesObject* files = as_files(self);
    if (os_path().attr("isabs")(files->relative).truthy()) return Ref::borrow(files->relative);
    Ref directory = path_string(module_directory(*files->row));
    // The relative path is a str unless a patched os.path handed back something else.
    if (PyUnicode_Check(files->relative) && PyUnicode_GET_LENGTH(files->relative) == 0) return directory;
    return join_path_object(directory.get(), files->relative);
}

Ref sibling(PyObject* self, PyObject* relative) { return make_resource_files(as_files(self)->row, relative); }

Ref joined(PyObject* self, PyObject* part) {
    Ref relative = join_path_object(as_files(self)->relative, part);
    return sibling(self, relative.get());
}

Ref full_path_query(PyObject* self, const char* function) { return os_path().attr(function)(full_path(self)); }

PyObject* files_iterdir(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* {
        Ref entries = standard_module("os").attr("listdir")(full_path(self));
        Ref children = Ref::steal(PyList_New(0));
        Ref iterator = Ref::steal(PyObject_GetIter(entries.get()));
        while (Ref entry = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
            Ref child = joined(self, entry.get());
            check(PyList_Append(children.get(), child.get()));
        }
        if (PyErr_Occurred()) throw_python_error();
        return Ref::steal(PyObject_GetIter(children.get())).release();
    });
}

PyObject* files_read_bytes(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* { return read_whole_file(full_path(self).get(), "rb", 0).release(); });
}

Ref files_read_text(Args& a) {
    return read_whole_file(full_path(a[0]).get(), "r", 1, a.has(1) ? a[1] : Py_None);
}

PyObject* files_exists(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* { return full_path_query(self, "exists").release(); });
}

PyObject* files_is_dir(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* { return full_path_query(self, "isdir").release(); });
}

PyObject* files_is_file(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* { return full_path_query(self, "isfile").release(); });
}

constexpr Param kSelfChild[] = {{"self"}, {"child"}};
// Binds only `child`, given by keyword; the positional arguments are the descendants.
constexpr MethodDef kJoinpathKeywords{{"joinpath", kSelfChild, Impl{}}, 0, true};

PyObject* files_joinpath(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        Args a(Py_None, 2);
        bind_method_call(kJoinpathKeywords, self, nullptr, kwargs, a);
        Ref result = Ref::borrow(self);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) result = joined(result.get(), PyTuple_GET_ITEM(args, i));
        if (a.has(1)) result = joined(result.get(), a[1]);
        return result.release();
    });
}

Ref files_open(Args& a) {
    Ref mode = a.has(1) ? a.ref(1) : str("r");
    Ref buffering = a.has(2) ? a.ref(2) : integer(-1);
    auto or_none = [&](std::size_t i) { return a.has(i) ? a[i] : Py_None; };
    return builtin_open()(full_path(a[0]), mode, buffering, or_none(3), or_none(4), or_none(5));
}

constexpr Param kSelfEncoding[] = {{"self"}, {"encoding"}};
constexpr Param kOpenParams[] = {{"self"}, {"mode"}, {"buffering"}, {"encoding"}, {"errors"}, {"newline"}};
constexpr MethodDef kReadText{{"read_text", kSelfEncoding, files_read_text}, 0, true};
constexpr MethodDef kOpen{{"open", kOpenParams, files_open}, 0, true};

PyObject* files_self(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* files_exit(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* files_fspath(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* { return full_path(self).release(); });
}

PyObject* files_absolute(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* {
        Ref absolute = os_path().attr("abspath")(full_path(self));
        return sibling(self, absolute.get()).release();
    });
}

PyObject* files_as_posix(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* {
        Ref backslash = str("\\");
        Ref slash = str("/");
        return Ref::steal(PyUnicode_Replace(full_path(self).get(), backslash.get(), slash.get(), -1)).release();
    });
}

PyObject* files_name(PyObject* self, void*) {
    return boundary([&]() -> PyObject* { return full_path_query(self, "basename").release(); });
}

PyObject* files_parent(PyObject* self, void*) {
    return boundary([&]() -> PyObject* {
        Ref absolute = os_path().attr("abspath")(full_path(self));
        Ref directory = os_path().attr("dirname")(absolute);
        return sibling(self, directory.get()).release();
    });
}

PyObject* files_richcompare(PyObject* self, PyObject* other, int op) {
    return boundary([&]() -> PyObject* {
        Ref left = Ref::steal(PyObject_Str(self));
        Ref right = Ref::steal(PyObject_Str(other));
        return Ref::steal(PyObject_RichCompare(left.get(), right.get(), op)).release();
    });
}

PyObject* files_true_divide(PyObject* left, PyObject* right) {
    if (!PyObject_TypeCheck(left, g_files_type)) Py_RETURN_NOTIMPLEMENTED;
    return boundary([&]() -> PyObject* { return joined(left, right).release(); });
}

PyObject* files_repr(PyObject* self) {
    FilesObject* files = as_files(self);
    return PyUnicode_FromFormat("<kaplet_resource_reader_files for package '%s' file %R>", files->row->name.c_str(),
                                files->relative);
}

void files_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(as_files(self)->relative);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef files_methods[] = {
    {"iterdir", files_iterdir, METH_NOARGS, nullptr},
    {"read_bytes", files_read_bytes, METH_NOARGS, nullptr},
    method_row<kReadText>(),
    {"exists", files_exists, METH_NOARGS, nullptr},
    {"is_dir", files_is_dir, METH_NOARGS, nullptr},
    {"is_file", files_is_file, METH_NOARGS, nullptr},
    {"joinpath", as_cfunction(files_joinpath), METH_VARARGS | METH_KEYWORDS, nullptr},
    method_row<kOpen>(),
    {"__enter__", files_self, METH_NOARGS, nullptr},
    {"__exit__", files_exit, METH_VARARGS, nullptr},
    {"as_file", files_self, METH_NOARGS, nullptr},
    {"__fspath__", files_fspath, METH_NOARGS, nullptr},
    {"absolute", files_absolute, METH_NOARGS, nullptr},
    {"as_posix", files_as_posix, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef files_getset[] = {
    {"name", files_name, nullptr, nullptr, nullptr},
    {"parent", files_parent, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot files_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(files_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(files_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(files_richcompare)},
    {Py_nb_true_divide, reinterpret_cast<void*>(files_true_divide)},
    {Py_tp_methods, files_methods},
    {Py_tp_getset, files_getset},
    {0, nullptr},
};

PyType_Spec files_spec = {
    "__kaplet__.kaplet_resource_reader_files",
    sizeof(FilesObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    files_slots,
};

PyTypeObject* files_type() {
    if (g_files_type == nullptr) {
        g_files_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&files_spec)));
    }
    return g_files_type;
}

// as_file.register(<files type>, <files type>.as_file) on one resources package.
void register_as_file(PyObject* resources) {
    PyObject* type = reinterpret_cast<PyObject*>(g_files_type);
    Ref own_as_file = Ref::borrow(type).attr("as_file");
    Ref::borrow(resources).attr("as_file").attr("register")(type, own_as_file);
}

void register_as_file_once() {
    if (g_registered_as_file) return;
    register_as_file(standard_module("importlib.resources").get());
    Ref backport = Ref::steal_or_null(PyImport_ImportModule("importlib_resources"));
    if (backport) {
        register_as_file(backport.get());
    } else {
        if (!error_matches(PyExc_ImportError)) throw_python_error();
        PyErr_Clear();
    }
    g_registered_as_file = true;
}

}  // namespace

Ref make_resource_files(ModuleRow* row, PyObject* relative) {
    PyTypeObject* type = files_type();
    FilesObject* files = PyObject_New(FilesObject, type);
    if (files == nullptr) throw_python_error();
    files->row = row;
    files->relative = Py_NewRef(relative);
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(files));
    register_as_file_once();
    return result;
}

}  // namespace kaplet
