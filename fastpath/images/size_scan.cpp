#include "size_scan.h"

#include "error.h"
#include "names.h"
#include "platform.h"

#include <algorithm>

using kaplet::Ref;
using kaplet::operator""_py;

namespace pretrain {

SizeScan::SizeScan(PyObject* image_module)
    : image_module_(Ref::borrow(image_module)),
      check_holder_(kaplet::InterpreterCache<PillowCheck>::get()),
      check_(kaplet::InterpreterCache<PillowCheck>::of(check_holder_)),
      paths_(Py_None),
      mode_(kaplet::str("r")) {}

int SizeScan::traverse(visitproc visit, void* arg) const {
    Py_VISIT(image_module_.get());
    Py_VISIT(check_holder_.get());
    Py_VISIT(mode_.get());
    Py_VISIT(last_text_.get());
    return pipeline_.traverse(visit, arg);
}

void SizeScan::use_image_module(PyObject* image_module) {
    if (image_module == image_module_.get()) return;
    image_module_ = Ref::borrow(image_module);
    python_ran();
}

void SizeScan::pillow_ran() noexcept {
    if (check_.open_is_own()) {
        pillow_ran_ = true;
    } else {
        python_ran();
    }
}

void SizeScan::check_pending() {
    // Pillow's own opening code imports what some readers need (JPEG's EXIF
    // goes through TiffImagePlugin): anything the code check read that
    // changed is checked again.
    if (pillow_ran_ && !check_.unchanged()) python_ran_ = true;
    if (python_ran_) {
        python_ran_ = false;
        paths_.python_ran();
        check_.recheck_code(image_module_.get());
        pillow_ran_ = true;
    }
    if (pillow_ran_) {
        pillow_ran_ = false;
        check_.refresh_order(image_module_.get());
    }
}

bool SizeScan::prepare(PyObject* path, HeaderPipeline::File& file) {
    file.path = Ref::borrow(path);
    file.epoch = python_runs_;
    if (PyUnicode_CheckExact(path)) {
        file.filename = file.path;
    } else {
        file.filename = paths_.fspath(path);
        if (!file.filename) return false;
    }
    Ref encoded = Ref::steal_or_null(PyUnicode_EncodeFSDefault(file.filename.get()));
    if (!encoded) {
        PyErr_Clear();
        file.filename = {};
        return false;
    }
    const char* bytes = PyBytes_AS_STRING(encoded.get());
    std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
    if (size == 0 || std::char_traits<char>::find(bytes, size, '\0') != nullptr) {
        file.filename = {};
        return false;
    }
    file.system_path.assign(bytes, size);
    return true;
}

// The pipeline's next file is this item's, read under the rules in force:
// the same object, and, when Python code ran since it was prepared, still
// the same file name.
bool SizeScan::still_holds(PyObject* path, Py_ssize_t index) {
    if (!pipeline_.runs(check_.formats(), check_.rules()) || index != pipeline_.first_index() || index >= pipeline_.end_index()) {
        return false;
    }
    const HeaderPipeline::File& held = pipeline_.file(index);
    if (held.path.get() != path) return false;
    if (held.epoch == python_runs_) return true;
    HeaderPipeline::File again;
    bool readable = prepare(path, again);
    if (readable != static_cast<bool>(held.filename)) return false;
    if (!readable) return true;
    int same = PyUnicode_Compare(again.filename.get(), held.filename.get());
    if (same == -1 && PyErr_Occurred()) kaplet::throw_python_error();
    return same == 0;
}

// Prepares the items after the pipeline's last, up to `ahead_` past index;
// the reach doubles at each top-up, so a scan that stops early has read
// little ahead of it. Preparing allocates, so the list is re-read each time.
void SizeScan::read_ahead(PyObject* path_list, Py_ssize_t index) {
    constexpr std::int64_t kFirstReach = 64, kMostReach = 4096;
    if (pipeline_.end_index() - index > ahead_ / 2 && pipeline_.end_index() < PyList_GET_SIZE(path_list)) return;
    ahead_ = std::clamp<std::int64_t>(ahead_ * 2, kFirstReach, kMostReach);
    std::vector<HeaderPipeline::File> files;
    for (std::int64_t j = pipeline_.end_index(); j < index + ahead_ && j < PyList_GET_SIZE(path_list); ++j) {
        Ref item = Ref::borrow(PyList_GET_ITEM(path_list, j));
        HeaderPipeline::File file;
        prepare(item.get(), file);
        files.push_back(std::move(file));
    }
    pipeline_.add(std::move(files));
}

Ref SizeScan::open(PyObject* image_module, PyObject* path) {
    Ref image = kaplet::Method(image_module, "open"_py)(path);
    pillow_ran();
    return image;
}

Ref SizeScan::size_text(PyObject* image_module, PyObject* path_list, Py_ssize_t index) {
    use_image_module(image_module);
    check_pending();
    if (check_.formats() == 0) return {};
    Ref path = Ref::borrow(PyList_GET_ITEM(path_list, index));
    if (!still_holds(path.get(), index)) {
        pipeline_.restart(index, check_.formats(), check_.rules());
        ahead_ = 0;
    }
    read_ahead(path_list, index);
    if (pipeline_.end_index() <= index) return {};  // the list changed while it was read
    Ref filename;
    HeaderSize size = pipeline_.take(index, filename);
    if (!size.known || !(check_.formats() & size.format) || !check_.accepted_by_no_other(size)) return {};
    // Image.open warns about or refuses images above MAX_IMAGE_PIXELS.
    Ref limit = Ref::borrow_or_null(PyDict_GetItemWithError(PyModule_GetDict(image_module_.get()), "MAX_IMAGE_PIXELS"_py));
    if (!limit) {
        if (PyErr_Occurred()) kaplet::throw_python_error();
        return {};
    }
    if (limit.get() != Py_None) {
        if (!PyLong_CheckExact(limit.get())) return {};
        int overflow = 0;
        long long most = PyLong_AsLongLongAndOverflow(limit.get(), &overflow);
        if (overflow < 0 || (overflow == 0 && most < 0)) return {};
        unsigned long long pixels = std::max<std::uint64_t>(1, size.width) * std::max<std::uint64_t>(1, size.height);
        if (overflow == 0 && pixels > static_cast<unsigned long long>(most)) return {};
    }
    if (!check_.imports_no_plugin(image_module_.get(), filename.get())) return {};
    kaplet::check(PySys_Audit("open", "OOi", filename.get(), mode_.get(), kaplet::platform::kReadOpenFlags));
    paths_.cache_text(path.get(), filename.get());
    // Most files of a dataset share a size: its text is made once (an equal
    // str, as str(img.size) would make).
    if (!last_text_ || last_width_ != size.width || last_height_ != size.height) {
        last_text_ = Ref::steal(PyUnicode_FromFormat("(%llu, %llu)", static_cast<unsigned long long>(size.width),
                                                     static_cast<unsigned long long>(size.height)));
        last_width_ = size.width;
        last_height_ = size.height;
    }
    return last_text_;
}

}  // namespace pretrain
