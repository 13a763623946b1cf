#include "sample_data.h"

#include "error.h"
#include "module_table.h"
#include "standard_modules.h"

namespace pretrain {

using namespace kaplet;

namespace {

Ref environment_value(const char* name) {
    return standard_module("os").attr("environ").attr("get")(str(name));
}

bool is_directory(const Ref& path) { return standard_module("os").attr("path").attr("isdir")(path).truthy(); }

// The user's cache directory: %LOCALAPPDATA% on Windows, else $XDG_CACHE_HOME
// or ~/.cache.
Ref user_cache_directory() {
    Ref os = standard_module("os");
    bool windows = PyUnicode_CompareWithASCIIString(os.attr("name").get(), "nt") == 0;
    Ref configured = environment_value(windows ? "LOCALAPPDATA" : "XDG_CACHE_HOME");
    if (configured.get() != Py_None && os.attr("path").attr("isabs")(configured).truthy()) return configured;
    return os.attr("path").attr("expanduser")(str(windows ? "~" : "~/.cache"));
}

// The first 16 hex digits of the archive's SHA-256: a new archive never
// reuses the directory an older one was unpacked into.
Ref archive_digest(const Ref& archive) {
    Ref contents = standard_module("pathlib").attr("Path")(archive).attr("read_bytes")();
    Ref digest = standard_module("hashlib").attr("sha256")(contents).attr("hexdigest")();
    return Ref::steal(PySequence_GetSlice(digest.get(), 0, 16));
}

// Unpacks archive into a fresh directory beside target and renames it to
// target, so a reader sees either nothing or the whole dataset. When another
// process got there first its copy is kept and ours removed.
void unpack_into(const Ref& archive, const Ref& target) {
    Ref os = standard_module("os");
    Ref parent = os.attr("path").attr("dirname")(target);
    call_kw(os.attr("makedirs").get(), {parent.get()}, {{"exist_ok", Py_True}});
    Ref scratch = call_kw(standard_module("tempfile").attr("mkdtemp").get(), {},
                          {{"prefix", str(".unpacking-")}, {"dir", parent}});
    Ref zip = standard_module("zipfile").attr("ZipFile")(archive);
    try {
        zip.attr("extractall")(scratch);
        zip.attr("close")();
        os.attr("rename")(scratch, target);
    } catch (const PythonError&) {
        SavedError error = SavedError::fetch();
        bool lost_race = error.matches(PyExc_OSError) && is_directory(target);
        standard_module("shutil").attr("rmtree")(scratch, Py_True);
        if (!lost_race) error.rethrow();
    }
}

}  // namespace

Ref sample_dataset_directory() {
    Ref from_environment = environment_value("PRETRAIN_SAMPLE_DATA");
    if (from_environment.get() != Py_None) return from_environment;

    Ref archive = path_string(join_path(library_directory(), native_path("pretrain_sample_data/digits.zip")));
    Ref os_path = standard_module("os").attr("path");
    if (!os_path.attr("isfile")(archive).truthy()) {
        raise(PyExc_FileNotFoundError,
              "the sample dataset %U is missing; set PRETRAIN_SAMPLE_DATA to a dataset directory",
              archive.get());
    }
    Ref name = Ref::steal(PyUnicode_FromFormat("sample-%U", archive_digest(archive).get()));
    Ref unpacked = os_path.attr("join")(user_cache_directory(), str("pretrain"), name);
    Ref dataset = os_path.attr("join")(unpacked, str("digits"));
    if (!is_directory(dataset)) unpack_into(archive, unpacked);
    return dataset;
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
