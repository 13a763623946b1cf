#include "posix_paths.h"

#include "error.h"
#include "genuine.h"
#include "operators.h"

#include <cstring>

using kaplet::Ref;

namespace pretrain {

namespace {

bool is_exact_type(PyObject* obj) { return obj != nullptr && Py_IS_TYPE(obj, &PyType_Type); }

PyTypeObject* as_type(const Ref& obj) { return reinterpret_cast<PyTypeObject*>(obj.get()); }

bool is_exact_str(PyObject* obj) { return obj != nullptr && PyUnicode_CheckExact(obj); }

bool text_equals(PyObject* obj, const char* text) {
    return is_exact_str(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// sys.intern is the interpreter's own (pathlib interns every part).
bool intern_is_genuine(PyObject* pathlib_globals) {
    Ref sys = loaded_module("sys");
    if (!sys || dict_entry(pathlib_globals, "sys").get() != sys.get()) return false;
    Ref intern = dict_entry(PyModule_GetDict(sys.get()), "intern");
    if (!intern || !PyCFunction_Check(intern.get()) || PyCFunction_GET_SELF(intern.get()) != sys.get()) return false;
    return std::strcmp(reinterpret_cast<PyCFunctionObject*>(intern.get())->m_ml->ml_name, "intern") == 0;
}

// The posix flavour object with its own parsing methods and separators.
bool flavour_is_genuine(PyObject* pathlib, PyTypeObject* pure_posix) {
    PyObject* globals = PyModule_GetDict(pathlib);
    Ref flavour = dict_entry(globals, "_posix_flavour");
    Ref flavour_class = dict_entry(globals, "_PosixFlavour");
    if (!flavour || !is_exact_type(flavour_class.get()) || !Py_IS_TYPE(flavour.get(), as_type(flavour_class))) return false;
    if (dict_entry(pure_posix->tp_dict, "_flavour").get() != flavour.get()) return false;
    if (Py_TYPE(flavour.get())->tp_getattro != PyObject_GenericGetAttr) return false;
    for (const char* method : {"splitroot", "casefold_parts"}) {
        if (!own_method(flavour_class.get(), pathlib, method)) return false;
    }
    Ref base = dict_entry(globals, "_Flavour");
    if (!is_exact_type(base.get()) || !own_method(base.get(), pathlib, "parse_parts") ||
        !inherited_from(as_type(flavour_class), as_type(base), "parse_parts")) {
        return false;
    }
    auto attribute = [&](const char* name) {
        Ref value = Ref::steal_or_null(PyObject_GetAttrString(flavour.get(), name));
        if (!value) PyErr_Clear();
        return value;
    };
    // The instance may shadow the methods its class holds.
    Ref instance_dict = Ref::steal_or_null(PyObject_GenericGetDict(flavour.get(), nullptr));
    if (!instance_dict || !PyDict_CheckExact(instance_dict.get())) {
        PyErr_Clear();
        return false;
    }
    if (Fingerprint* recording = Recording::current()) recording->add_dict(instance_dict.get());
    for (const char* method : {"parse_parts", "splitroot", "casefold_parts"}) {
        if (dict_entry(instance_dict.get(), method)) return false;
    }
    Ref sep = attribute("sep"), altsep = attribute("altsep"), supported = attribute("is_supported");
    return text_equals(sep.get(), "/") && text_equals(altsep.get(), "") && supported.get() == Py_True;
}

}  // namespace

bool PosixPaths::Parsed::anchored() const {
    return PyUnicode_GET_LENGTH(drv.get()) > 0 || PyUnicode_GET_LENGTH(root.get()) > 0;
}

PosixPaths::PosixPaths(PyObject* path_class) : path_class_(Ref::borrow(path_class)), empty_(kaplet::str("")) {
    recheck();
}

int PosixPaths::traverse(visitproc visit, void* arg) const {
    if (int r = checked_.traverse(visit, arg)) return r;
    for (const Ref* held : {&path_class_, &checked_class_, &path_, &posix_, &drv_slot_, &root_slot_, &parts_slot_, &str_slot_, &empty_,
                            &root_text_, &root_parts_list_, &root_parts_copy_, &root_parsed_.drv, &root_parsed_.root,
                            &root_parsed_.parts, &directory_, &directory_parsed_.drv, &directory_parsed_.root,
                            &directory_parsed_.parts}) {
        Py_VISIT(held->get());
    }
    return 0;
}

void PosixPaths::use_path_class(PyObject* path_class) {
    if (path_class == path_class_.get() && !python_ran_) return;
    path_class_ = Ref::borrow(path_class);
    recheck();
}

void PosixPaths::recheck() {
    python_ran_ = false;
    if (!checked_.empty() && checked_class_.get() == path_class_.get() && checked_.unchanged()) return;
    checked_.clear();
    checked_class_ = path_class_;
    Recording recording(checked_);
    root_text_.reset();
    root_parts_list_.reset();
    root_ok_ = false;
    path_.reset();
    posix_.reset();
#ifndef _WIN32
    Ref pathlib = loaded_module("pathlib");
    if (!pathlib) return;
    PyObject* globals = PyModule_GetDict(pathlib.get());
    Ref path = dict_entry(globals, "Path"), posix = dict_entry(globals, "PosixPath");
    Ref pure_posix = dict_entry(globals, "PurePosixPath"), pure = dict_entry(globals, "PurePath");
    for (const Ref* cls : {&path, &posix, &pure_posix, &pure}) {
        if (!is_exact_type(cls->get())) return;
    }
    PyTypeObject* type = as_type(posix);
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != 5) return;
    PyObject* expected[] = {posix.get(), path.get(), pure_posix.get(), pure.get(),
                            reinterpret_cast<PyObject*>(&PyBaseObject_Type)};
    for (Py_ssize_t i = 0; i < 5; ++i) {
        if (PyTuple_GET_ITEM(mro, i) != expected[i]) return;
    }
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr ||
        type->tp_alloc != PyType_GenericAlloc || type->tp_itemsize != 0 || type->tp_dictoffset != 0 ||
        (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)) {
        return;
    }
    if (!own_method(path.get(), pathlib.get(), "__new__") || !inherited_from(type, as_type(path), "__new__")) return;
    for (const char* name : {"_from_parts", "_parse_args", "_from_parsed_parts", "relative_to", "suffix", "name",
                             "parts", "__str__", "__fspath__", "_format_parsed_parts"}) {
        if (!own_method(pure.get(), pathlib.get(), name) || !inherited_from(type, as_type(pure), name)) return;
    }
    Ref slots[4];
    const char* slot_names[] = {"_drv", "_root", "_parts", "_str"};
    for (int i = 0; i < 4; ++i) {
        slots[i] = dict_entry(as_type(pure)->tp_dict, slot_names[i]);
        if (!slots[i] || !Py_IS_TYPE(slots[i].get(), &PyMemberDescr_Type)) return;
        if (!inherited_from(type, as_type(pure), slot_names[i])) return;
    }
    if (!flavour_is_genuine(pathlib.get(), as_type(pure_posix)) || !inherited_from(type, as_type(pure_posix), "_flavour")) {
        return;
    }
    Ref os = loaded_module("os");
    if (!os || dict_entry(globals, "os").get() != os.get()) return;
    Ref os_name = dict_entry(PyModule_GetDict(os.get()), "name");
    if (!is_exact_str(os_name.get()) || text_equals(os_name.get(), "nt")) return;
    if (!intern_is_genuine(globals)) return;
    posix_ = posix;
    drv_slot_ = slots[0];
    root_slot_ = slots[1];
    parts_slot_ = slots[2];
    str_slot_ = slots[3];
    if (path_class_.get() == path.get()) path_ = path;
#endif
}

// The slots of an object of exactly the genuine PosixPath, when all three
// are set and of the exact types pathlib gives them.
bool PosixPaths::read(PyObject* path, Parsed& out) const {
    if (!posix_ || !Py_IS_TYPE(path, as_type(posix_))) return false;
    auto get = [&](const Ref& slot) {
        Ref value = Ref::steal_or_null(Py_TYPE(slot.get())->tp_descr_get(slot.get(), path, posix_.get()));
        if (!value) PyErr_Clear();
        return value;
    };
    out.drv = get(drv_slot_);
    out.root = get(root_slot_);
    out.parts = get(parts_slot_);
    return is_exact_str(out.drv.get()) && is_exact_str(out.root.get()) && out.parts && PyList_CheckExact(out.parts.get());
}

Ref PosixPaths::make(PyObject* text) {
    before_operation();
    if (!path_ || !is_exact_str(text)) {
        python_ran_ = true;
        return Ref::borrow(path_class_.get())(text);
    }
    Parsed parsed;
    parse(text, parsed);
    // What object.__new__(PosixPath) does for this plain slotted class.
    Ref path = Ref::steal(PyType_GenericAlloc(as_type(posix_), 0));
    auto set = [&](const Ref& slot, const Ref& value) {
        kaplet::check(Py_TYPE(slot.get())->tp_descr_set(slot.get(), path.get(), value.get()));
    };
    set(drv_slot_, parsed.drv);
    set(root_slot_, parsed.root);
    set(parts_slot_, parsed.parts);
    return path;
}

Ref PosixPaths::generic_suffix(PyObject* path) {
    python_ran_ = true;
    return Ref::borrow(path).attr("suffix");
}

Ref PosixPaths::suffix(PyObject* path) {
    before_operation();
    Parsed parsed;
    if (!read(path, parsed)) return generic_suffix(path);
    // name: the last part, or '' when only the anchor (or nothing) is left.
    Py_ssize_t anchor_parts = parsed.anchored() ? 1 : 0;
    Py_ssize_t count = PyList_GET_SIZE(parsed.parts.get());
    if (count == anchor_parts) return empty_;
    if (count < anchor_parts) return generic_suffix(path);
    Ref name = Ref::borrow(PyList_GET_ITEM(parsed.parts.get(), count - 1));
    if (!is_exact_str(name.get())) return generic_suffix(path);
    Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    Py_ssize_t dot = PyUnicode_FindChar(name.get(), '.', 0, length, -1);
    if (dot == -2) kaplet::throw_python_error();
    if (0 < dot && dot < length - 1) return Ref::steal(PyUnicode_Substring(name.get(), dot, length));
    return empty_;
}

Ref PosixPaths::fspath(PyObject* path) {
    before_operation();
    if (!posix_ || !Py_IS_TYPE(path, as_type(posix_))) return {};
    // __str__: the cached text, else _format_parsed_parts(...) or '.'.
    Ref cached = Ref::steal_or_null(Py_TYPE(str_slot_.get())->tp_descr_get(str_slot_.get(), path, posix_.get()));
    if (cached) return is_exact_str(cached.get()) ? cached : Ref();
    PyErr_Clear();
    Parsed parsed;
    if (!read(path, parsed)) return {};
    Ref names = Ref::steal(PyList_GetSlice(parsed.parts.get(), parsed.anchored() ? 1 : 0, PY_SSIZE_T_MAX));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        if (!is_exact_str(PyList_GET_ITEM(names.get(), i))) return {};
    }
    Ref separator = kaplet::str("/");
    Ref text = Ref::steal(PyUnicode_Join(separator.get(), names.get()));
    if (parsed.anchored()) {
        Ref anchor = Ref::steal(PyUnicode_Concat(parsed.drv.get(), parsed.root.get()));
        text = Ref::steal(PyUnicode_Concat(anchor.get(), text.get()));
    }
    if (PyUnicode_GET_LENGTH(text.get()) == 0) text = kaplet::str(".");
    return text;
}

