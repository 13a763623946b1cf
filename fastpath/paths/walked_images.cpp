#include "walked_images.h"

#include "collector_pause.h"
#include "error.h"
#include "posix_paths.h"
#include "signal_checks.h"

#include <vector>

using kaplet::Ref;

namespace pretrain {

namespace {

// `text in extensions` for an exact list of exact str; false in `plain` for
// any other container, whose comparisons may run Python code.
bool plain_list_contains(PyObject* extensions, PyObject* text, bool& plain) {
    plain = PyList_CheckExact(extensions);
    for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(extensions); ++i) {
        PyObject* item = PyList_GET_ITEM(extensions, i);
        if (!PyUnicode_CheckExact(item)) plain = false;
        else if (item == text || PyUnicode_Compare(item, text) == 0) return true;
    }
    return false;
}

}  // namespace

Ref walked_images(TreeWalk& walk, PyObject* path_class, const std::function<Ref()>& img_ext) {
    PosixPaths paths(path_class);
    if (!paths.makes_paths()) return {};
    std::vector<std::size_t> kept_entries;
    bool plain = true;
    kaplet::SignalChecks signals;
    for (std::size_t i = 0; plain && i < walk.size(); ++i) {
        signals.step();
        Ref suffix = walk.suffix(i);
        Ref extensions = img_ext();
        if (plain_list_contains(extensions.get(), suffix.get(), plain)) kept_entries.push_back(i);
    }
    if (!plain) return {};
    Ref kept = Ref::steal(PyList_New(0));
    CollectorPause pause;
    for (std::size_t i : kept_entries) {
        signals.step();
        kaplet::check(PyList_Append(kept.get(), paths.make(walk.text(i).get()).get()));
    }
    return kept;
}

}  // namespace pretrain
