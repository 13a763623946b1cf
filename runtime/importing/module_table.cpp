#include "module_table.h"

#include "error.h"
#include "platform.h"

#include <cstring>

namespace kaplet {

ModuleRow* find_row(const char* full_name) {
    for (ModuleRow& row : this_library().rows) {
        if (row.name == full_name) return &row;
    }
    return nullptr;
}

ModuleRow* find_row(PyObject* full_name) {
    if (!PyUnicode_Check(full_name)) return nullptr;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(full_name, &size);
    if (utf8 == nullptr) {
        // A name with lone surrogates has no UTF-8 form, so no row holds it.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_python_error();
        PyErr_Clear();
        return nullptr;
    }
    for (ModuleRow& row : this_library().rows) {
        if (row.name.size() == std::size_t(size) && std::memcmp(row.name.data(), utf8, std::size_t(size)) == 0) {
            return &row;
        }
    }
    return nullptr;
}

const std::string& library_directory() {
    static const std::string directory = [] {
        std::string path = platform::own_library_path();
        std::size_t cut = path.rfind(platform::kSeparator);
        return cut == std::string::npos ? std::string() : path.substr(0, cut);
    }();
    return directory;
}

std::string join_path(const std::string& directory, const std::string& relative) {
    if (directory.empty()) return relative;
    return directory + platform::kSeparator + relative;
}

std::string native_path(const char* relative) {
    std::string path(relative);
    for (char& c : path) {
        if (c == '/') c = platform::kSeparator;
    }
    return path;
}

static std::string package_path(const ModuleRow& row) {
    std::string package = row.name;
    if (!row.is_package) {
        std::size_t dot = package.rfind('.');
        package = dot == std::string::npos ? std::string() : package.substr(0, dot);
    }
    for (char& c : package) {
        if (c == '.') c = platform::kSeparator;
    }
    return package;
}

std::string module_directory(const ModuleRow& row) {
    std::string package = package_path(row);
    if (package.empty()) return library_directory();
    return join_path(library_directory(), package);
}

std::string file_value(const ModuleRow& row) {
    std::string last = row.name.substr(row.name.rfind('.') + 1);
    return join_path(module_directory(row), row.is_package ? std::string("__init__.py") : last + ".py");
}

Ref path_string(const std::string& utf8) {
    return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(utf8.data(), Py_ssize_t(utf8.size())));
}

void apply_nested_loading(const char* package_context) {
    if (package_context == nullptr) return;
    const char* last_dot = std::strrchr(package_context, '.');
    if (last_dot == nullptr) return;
    std::string outer(package_context, std::size_t(last_dot - package_context + 1));  // "outer."
    std::string last(last_dot + 1);
    for (ModuleRow& row : this_library().rows) {
        if (row.name == last || row.name.compare(0, last.size() + 1, last + ".") == 0) {
            row.name = outer + row.name;
        }
    }
}

}  // namespace kaplet