void PosixPaths::cache_text(PyObject* path, PyObject* text) {
    if (!posix_ || !Py_IS_TYPE(path, as_type(posix_))) return;
    kaplet::check(Py_TYPE(str_slot_.get())->tp_descr_set(str_slot_.get(), path, text));
}

namespace {

// relative_to's abs_parts: [drv, root] + parts[1:] when there is a root,
// else parts. Items are read afresh on every access.
struct AbsoluteParts {
    PyObject* drv;
    PyObject* root;
    PyObject* parts;

    bool rooted() const { return PyUnicode_GET_LENGTH(root) > 0; }
    Py_ssize_t count() const {
        Py_ssize_t n = PyList_GET_SIZE(parts);
        return rooted() ? 2 + (n > 1 ? n - 1 : 0) : n;
    }
    PyObject* at(Py_ssize_t i) const {
        if (!rooted()) return PyList_GET_ITEM(parts, i);
        return i == 0 ? drv : i == 1 ? root : PyList_GET_ITEM(parts, i - 1);
    }
};

}  // namespace

Ref PosixPaths::first_part_under(PyObject* path, PyObject* root) {
    before_operation();
    auto generic = [&] {
        python_ran_ = true;
        Ref relative = Ref::borrow(path).attr("relative_to")(root);
        return relative.attr("parts").item(kaplet::integer(0).get());
    };
    Parsed parsed;
    if (!read(path, parsed)) return generic();
    const Parsed* under = parsed_root(root);
    if (under == nullptr) return generic();
    // From here to the end nothing allocates and no Python code runs, so the
    // lists cannot change under the reads.
    AbsoluteParts mine{parsed.drv.get(), parsed.root.get(), parsed.parts.get()};
    AbsoluteParts theirs{under->drv.get(), under->root.get(), under->parts.get()};
    Py_ssize_t n = theirs.count();
    if (n == 0) {
        if (parsed.anchored()) return generic();  // relative_to raises
    } else {
        if (mine.count() < n) return generic();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* a = mine.at(i);
            PyObject* b = theirs.at(i);
            if (!is_exact_str(a) || !is_exact_str(b)) return generic();
            if (a != b && PyUnicode_Compare(a, b) != 0) return generic();
        }
    }
    if (mine.count() <= n) return generic();  // parts[0] of nothing
    return Ref::borrow(mine.at(n));
}

