#include "function.h"

#include "argument_binding.h"
#include "coroutine.h"
#include "error.h"
#include "function_object.h"
#include "imports.h"
#include "standard_modules.h"
#include "str_field.h"
#include "traceback.h"

#include <structmember.h>

namespace kaplet {

namespace {

PyTypeObject* g_function_type = nullptr;

// An async def: the call makes the coroutine object; the body runs when it is driven.
[[gnu::noinline]] PyObject* start_coroutine(FunctionObject* f, Args&& args) noexcept {
    return boundary([&]() -> PyObject* {
        // Owned before the coroutine object is allocated: a collection
        // run by that allocation may rename the function.
        Ref name = Ref::borrow(f->name);
        Ref qualname = Ref::borrow(f->qualname);
        return make_coroutine(std::move(name), std::move(qualname), f->def->coro_impl(std::move(args))).release();
    });
}

[[gnu::noinline]] PyObject* fail(const Args& args) noexcept {
    set_error_from_current_exception();
    add_function_traceback(args);
    return nullptr;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* argv, size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(self);
    const FunctionDef* def = f->def;
    Args args(self, def->param_count);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames != nullptr || !bind_positional(f, argv, nargs, args)) {
        if (!bind_general(f, argv, nargs, kwnames, args)) return nullptr;
    }
    if (def->coro_impl) return start_coroutine(f, std::move(args));
    try {
        return def->impl(args).release();
    } catch (...) {
        return fail(args);
    }
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", own(as_function(self)->qualname), self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->code_name);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->class_cell);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code_name);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->class_cell);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Setters that accept only one type (or None), with the interpreter's texts.
PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_str_field(&as_function(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(&as_function(self)->qualname, v, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(v));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(v));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(v));
    return 0;
}

// inspect.Signature built from the parameter list and the current defaults.
PyObject* get_signature(PyObject* self, void*) {
    return boundary([&]() -> PyObject* {
        FunctionObject* f = as_function(self);
        const FunctionDef& def = *f->def;
        Ref inspect = standard_module("inspect");
        Ref parameter = inspect.attr("Parameter");
        Ref empty = parameter.attr("empty");
        Ref annotations = Ref::steal(get_annotations(self, nullptr));
        // Held for the whole call: inspect.Parameter is Python code and may replace them.
        Ref defaults = Ref::borrow_or_null(f->defaults);
        Ref kwdefaults = Ref::borrow_or_null(f->kwdefaults);
        ParamLayout layout(def);
        Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        Py_ssize_t first_default = layout.positional_count - defcount;
        Ref params = Ref::steal(PyList_New(0));
        Py_ssize_t positional_seen = 0;
        for (std::size_t i = 0; i < def.param_count; ++i) {
            const Param& p = def.params[i];
            const char* kind_name = "POSITIONAL_OR_KEYWORD";
            Ref default_value = empty;
            switch (p.kind) {
                case ParamKind::Positional:
                    if (positional_seen >= first_default) {
                        default_value = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), positional_seen - first_default));
                    }
                    ++positional_seen;
                    break;
                case ParamKind::VarArgs: kind_name = "VAR_POSITIONAL"; break;
                case ParamKind::KeywordOnly:
                    kind_name = "KEYWORD_ONLY";
                    if (kwdefaults) {
                        if (Ref v = dict_item(kwdefaults.get(), str(p.name).get())) default_value = std::move(v);
                    }
                    break;
                case ParamKind::VarKeywords: kind_name = "VAR_KEYWORD"; break;
            }
            Ref name = str(p.name);
            Ref annotation = dict_item(annotations.get(), name.get());
            Ref param = call_kw(parameter.get(), {name.get(), parameter.attr(kind_name).get()},
                                {{"default", default_value}, {"annotation", annotation ? annotation : empty}});
            check(PyList_Append(params.get(), param.get()));
        }
        Ref ret = dict_item(annotations.get(), str("return").get());
        Ref signature = inspect.attr("Signature");
        if (!ret) ret = signature.attr("empty");
        return call_kw(signature.get(), {params.get()}, {{"return_annotation", ret}}).release();
    });
}

