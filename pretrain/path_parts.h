// The three pathlib operations the analysis tool does once per file:
// Path(text), path.suffix and path.relative_to(root).parts[0].
//
// pathlib (CPython 3.11) keeps a parsed path in the slots _drv, _root and
// _parts of its objects. For the host's own PosixPath these operations are
// done here on those slots, the way pathlib's own code does them (posix
// parse_parts and splitroot, the name and suffix properties, relative_to),
// which gives the very objects and values of the calls without going through
// the interpreter. Anything else (Windows paths, a replaced `Path`, a
// subclass, a path that would make pathlib raise) goes through the calls as
// written, so results and errors are always pathlib's.
#pragma once

#include "error.h"
#include "operators.h"
#include "ref.h"
#include "standard_modules.h"

namespace pretrain {

class PathParts {
public:
    PathParts() {
        using kaplet::Ref;
        Ref pathlib = kaplet::standard_module("pathlib");
        if (!kaplet::equal(kaplet::standard_module("os").attr("name").get(), kaplet::str("nt").get())) {
            Ref posix = pathlib.attr("PosixPath");
            drv_ = intern("_drv");
            root_ = intern("_root");
            parts_ = intern("_parts");
            PyTypeObject* type = reinterpret_cast<PyTypeObject*>(posix.get());
            if (PyType_Check(posix.get()) && is_slot(type, drv_) && is_slot(type, root_) && is_slot(type, parts_)) {
                path_ = pathlib.attr("Path");
                posix_ = posix;
                empty_ = kaplet::str("");
                no_args_ = Ref::steal(PyTuple_New(0));
            }
        }
    }

    // Path(text), where path_class is what the module's name Path is bound to.
    kaplet::Ref make(PyObject* path_class, PyObject* text) {
        using kaplet::Ref;
        if (!posix_ || path_class != path_.get() || !PyUnicode_CheckExact(text)) {
            return Ref::borrow(path_class)(text);
        }
        Parsed parsed;
        parse(text, parsed);
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(posix_.get());
        Ref path = Ref::steal(PyBaseObject_Type.tp_new(type, no_args_.get(), nullptr));
        kaplet::check(PyObject_SetAttr(path.get(), drv_.get(), parsed.drv.get()));
        kaplet::check(PyObject_SetAttr(path.get(), root_.get(), parsed.root.get()));
        kaplet::check(PyObject_SetAttr(path.get(), parts_.get(), parsed.parts.get()));
        return path;
    }

    // path.suffix
    kaplet::Ref suffix(PyObject* path) const {
        using kaplet::Ref;
        Parsed parsed;
        if (!read(path, parsed)) return Ref::borrow(path).attr("suffix");
        PyObject* parts = parsed.parts.get();
        Py_ssize_t count = PyList_GET_SIZE(parts);
        if (count == (parsed.anchored() ? 1 : 0)) return empty_;
        PyObject* name = PyList_GET_ITEM(parts, count - 1);
        if (!PyUnicode_CheckExact(name)) return Ref::borrow(path).attr("suffix");
        Py_ssize_t length = PyUnicode_GET_LENGTH(name);
        Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, length, -1);
        if (dot == -2) kaplet::throw_python_error();
        if (0 < dot && dot < length - 1) return Ref::steal(PyUnicode_Substring(name, dot, length));
        return empty_;
    }

    // path.relative_to(root).parts[0]
    kaplet::Ref first_part_under(PyObject* path, PyObject* root) {
        using kaplet::Ref;
        Parsed parsed;
        const Parsed* under = read(path, parsed) ? parsed_root(root) : nullptr;
        if (under == nullptr) return generic_first_part(path, root);
        // relative_to compares drive and root as parts of their own.
        Py_ssize_t n = under->absolute_count();
        if (n == 0 && parsed.anchored()) return generic_first_part(path, root);
        if (parsed.absolute_count() <= n) return generic_first_part(path, root);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!kaplet::equal(parsed.absolute(i), under->absolute(i))) return generic_first_part(path, root);
        }
        return Ref::borrow(parsed.absolute(n));
    }

