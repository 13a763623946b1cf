#include "pillow_check.h"

#include "error.h"
#include "pillow_origin_checks.h"

#include <optional>
#include <string_view>

using kaplet::Ref;

namespace pretrain {

namespace {

struct Plugin {
    const char* module;
    const char* factory;
    const FormatDescriptor* native;  // null for a format read by Pillow alone
};

// The plugins Image.preinit loads besides those of kFormats. Their accept
// functions each want their own leading bytes, none of which starts
// another's clean files.
struct OtherPlugin {
    const char* pillow_id;
    const char* module;
    const char* factory;
};
constexpr OtherPlugin kOtherPreinitPlugins[] = {
    {"DIB", "PIL.BmpImagePlugin", "DibImageFile"},
    {"PPM", "PIL.PpmImagePlugin", "PpmImageFile"},
};

std::optional<Plugin> preinit_plugin(PyObject* format) {
    auto is = [format](const char* id) { return PyUnicode_CompareWithASCIIString(format, id) == 0; };
    if (!PyUnicode_CheckExact(format)) return {};
    for (const FormatDescriptor& descriptor : kFormats) {
        if (is(descriptor.pillow_id)) return Plugin{descriptor.module, descriptor.factory, &descriptor};
    }
    for (const OtherPlugin& plugin : kOtherPreinitPlugins) {
        if (is(plugin.pillow_id)) return Plugin{plugin.module, plugin.factory, nullptr};
    }
    return {};
}

bool same_objects(const std::vector<Ref>& a, const std::vector<Ref>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].get() != b[i].get()) return false;
    }
    return true;
}

// The accept function a format is registered with, when it is a function of
// one of Pillow's own modules; null otherwise (no accept function at all
// means Image.open tries the plugin on every file).
Ref pillow_accept(PyObject* open_table, PyObject* format) {
    Ref entry = Ref::borrow_or_null(PyDict_GetItemWithError(open_table, format));
    if (!entry) {
        if (PyErr_Occurred()) kaplet::throw_python_error();
        return {};
    }
    if (!PyTuple_CheckExact(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 2) return {};
    Ref accept = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 1));
    if (!Py_IS_TYPE(accept.get(), &PyFunction_Type)) return {};
    Ref module_name = dict_entry(PyFunction_GET_GLOBALS(accept.get()), "__name__");
    if (!module_name || !PyUnicode_CheckExact(module_name.get())) return {};
    const char* name = PyUnicode_AsUTF8(module_name.get());
    if (name == nullptr) {
        PyErr_Clear();
        return {};
    }
    if (std::string_view(name).substr(0, 4) != "PIL.") return {};
    Ref module = loaded_module(name);
    Ref function_name = Ref::steal(PyObject_GetAttrString(accept.get(), "__name__"));
    const char* text = PyUnicode_Check(function_name.get()) ? PyUnicode_AsUTF8(function_name.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return {};
    }
    return module && defined_in(accept.get(), module.get(), text) ? accept : Ref();
}

#ifdef _WIN32
constexpr const char* kSystemModule = "nt";
#else
constexpr const char* kSystemModule = "posix";
#endif

// os.path.splitext, which Image.open calls on the file name from Pillow
// 12.2 on, is the standard library's.
bool splitext_is_own() {
#ifdef _WIN32
    Ref path = loaded_module("ntpath");
#else
    Ref path = loaded_module("posixpath");
#endif
    Ref os = loaded_module("os"), generic = loaded_module("genericpath");
    if (!path || !os || !generic || dict_entry(PyModule_GetDict(os.get()), "path").get() != path.get()) return false;
    return own_function(path.get(), "splitext") && own_function(generic.get(), "_splitext") &&
           dict_entry(PyModule_GetDict(path.get()), "genericpath").get() == generic.get();
}

// Image.open itself and what it calls before a plugin takes over.
bool image_open_is_own(PyObject* image, long& initialized_level) {
    for (const char* name : {"open", "preinit", "init", "_decompression_bomb_check"}) {
        if (!own_function(image, name)) return false;
    }
    PyObject* globals = PyModule_GetDict(image);
    Ref util = loaded_module("PIL._util");
    Ref is_path = dict_entry(globals, "is_path");
    if (!util || !defined_in(is_path.get(), util.get(), "is_path")) return false;
    Ref builtins = loaded_module("builtins"), io = loaded_module("_io");
    Ref os = loaded_module("os"), system = loaded_module(kSystemModule);
    if (!builtins || !io || !os || !system) return false;
    if (dict_entry(globals, "builtins").get() != builtins.get() || dict_entry(globals, "os").get() != os.get()) return false;
    Ref open = dict_entry(PyModule_GetDict(builtins.get()), "open");
    if (!open || open.get() != dict_entry(PyModule_GetDict(io.get()), "open").get()) return false;
    Ref fspath = dict_entry(PyModule_GetDict(os.get()), "fspath");
    if (!fspath || fspath.get() != dict_entry(PyModule_GetDict(system.get()), "fspath").get()) return false;
    Ref initialized = dict_entry(globals, "_initialized");
    if (!initialized || !PyLong_CheckExact(initialized.get())) return false;
    initialized_level = PyLong_AsLong(initialized.get());
    if (initialized_level == -1 && PyErr_Occurred()) PyErr_Clear();
    return true;
}

