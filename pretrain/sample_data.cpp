#include "sample_data.h"

#include "module_table.h"
#include "standard_modules.h"

#ifndef PRETRAIN_SOURCE_DATA_DIR
#define PRETRAIN_SOURCE_DATA_DIR ""
#endif

namespace pretrain {

using namespace kaplet;

Ref sample_dataset_directory() {
    Ref os = standard_module("os");
    Ref from_environment = os.attr("environ").attr("get")(str("PRETRAIN_SAMPLE_DATA"));
    if (from_environment.get() != Py_None) return from_environment;
    Ref installed = path_string(join_path(library_directory(), native_path("pretrain_sample_data/digits")));
    if (os.attr("path").attr("isdir")(installed).truthy()) return installed;
    return path_string(PRETRAIN_SOURCE_DATA_DIR);
}

}  // namespace pretrain