// Pickled and copied as plain functions are: by reference, under the
// module's name and this qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_builtins(PyObject* self, void*) { return Py_NewRef(as_function(self)->builtins); }

// The marker by which asyncio.iscoroutinefunction() knows a coroutine
// function that is not a def-made function; plain functions have none.
PyObject* get_is_coroutine(PyObject* self, void*) {
    if (as_function(self)->def->coro_impl == nullptr) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '_is_coroutine'", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return boundary([&]() -> PyObject* { return standard_module("asyncio.coroutines").attr("_is_coroutine").release(); });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "__kaplet__.kaplet_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

bool ready_function_type() {
    if (g_function_type) return true;
    g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return g_function_type != nullptr;
}

PyTypeObject* function_type() { return g_function_type; }

Ref make_function(const FunctionDef& def, PyObject* qualname, PyObject* globals, PyObject* class_cell,
                  DefParts parts) {
    if (!ready_function_type()) throw_python_error();
    FunctionObject* f = PyObject_GC_New(FunctionObject, g_function_type);
    if (f == nullptr) throw_python_error();
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->name = nullptr;
    f->qualname = Py_NewRef(qualname);
    f->code_name = Py_NewRef(qualname);
    f->module = nullptr;
    f->doc = Py_NewRef(Py_None);
    f->defaults = parts.defaults.release();
    f->kwdefaults = parts.kwdefaults.release();
    f->annotations = parts.annotations.release();
    f->globals = Py_NewRef(globals);
    f->builtins = nullptr;
    f->class_cell = Py_XNewRef(class_cell);
    f->dict = nullptr;
    f->weakreflist = nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = Ref::steal(PyUnicode_FromString(def.name)).release();
    PyObject* module_name = PyDict_GetItemString(globals, "__name__");
    f->module = Py_NewRef(module_name ? module_name : Py_None);
    f->builtins = Py_NewRef(builtins_of(globals));
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return result;
}

Ref annotations(std::initializer_list<Annotation> items) {
    Ref d = new_dict();
    for (const Annotation& a : items) check(PyDict_SetItemString(d.get(), a.name, a.value));
    return d;
}

Ref Args::global(PyObject* name, GlobalCache& cache) const {
    FunctionObject* f = as_function(function_);
    return lookup_global(f->globals, f->builtins, name, cache);
}

void add_function_traceback(const Args& args) noexcept {
    FunctionObject* f = as_function(args.function());
    // Held: reading __file__ may run code that drops the function's own references.
    Ref globals = Ref::borrow_or_null(f->globals);
    Ref code_name = Ref::borrow_or_null(f->code_name);
    add_traceback_entry(globals.get(), code_name.get(), args.current_line());
}

Ref Args::global(const char* name) const {
    FunctionObject* f = as_function(function_);
    Ref key = str(name);
    return lookup_global_uncached(f->globals, f->builtins, key.get(), nullptr);
}

Ref Args::import(const char* dotted) const {
    return call_import(as_function(function_)->globals, dotted, Py_None);
}

Ref Args::import(PyObject* dotted) const {
    return call_import(as_function(function_)->globals, dotted, Py_None);
}

Ref Args::class_of_definition() const {
    FunctionObject* f = as_function(function_);
    PyObject* cls = f->class_cell ? PyCell_GET(f->class_cell) : nullptr;
    if (cls == nullptr) raise(PyExc_RuntimeError, "super(): empty __class__ cell");
    return Ref::borrow(cls);
}

Ref Args::super() const {
    // `super()` reads the global name first; only the genuine super takes
    // its arguments from the calling frame, which here are spelled out.
    Ref super_function = global<"super">();
    if (super_function.get() != reinterpret_cast<PyObject*>(&PySuper_Type)) return super_function();
    Ref cls = class_of_definition();
    if (count_ == 0 || !slots_[0]) raise(PyExc_RuntimeError, "super(): no arguments");
    return super_function(cls, slots_[0]);
}

}  // namespace kaplet
