#include "whole_file.h"

#include "error.h"
#include "standard_modules.h"

namespace kaplet {

Ref builtin_open() { return standard_module("builtins").attr("open"); }

Ref read_whole_file(PyObject* path, const char* mode, int buffering, PyObject* encoding) {
    Ref open = builtin_open();
    Ref mode_text = str(mode);
    Ref buffering_value = integer(buffering);
    Ref file = encoding ? open(path, mode_text, buffering_value, encoding) : open(path, mode_text, buffering_value);
    Ref data = Ref::steal_or_null(PyObject_CallMethod(file.get(), "read", nullptr));
    SavedError read_error = SavedError::fetch();
    Ref closed = Ref::steal_or_null(PyObject_CallMethod(file.get(), "close", nullptr));
    if (read_error) {
        PyErr_Clear();
        read_error.rethrow();
    }
    if (!closed) throw_python_error();
    return data;
}

}  // namespace kaplet
