#include "class_builder.h"

#include "error.h"

namespace kaplet {

Ref ClassBody::lookup(const char* name) const {
    Ref key = str(name);
    PyObject* value = PyObject_GetItem(ns_, key.get());
    if (value) return Ref::steal(value);
    if (!error_matches(PyExc_KeyError)) throw_python_error();
    PyErr_Clear();
    return module_.lookup(name);
}

void ClassBody::set(const char* name, const Ref& value) const {
    Ref key = str(name);
    check(PyObject_SetItem(ns_, key.get(), value.get()));
}

Ref ClassBody::def(const FunctionDef& def, DefParts parts) const {
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%s", class_name_, def.name));
    Ref f = make_function(def, qualname.get(), module_.dict(), cell_, std::move(parts));
    set(def.name, f);
    return f;
}

namespace {

// Step 2: bases that are not classes but have __mro_entries__ are replaced.
Ref resolve_mro_entries(PyObject* written) {
    Ref resolved = Ref::steal(PyList_New(0));
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(written); ++i) {
        PyObject* base = PyTuple_GET_ITEM(written, i);
        if (!PyType_Check(base)) {
            if (Ref method = optional_attr(base, "__mro_entries__")) {
                Ref items = method(written);
                if (!PyTuple_Check(items.get())) raise(PyExc_TypeError, "__mro_entries__ must return a tuple");
                for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(items.get()); ++j) {
                    check(PyList_Append(resolved.get(), PyTuple_GET_ITEM(items.get(), j)));
                }
                changed = true;
                continue;
            }
        }
        check(PyList_Append(resolved.get(), base));
    }
    if (!changed) return Ref::borrow(written);
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// Step 3: the most derived of the chosen metaclass and the bases' types.
Ref most_derived_metaclass(Ref meta, PyObject* bases) {
    if (!PyType_Check(meta.get())) return meta;
    PyTypeObject* winner = reinterpret_cast<PyTypeObject*>(meta.get());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

// Step 4: the namespace from __prepare__, which must be a mapping.
Ref prepare_namespace(PyObject* meta, PyObject* name, PyObject* bases, PyObject* keywords) {
    Ref method = optional_attr(meta, "__prepare__");
    if (!method) return new_dict();
    Ref args = tuple({name, bases});
    Ref ns = Ref::steal(PyObject_Call(method.get(), args.get(), keywords));
    int has_getitem = PyObject_HasAttrString(ns.get(), "__getitem__");
    if (!has_getitem) {
        Ref meta_name = Ref::steal_or_null(PyObject_GetAttrString(meta, "__name__"));
        PyErr_Clear();
        Ref shown = meta_name && PyUnicode_Check(meta_name.get()) ? meta_name : str("<metaclass>");
        raise(PyExc_TypeError, "%U.__prepare__() must return a mapping, not %s", shown.get(),
              Py_TYPE(ns.get())->tp_name);
    }
    return ns;
}

void store_module_and_qualname(const Module& m, PyObject* ns, PyObject* name) {
    Ref module_name = m.lookup("__name__");
    check(PyObject_SetItem(ns, Ref::steal(PyUnicode_InternFromString("__module__")).get(), module_name.get()));
    check(PyObject_SetItem(ns, Ref::steal(PyUnicode_InternFromString("__qualname__")).get(), name));
}

}  // namespace

Ref class_statement(const Module& m, ClassStatement statement, const ClassBodyFn& body) {
    Ref name = str(statement.name);
    Ref written = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(statement.bases.size())));
    for (std::size_t i = 0; i < statement.bases.size(); ++i) {
        PyTuple_SET_ITEM(written.get(), Py_ssize_t(i), Ref(statement.bases[i]).release());
    }
    Ref bases = resolve_mro_entries(written.get());
    Ref keywords = new_dict();
    Ref meta;
    if (statement.metaclass) {
        meta = statement.metaclass;
    } else if (PyTuple_GET_SIZE(bases.get()) > 0) {
        meta = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases.get(), 0))));
    } else {
        meta = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    }
    meta = most_derived_metaclass(std::move(meta), bases.get());
    Ref ns = prepare_namespace(meta.get(), name.get(), bases.get(), keywords.get());
    Ref decorator;
    if (statement.decorator) decorator = statement.decorator();
    store_module_and_qualname(m, ns.get(), name.get());
    Ref cell = Ref::steal(PyCell_New(nullptr));
    ClassBody class_body(m, ns.get(), name.get(), cell.get());
    body(class_body);
    if (bases.get() != written.get()) class_body.set("__orig_bases__", written);
    Ref args = tuple({name.get(), bases.get(), ns.get()});
    Ref cls = Ref::steal(PyObject_Call(meta.get(), args.get(), keywords.get()));
    check(PyCell_Set(cell.get(), cls.get()));
    Ref result = decorator ? decorator(cls) : cls;
    m.bind(statement.name, result);
    return result;
}

Ref plain_class(const Module& m, const char* name, const ClassBodyFn& body) {
    Ref class_name = str(name);
    Ref ns = new_dict();
    store_module_and_qualname(m, ns.get(), class_name.get());
    Ref cell = Ref::steal(PyCell_New(nullptr));
    ClassBody class_body(m, ns.get(), class_name.get(), cell.get());
    body(class_body);
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(class_name, empty, ns);
    check(PyCell_Set(cell.get(), cls.get()));
    m.bind(name, cls);
    return cls;
}

}  // namespace kaplet
