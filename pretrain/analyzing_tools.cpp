#include "modules.h"

namespace pretrain {
void analyzing_tools_body(kaplet::Module&) {}
}  // namespace pretrain
