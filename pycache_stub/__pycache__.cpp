// The library `__pycache__`: one empty package whose search path is a
// namespace path over the directory `__pycache__` beside the library file and
// the directory named by KAPLET_PACKAGE___pycache__.
//
//   __path__ = _NamespacePath("__pycache__",
//                             [<library directory>/__pycache__,
//                              os.environ.get("KAPLET_PACKAGE___pycache__", "/not_existing")],
//                             None)
#include "entry.h"
#include "module_table.h"
#include "paths.h"
#include "standard_modules.h"

using namespace kaplet;

namespace pycache {

void package_body(Module& m) {
    Ref namespace_path = standard_module("_frozen_importlib_external").attr("_NamespacePath");
    Ref beside_library = path_string(join_path(library_directory(), "__pycache__"));
    Ref search = list({beside_library.get(), package_environment_entry().get()});
    m.bind("__path__", namespace_path(str("__pycache__"), search, Py_None));
}

}  // namespace pycache

kaplet::LibraryDefinition& kaplet::this_library() {
    static LibraryDefinition library{
        "__pycache__",
        {
            {"__pycache__", true, pycache::package_body, nullptr, "<module __pycache__>"},
        },
    };
    return library;
}

PyMODINIT_FUNC PyInit___pycache__(void) { return kaplet::library_entry(); }
