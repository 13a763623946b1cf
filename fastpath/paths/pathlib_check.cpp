#include "pathlib_check.h"

#include "error.h"
#include "origin_checks.h"

#include <cstring>

using kaplet::Ref;

namespace pretrain {

namespace {

#ifndef _WIN32  // the posix path classes are read natively on posix systems only
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
#endif

}  // namespace

void PathlibCheck::recheck() {
    if (!checked_.empty() && checked_.unchanged()) return;
    ++generation_;
    try {
        check();
    } catch (...) {
        clear();  // a check cut short is no verdict: the next one starts afresh
        throw;
    }
}

int PathlibCheck::traverse(visitproc visit, void* arg) const {
    if (int r = checked_.traverse(visit, arg)) return r;
    for (const Ref* held : {&path, &posix, &drv_slot, &root_slot, &parts_slot, &str_slot}) {
        Py_VISIT(held->get());
    }
    return 0;
}

void PathlibCheck::clear() noexcept {
    // Moved out first: releasing a reference can run code that reaches this check.
    PathlibCheck old = std::move(*this);
    *this = PathlibCheck();
    generation_ = old.generation_ + 1;
}

void PathlibCheck::check() {
    checked_.clear();
    Recording recording(checked_);
    path.reset();
    posix.reset();
#ifndef _WIN32
    Ref pathlib = loaded_module("pathlib");
    if (!pathlib) return;
    PyObject* globals = PyModule_GetDict(pathlib.get());
    Ref path_type = dict_entry(globals, "Path"), posix_type = dict_entry(globals, "PosixPath");
    Ref pure_posix = dict_entry(globals, "PurePosixPath"), pure = dict_entry(globals, "PurePath");
    for (const Ref* cls : {&path_type, &posix_type, &pure_posix, &pure}) {
        if (!is_exact_type(cls->get())) return;
    }
    PyTypeObject* type = as_type(posix_type);
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != 5) return;
    PyObject* expected[] = {posix_type.get(), path_type.get(), pure_posix.get(), pure.get(),
                            reinterpret_cast<PyObject*>(&PyBaseObject_Type)};
    for (Py_ssize_t i = 0; i < 5; ++i) {
        if (PyTuple_GET_ITEM(mro, i) != expected[i]) return;
    }
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr ||
        type->tp_alloc != PyType_GenericAlloc || type->tp_itemsize != 0 || type->tp_dictoffset != 0 ||
        (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)) {
        return;
    }
    if (!own_method(path_type.get(), pathlib.get(), "__new__") || !inherited_from(type, as_type(path_type), "__new__")) return;
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
    posix = posix_type;
    drv_slot = slots[0];
    root_slot = slots[1];
    parts_slot = slots[2];
    str_slot = slots[3];
    path = path_type;
#endif
}

}  // namespace pretrain
