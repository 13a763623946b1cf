#include "sample_data.h"

#include "error.h"
#include "module_table.h"
#include "standard_modules.h"

namespace pretrain {

using namespace kaplet;

namespace {

bool is_directory(const Ref& path) { return standard_module("os").attr("path").attr("isdir")(path).truthy(); }

}  // namespace

Ref sample_dataset_directory() {
    Ref archive = path_string(join_path(library_directory(), native_path("pretrain_sample_data/digits.zip")));
    return Ref::steal(PyImport_ImportModule("pretrain_sample_data")).attr("sample_digits")(archive);
}

Ref command_line_dataset_directory(const Ref& module_name, const char* usage) {
    if (PyUnicode_Check(module_name.get()) &&
        PyUnicode_CompareWithASCIIString(module_name.get(), "__main__") == 0) {
        Ref argv = standard_module("sys").attr("argv");
        Py_ssize_t count = PyObject_Length(argv.get());
        if (count < 0) throw_python_error();
        if (count > 2) raise(PyExc_SystemExit, "usage: %s", usage);
        if (count == 2) {
            Ref directory = argv.item(Ref::steal(PyLong_FromLong(1)).get());
            if (!is_directory(directory)) {
                raise(PyExc_SystemExit, "usage: %s\n%S is not a directory", usage, directory.get());
            }
            return directory;
        }
    }
    return sample_dataset_directory();
}

}  // namespace pretrain
