#include "posix_paths.h"

#include "error.h"
#include "operators.h"

using kaplet::Ref;

namespace pretrain {

namespace {

PyTypeObject* as_type(const Ref& obj) { return reinterpret_cast<PyTypeObject*>(obj.get()); }

bool is_exact_str(PyObject* obj) { return obj != nullptr && PyUnicode_CheckExact(obj); }

bool text_equals(PyObject* obj, const char* text) {
    return is_exact_str(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

}  // namespace

bool PosixPaths::Parsed::anchored() const {
    return PyUnicode_GET_LENGTH(drv.get()) > 0 || PyUnicode_GET_LENGTH(root.get()) > 0;
}

PosixPaths::PosixPaths(PyObject* path_class)
    : path_class_(Ref::borrow(path_class)),
      pathlib_holder_(kaplet::InterpreterCache<PathlibCheck>::get()),
      pathlib_(kaplet::InterpreterCache<PathlibCheck>::of(pathlib_holder_)),
      empty_(kaplet::str("")) {
    recheck();
}

int PosixPaths::traverse(visitproc visit, void* arg) const {
    for (const Ref* held : {&path_class_, &pathlib_holder_, &path_, &posix_, &drv_slot_, &root_slot_, &parts_slot_, &str_slot_, &empty_,
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
    pathlib_.recheck();
    path_ = pathlib_.path.get() == path_class_.get() ? pathlib_.path : Ref();
    if (seen_generation_ == pathlib_.generation()) return;
    seen_generation_ = pathlib_.generation();
    root_text_.reset();
    root_parts_list_.reset();
    root_ok_ = false;
    posix_ = pathlib_.posix;
    drv_slot_ = pathlib_.drv_slot;
    root_slot_ = pathlib_.root_slot;
    parts_slot_ = pathlib_.parts_slot;
    str_slot_ = pathlib_.str_slot;
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