// What relative_to's _parse_args((root,)) gives, for a root of exact str or
// of exactly PosixPath in pathlib's own normal form; null otherwise. Both
// are parsed again whenever what pathlib would read differs from last time.
const PosixPaths::Parsed* PosixPaths::parsed_root(PyObject* root) {
    if (is_exact_str(root)) {
        if (root_text_.get() != root) {
            root_parts_list_.reset();
            root_text_ = Ref::borrow(root);
            parse(root, root_parsed_);
            root_ok_ = true;
        }
        return &root_parsed_;
    }
    root_text_.reset();
    Parsed parts;
    if (!read(root, parts)) return nullptr;
    // _parse_args copies root._parts and parses that list again; a list
    // that pathlib made, an optional anchor part then plain names, parses to
    // itself.
    PyObject* list = parts.parts.get();
    Py_ssize_t count = PyList_GET_SIZE(list);
    bool same = root_ok_ && root_parts_list_.get() == list && PyTuple_GET_SIZE(root_parts_copy_.get()) == count;
    for (Py_ssize_t i = 0; same && i < count; ++i) {
        same = PyTuple_GET_ITEM(root_parts_copy_.get(), i) == PyList_GET_ITEM(list, i);
    }
    if (same) return &root_parsed_;
    root_ok_ = false;
    root_parts_list_ = parts.parts;
    root_parts_copy_ = Ref::steal(PyList_AsTuple(list));
    PyObject* copy = root_parts_copy_.get();
    Py_ssize_t first = 0;
    Ref anchor = kaplet::str("");
    if (count > 0 && is_exact_str(PyTuple_GET_ITEM(copy, 0)) &&
        (text_equals(PyTuple_GET_ITEM(copy, 0), "/") || text_equals(PyTuple_GET_ITEM(copy, 0), "//"))) {
        anchor = Ref::borrow(PyTuple_GET_ITEM(copy, 0));
        first = 1;
    }
    for (Py_ssize_t i = first; i < count; ++i) {
        PyObject* part = PyTuple_GET_ITEM(copy, i);
        if (!is_exact_str(part) || PyUnicode_GET_LENGTH(part) == 0 || text_equals(part, ".")) return nullptr;
        if (PyUnicode_FindChar(part, '/', 0, PyUnicode_GET_LENGTH(part), 1) != -1) return nullptr;
    }
    root_parsed_.drv = kaplet::str("");
    root_parsed_.root = anchor;
    root_parsed_.parts = Ref::steal(PySequence_List(copy));
    root_ok_ = true;
    return &root_parsed_;
}