private:
    struct Parsed {
        kaplet::Ref drv;
        kaplet::Ref root;
        kaplet::Ref parts;  // a list

        bool has_root() const { return PyUnicode_GET_LENGTH(root.get()) > 0; }
        bool anchored() const { return PyUnicode_GET_LENGTH(drv.get()) > 0 || has_root(); }
        // relative_to's abs_parts: [drv, root] + parts[1:] when there is a
        // root, else parts.
        Py_ssize_t absolute_count() const { return PyList_GET_SIZE(parts.get()) + (has_root() ? 1 : 0); }
        PyObject* absolute(Py_ssize_t i) const {
            if (!has_root()) return PyList_GET_ITEM(parts.get(), i);
            if (i == 0) return drv.get();
            if (i == 1) return root.get();
            return PyList_GET_ITEM(parts.get(), i - 1);
        }
    };

    static kaplet::Ref intern(const char* text) { return kaplet::Ref::steal(PyUnicode_InternFromString(text)); }

    static bool is_slot(PyTypeObject* type, const kaplet::Ref& name) {
        PyObject* descr = _PyType_Lookup(type, name.get());
        return descr != nullptr && Py_TYPE(descr) == &PyMemberDescr_Type;
    }

    // The slots of one of the host's PosixPath objects; false for any other
    // object, or when a slot is unset or of an unexpected type.
    bool read(PyObject* path, Parsed& out) const {
        if (!posix_ || Py_TYPE(path) != reinterpret_cast<PyTypeObject*>(posix_.get())) return false;
        out.drv = slot(path, drv_);
        out.root = slot(path, root_);
        out.parts = slot(path, parts_);
        return out.drv && PyUnicode_CheckExact(out.drv.get()) && out.root && PyUnicode_CheckExact(out.root.get()) &&
               out.parts && PyList_CheckExact(out.parts.get());
    }

    static kaplet::Ref slot(PyObject* path, const kaplet::Ref& name) {
        PyObject* value = nullptr;
        if (_PyObject_LookupAttr(path, name.get(), &value) < 0) PyErr_Clear();
        return kaplet::Ref::steal_or_null(value);
    }

    // What relative_to parses its argument into (PosixPath(root) parses the
    // same way); null when that raises, so that relative_to raises it itself.
    const Parsed* parsed_root(PyObject* root) {
        if (root_object_.get() != root) {
            root_object_ = kaplet::Ref::borrow(root);
            root_ok_ = false;
            PyObject* made = PyObject_CallOneArg(posix_.get(), root);
            if (made == nullptr) {
                PyErr_Clear();
            } else {
                root_ok_ = read(kaplet::Ref::steal(made).get(), root_parsed_);
            }
        }
        return root_ok_ ? &root_parsed_ : nullptr;
    }

    static kaplet::Ref generic_first_part(PyObject* path, PyObject* root) {
        kaplet::Ref relative = kaplet::Ref::borrow(path).attr("relative_to")(root);
        return relative.attr("parts").item(kaplet::integer(0).get());
    }

    // The posix flavour's parse_parts of the single string text. Scans list
    // one directory's entries after another, so the parse of the directory
    // part of the last text is kept and reused.
    void parse(PyObject* text, Parsed& out) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        Py_ssize_t last = PyUnicode_FindChar(text, '/', 0, length, -1);
        if (last == -2) kaplet::throw_python_error();
        Py_ssize_t anchor = 0;
        while (anchor < length && PyUnicode_READ_CHAR(text, anchor) == '/') ++anchor;
        if (last <= anchor) {
            parse_whole(text, out);
            return;
        }
        // text is <directory>/<name>, the directory having a part of its own.
        bool same = directory_ && PyUnicode_GET_LENGTH(directory_.get()) == last &&
                    PyUnicode_Tailmatch(text, directory_.get(), 0, last, -1) == 1;
        if (!same) {
            directory_ = kaplet::Ref::steal(PyUnicode_Substring(text, 0, last));
            parse_whole(directory_.get(), directory_parsed_);
        }
        out.drv = directory_parsed_.drv;
        out.root = directory_parsed_.root;
        out.parts = kaplet::Ref::steal(PyList_GetSlice(directory_parsed_.parts.get(), 0, PY_SSIZE_T_MAX));
        append_part(out.parts.get(), text, last + 1, length);
    }

    static void parse_whole(PyObject* text, Parsed& out) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        Py_ssize_t start = 0;
        while (start < length && PyUnicode_READ_CHAR(text, start) == '/') ++start;
        out.drv = kaplet::str("");
        out.root = kaplet::str(start == 0 ? "" : start == 2 ? "//" : "/");
        out.parts = kaplet::Ref::steal(PyList_New(0));
        if (start > 0) kaplet::check(PyList_Append(out.parts.get(), out.root.get()));
        for (Py_ssize_t i = start; i <= length; ++i) {
            if (i < length && PyUnicode_READ_CHAR(text, i) != '/') continue;
            append_part(out.parts.get(), text, start, i);
            start = i + 1;
        }
    }

    // Appends text[start:end] as an interned part unless it is empty or ".".
    static void append_part(PyObject* parts, PyObject* text, Py_ssize_t start, Py_ssize_t end) {
        if (end <= start || (end - start == 1 && PyUnicode_READ_CHAR(text, start) == '.')) return;
        PyObject* part = kaplet::check(PyUnicode_Substring(text, start, end));
        PyUnicode_InternInPlace(&part);
        kaplet::Ref owned = kaplet::Ref::steal(part);
        kaplet::check(PyList_Append(parts, owned.get()));
    }

    kaplet::Ref path_;   // pathlib.Path
    kaplet::Ref posix_;  // pathlib.PosixPath, null when the fast way is not used
    kaplet::Ref drv_, root_, parts_;
    kaplet::Ref empty_;
    kaplet::Ref no_args_;
    kaplet::Ref root_object_;
    Parsed root_parsed_;
    bool root_ok_ = false;
    kaplet::Ref directory_;
    Parsed directory_parsed_;
};

}  // namespace pretrain