// The suffix os.path.splitext(filename) gives (genericpath._splitext: the
// last dot of the last component, not counting its leading dots), lower
// case; false when it holds anything but ASCII.
bool lower_extension(PyObject* filename, std::string& out) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(filename, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    std::string_view name(text, static_cast<std::size_t>(size));
#ifdef _WIN32
    if (name.size() >= 2 && name[1] == ':') name.remove_prefix(2);  // ntpath.splitdrive, for "X:" drives
    std::size_t separator = name.find_last_of("\\/");
#else
    std::size_t separator = name.rfind('/');
#endif
    std::size_t start = separator == std::string_view::npos ? 0 : separator + 1;
    std::size_t dot = name.rfind('.');
    out.clear();
    if (dot == std::string_view::npos || dot < start) return true;
    while (start < dot && name[start] == '.') ++start;
    if (start == dot) return true;
    for (char c : name.substr(dot)) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
        out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return true;
}

// A prefix seen per file (a BMP's names its file size): the answers kept
// are bounded.
constexpr std::size_t kMostPrefixAnswers = 4096;

}  // namespace

int PillowCheck::traverse(visitproc visit, void* arg) const {
    if (int r = checked_.traverse(visit, arg)) return r;
    if (int r = order_checked_.traverse(visit, arg)) return r;
    Py_VISIT(checked_module_.get());
    for (const auto& accepts : earlier_accepts_) {
        for (const Ref& accept : accepts) Py_VISIT(accept.get());
    }
    for (const auto* seen : {&order_seen_, &entries_seen_}) {
        for (const Ref& item : *seen) Py_VISIT(item.get());
    }
    return 0;
}

void PillowCheck::clear() noexcept {
    // Moved out first: releasing a reference can run code that reaches this check.
    Fingerprint checked = std::move(checked_), order_checked = std::move(order_checked_);
    Ref module = std::move(checked_module_);
    auto accepts = std::move(earlier_accepts_);
    auto order = std::move(order_seen_), entries = std::move(entries_seen_);
    *this = PillowCheck();
}

// From Pillow 12.2 on, Image.open first imports the plugin registered for
// the file name's extension (_import_plugin_for_extension), and runs
// preinit() only when no plugin has that extension: a file that would make
// it import anything is left to Image.open.
bool PillowCheck::imports_no_plugin(PyObject* image_module, PyObject* filename) const {
    if (!rules_.plugin_for_extension) return true;
    std::string extension;
    if (!lower_extension(filename, extension)) return false;
    if (extension.empty()) return rules_.preinit_done;
    PyObject* globals = PyModule_GetDict(image_module);
    Ref known = dict_entry(globals, "EXTENSION"), plugins = dict_entry(globals, "_EXTENSION_PLUGIN");
    if (!known || !PyDict_CheckExact(known.get()) || !plugins || !PyDict_CheckExact(plugins.get())) return false;
    Ref key = Ref::steal(PyUnicode_FromStringAndSize(extension.data(), static_cast<Py_ssize_t>(extension.size())));
    if (PyDict_GetItemWithError(known.get(), key.get()) != nullptr) return true;
    if (PyErr_Occurred()) kaplet::throw_python_error();
    if (PyDict_GetItemWithError(plugins.get(), key.get()) != nullptr) return false;
    if (PyErr_Occurred()) kaplet::throw_python_error();
    return rules_.preinit_done;
}

void PillowCheck::recheck_code(PyObject* image_module) {
    if (!checked_.empty() && checked_module_.get() == image_module && checked_.unchanged()) return;
    try {
        check_code(image_module);
    } catch (...) {
        clear();  // a check cut short is no verdict: the next one starts afresh
        throw;
    }
}

void PillowCheck::refresh_order(PyObject* image_module) {
    try {
        find_formats(image_module);
    } catch (...) {
        formats_ = 0;
        order_checked_.clear();
        order_seen_.clear();
        entries_seen_.clear();
        throw;
    }
}

// Image.open and the native formats' plugin code are Pillow's own.
void PillowCheck::check_code(PyObject* image_module) {
    checked_.clear();
    checked_module_ = Ref::borrow(image_module);
    Recording recording(checked_);
    open_is_own_ = false;
    own_code_ = 0;
    order_seen_.clear();
    rules_ = PillowRules{};
    Ref image = loaded_module("PIL.Image");
    long initialized = 0;
    if (!image || image.get() != image_module || !image_open_is_own(image.get(), initialized)) return;
    rules_.version = loaded_pillow_version();
    rules_.plugin_for_extension = rules_.version >= PillowVersion::V12_2_0;
    // preinit() has nothing left to import once it ran; from 12.2 on
    // Image.open calls it only for an extension no loaded plugin has.
    rules_.preinit_done = initialized >= 1;
    if (!rules_.plugin_for_extension && !rules_.preinit_done) return;
    if (rules_.plugin_for_extension && (!own_function(image.get(), "_import_plugin_for_extension") || !splitext_is_own())) {
        return;
    }
    open_is_own_ = true;
    for (const FormatDescriptor& descriptor : kFormats) {
        Ref module = loaded_module(descriptor.module);
        if (module && descriptor.code_is_own(module.get(), rules_)) own_code_ |= descriptor.format;
    }
}