namespace {

// Appends text[start:end] as an interned part unless it is empty or ".".
void append_part(PyObject* parts, PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    if (end <= start || (end - start == 1 && PyUnicode_READ_CHAR(text, start) == '.')) return;
    PyObject* part = kaplet::check(PyUnicode_Substring(text, start, end));
    PyUnicode_InternInPlace(&part);
    Ref owned = Ref::steal(part);
    kaplet::check(PyList_Append(parts, owned.get()));
}

// The posix flavour's parse_parts([text]) for one exact str.
void parse_whole(PyObject* text, Ref& drv, Ref& root, Ref& parts) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = 0;
    while (start < length && PyUnicode_READ_CHAR(text, start) == '/') ++start;
    drv = kaplet::str("");
    root = kaplet::str(start == 0 ? "" : start == 2 ? "//" : "/");
    parts = Ref::steal(PyList_New(0));
    if (start > 0) kaplet::check(PyList_Append(parts.get(), root.get()));
    for (Py_ssize_t i = start; i <= length; ++i) {
        if (i < length && PyUnicode_READ_CHAR(text, i) != '/') continue;
        append_part(parts.get(), text, start, i);
        start = i + 1;
    }
}

}  // namespace

// Scans list one directory's entries after another, so the parse of the
// directory part of the last text is kept and reused.
void PosixPaths::parse(PyObject* text, Parsed& out) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t last = PyUnicode_FindChar(text, '/', 0, length, -1);
    if (last == -2) kaplet::throw_python_error();
    Py_ssize_t anchor = 0;
    while (anchor < length && PyUnicode_READ_CHAR(text, anchor) == '/') ++anchor;
    if (last <= anchor) {
        parse_whole(text, out.drv, out.root, out.parts);
        return;
    }
    // text is <directory>/<name>, the directory having a part of its own.
    bool same = directory_ && PyUnicode_GET_LENGTH(directory_.get()) == last &&
                PyUnicode_Tailmatch(text, directory_.get(), 0, last, -1) == 1;
    if (!same) {
        directory_ = Ref::steal(PyUnicode_Substring(text, 0, last));
        parse_whole(directory_.get(), directory_parsed_.drv, directory_parsed_.root, directory_parsed_.parts);
    }
    out.drv = directory_parsed_.drv;
    out.root = directory_parsed_.root;
    out.parts = Ref::steal(PyList_GetSlice(directory_parsed_.parts.get(), 0, PY_SSIZE_T_MAX));
    append_part(out.parts.get(), text, last + 1, length);
}

}  // namespace pretrain
