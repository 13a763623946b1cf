#include "modules.h"

namespace pretrain {
void datasets_body(kaplet::Module&) {}
}  // namespace pretrain
