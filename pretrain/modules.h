// The module bodies of the library `pretrain`, one per source file.
#pragma once

#include "module_context.h"

namespace pretrain {

void package_body(kaplet::Module& m);
void analyzing_tools_body(kaplet::Module& m);
void cls_head_body(kaplet::Module& m);
void datasets_body(kaplet::Module& m);
void image_body(kaplet::Module& m);

}  // namespace pretrain
