#include "paths.h"

#include "error.h"
#include "module_table.h"
#include "platform.h"
#include "standard_modules.h"

namespace kaplet {

std::string fs_path(PyObject* path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) throw_python_error();
    Ref bytes = Ref::steal(encoded);
    return std::string(PyBytes_AS_STRING(bytes.get()), std::size_t(PyBytes_GET_SIZE(bytes.get())));
}

Ref join_path_object(PyObject* directory, PyObject* relative) {
    return path_string(join_path(fs_path(directory), fs_path(relative)));
}

Ref package_environment_entry() {
    std::string variable = std::string("KAPLET_PACKAGE_") + this_library().name;
    Ref get = standard_module("os").attr("environ").attr("get");
    return get(str(variable.c_str()), str(platform::kNotExisting));
}

}  // namespace kaplet
