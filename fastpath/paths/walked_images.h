// `[p for p in (Path(t) for t in walk) if p.suffix in img_ext]` over a
// natively walked tree, done on the walk's own suffix texts: the files are
// filtered first and only the kept ones become paths, which nothing can tell
// apart while Path is pathlib's own and img_ext an exact list of exact str
// (comparing those runs no Python code).
#pragma once

#include "ref.h"
#include "tree_walk.h"

#include <functional>

namespace pretrain {

// The kept paths; null when the shortcut does not apply, and the
// comprehensions must run as written over `walk.texts()`. `img_ext` reads
// the name once, as the comprehension does for every item.
kaplet::Ref walked_images(TreeWalk& walk, PyObject* path_class, const std::function<kaplet::Ref()>& img_ext);

}  // namespace pretrain
