#include "traceback.h"

#include "error.h"

#include <string>

namespace kaplet {

namespace {

// str as UTF-8; fallback when it is no str or cannot be encoded.
std::string text_of(PyObject* value, const char* fallback) {
    if (value == nullptr || !PyUnicode_Check(value)) return fallback;
    const char* utf8 = PyUnicode_AsUTF8(value);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return fallback;
    }
    return utf8;
}

}  // namespace

void add_traceback_entry(PyObject* globals, const char* code_name, int line) noexcept {
    SavedError error = SavedError::fetch();
    std::string filename = "<unknown>";
    try {
        if (globals != nullptr && PyDict_Check(globals)) {
            Ref file = Ref::borrow_or_null(PyDict_GetItemString(globals, "__file__"));
            filename = text_of(file.get(), "<unknown>");
        }
        PyErr_Clear();
        error.restore();
        _PyTraceback_Add(code_name, filename.c_str(), line);
    } catch (...) {
        // Only std::string can throw here (out of memory): keep the error as it is.
        PyErr_Clear();
        if (error) error.restore();
    }
}

void add_traceback_entry(PyObject* globals, PyObject* code_name, int line) noexcept {
    SavedError error = SavedError::fetch();
    std::string name;
    try {
        name = text_of(Ref::borrow_or_null(code_name).get(), "<unknown>");
    } catch (...) {
        PyErr_Clear();
    }
    error.restore();
    add_traceback_entry(globals, name.c_str(), line);
}

}  // namespace kaplet