// The formats whose files Image.open gives to a plugin read natively: one
// whose code is Pillow's own, registered by its own module, where every
// format tried before it in Image.ID is registered with one of Pillow's own
// accept functions.
void PillowCheck::find_formats(PyObject* image_module) {
    if (!open_is_own_) {
        formats_ = 0;
        return;
    }
    PyObject* globals = PyModule_GetDict(image_module);
    Ref order = dict_entry(globals, "ID"), table = dict_entry(globals, "OPEN");
    if (!order || !PyList_CheckExact(order.get()) || !table || !PyDict_CheckExact(table.get())) {
        formats_ = 0;
        return;
    }
    Ref formats = Ref::steal(PyList_AsTuple(order.get()));
    Py_ssize_t count = PyTuple_GET_SIZE(formats.get());
    std::vector<Ref> entries;
    for (Py_ssize_t i = 0; i < count; ++i) {
        entries.push_back(Ref::borrow_or_null(PyDict_GetItemWithError(table.get(), PyTuple_GET_ITEM(formats.get(), i))));
        if (PyErr_Occurred()) kaplet::throw_python_error();
    }
    bool same = order_checked_.unchanged() && order_seen_.size() == static_cast<std::size_t>(count) &&
                same_objects(entries, entries_seen_);
    for (Py_ssize_t i = 0; same && i < count; ++i) same = order_seen_[i].get() == PyTuple_GET_ITEM(formats.get(), i);
    if (same) return;
    // The accept functions and plugin modules read below: their answers per
    // prefix hold while these stay as they are.
    order_checked_.clear();
    Recording recording(order_checked_);
    order_seen_.clear();
    for (Py_ssize_t i = 0; i < count; ++i) order_seen_.push_back(Ref::borrow(PyTuple_GET_ITEM(formats.get(), i)));
    entries_seen_ = entries;
    formats_ = 0;
    for (auto& accepts : earlier_accepts_) accepts.clear();
    for (auto& answers : prefix_answers_) answers.clear();
    std::vector<Ref> earlier;  // accept functions to ask
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* format = PyTuple_GET_ITEM(formats.get(), i);
        if (!PyUnicode_CheckExact(format)) return;
        Ref accept = pillow_accept(table.get(), format);
        if (!accept) return;  // this plugin and all after it are Pillow's business
        std::optional<Plugin> plugin = preinit_plugin(format);
        if (!plugin) {
            earlier.push_back(accept);
            continue;
        }
        Ref module = loaded_module(plugin->module);
        Ref own_factory = module ? dict_entry(PyModule_GetDict(module.get()), plugin->factory) : Ref();
        if (!own_factory || !entries[i] || !PyTuple_CheckExact(entries[i].get()) || PyTuple_GET_SIZE(entries[i].get()) != 2 ||
            own_factory.get() != PyTuple_GET_ITEM(entries[i].get(), 0)) {
            return;
        }
        ImageFormat native = plugin->native ? plugin->native->format : ImageFormat{};
        if (native && !(formats_ & native) && (own_code_ & native)) {
            formats_ |= native;
            earlier_accepts_[format_index(native)] = earlier;
        }
    }
}

// None of the formats Image.open tries before the file's own accepts its
// first bytes (a warning text counts as no).
bool PillowCheck::accepted_by_no_other(const HeaderSize& size) {
    std::size_t format = format_index(size.format);
    if (earlier_accepts_[format].empty()) return true;
    auto known = prefix_answers_[format].find(size.prefix);
    if (known != prefix_answers_[format].end()) return known->second;
    // Held here: the calls run Python code, which may check Pillow again
    // for another scan and replace this check's lists.
    std::vector<Ref> accepts = earlier_accepts_[format];
    Ref prefix = Ref::steal(PyBytes_FromStringAndSize(size.prefix.data(), static_cast<Py_ssize_t>(size.prefix.size())));
    bool none = true;
    for (std::size_t i = 0; none && i < accepts.size(); ++i) {
        Ref result = Ref::steal_or_null(PyObject_CallOneArg(accepts[i].get(), prefix.get()));
        if (!result) {
            PyErr_Clear();  // Image.open decides what that means
            none = false;
        } else if (!PyUnicode_Check(result.get())) {
            int truth = PyObject_IsTrue(result.get());
            if (truth != 0) PyErr_Clear();
            none = truth == 0;
        }
    }
    if (prefix_answers_[format].size() >= kMostPrefixAnswers) prefix_answers_[format].clear();
    prefix_answers_[format].emplace(size.prefix, none);
    return none;
}

}  // namespace pretrain
