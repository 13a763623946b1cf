// The package `pretrain`: the library's entry, its module table and the
// package body. The package exports nothing of its own and imports none of
// its submodules; its attributes all come from the prologue.
#include "entry.h"
#include "module_table.h"
#include "modules.h"

namespace pretrain {

void package_body(kaplet::Module&) {}

}  // namespace pretrain

kaplet::LibraryDefinition& kaplet::this_library() {
    static LibraryDefinition library{
        "pretrain",
        {
            {"pretrain", true, pretrain::package_body, "pretrain/__init__.py", "<module pretrain>"},
            {"pretrain.analyzing_tools", false, pretrain::analyzing_tools_body, "pretrain/analyzing_tools.py",
             "<module pretrain.analyzing_tools>"},
            {"pretrain.cls_head", false, pretrain::cls_head_body, "pretrain/cls_head.py", "<module pretrain.cls_head>"},
            {"pretrain.datasets", false, pretrain::datasets_body, "pretrain/datasets.py", "<module pretrain.datasets>"},
            {"pretrain.image", false, pretrain::image_body, "pretrain/image.py", "<module pretrain.image>"},
        },
    };
    return library;
}

PyMODINIT_FUNC PyInit_pretrain(void) { return kaplet::library_entry(); }
