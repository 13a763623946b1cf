// The coroutine object "kaplet_coroutine" and its "__await__" iterator. They
// follow the interpreter's own coroutines (Objects/genobject.c): a body is
// driven by send/throw/close, suspends only while it awaits a Python
// iterator, and delegates sends and throws to that iterator as `await` does.
#include "coroutine.h"

#include "str_field.h"

#include <structmember.h>

namespace kaplet {

namespace {

struct CoroutineObject {
    PyObject_HEAD
    Coro::Handle handle;  // null once the body has finished or was closed
    PyObject* name;
    PyObject* qualname;
    PyObject* weakreflist;
    bool started;
    bool running;
};

struct WrapperObject {
    PyObject_HEAD
    PyObject* coroutine;
};

PyTypeObject* g_coroutine_type = nullptr;
PyTypeObject* g_wrapper_type = nullptr;

CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

bool is_native_coroutine(PyObject* o) { return Py_TYPE(o) == g_coroutine_type; }

// Destroys the body's frame (its locals and bound arguments go with it).
void finish(CoroutineObject* c) noexcept {
    Coro::Handle h = std::exchange(c->handle, {});
    if (h) h.destroy();
}

[[noreturn]] void raise_awaited_already() { raise(PyExc_RuntimeError, "coroutine is being awaited already"); }

// The iterator behind an awaitable, as the await expression finds it
// (_PyCoro_GetAwaitableIter, plus the check that a coroutine is not awaited twice).
Ref awaitable_iterator(PyObject* o) {
    if (is_native_coroutine(o)) {
        CoroutineObject* c = as_coroutine(o);
        if (c->handle && c->handle.promise().awaiting) raise_awaited_already();
        return Ref::borrow(o);
    }
    if (PyCoro_CheckExact(o)) {
        Ref inner = Ref::borrow(o).attr("cr_await");
        if (inner.get() != Py_None) raise_awaited_already();
        return Ref::borrow(o);
    }
    if (PyGen_CheckExact(o)) {
        auto* code = reinterpret_cast<PyGenObject*>(o)->gi_code;
        if (code->co_flags & CO_ITERABLE_COROUTINE) return Ref::borrow(o);
    }
    PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
    if (am == nullptr || am->am_await == nullptr) {
        raise(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    }
    Ref it = Ref::steal(am->am_await(o));
    if (PyCoro_CheckExact(it.get()) || is_native_coroutine(it.get())) {
        raise(PyExc_TypeError, "__await__() returned a coroutine");
    }
    if (!PyIter_Check(it.get())) {
        raise(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
    }
    return it;
}

// Sends value into the awaited iterator. NEXT: it yielded *out. Otherwise
// the iterator is done and the promise holds what the body resumes with.
PySendResult send_into_awaited(Coro::promise_type& p, PyObject* value, PyObject** out) {
    PyObject* r = nullptr;
    PySendResult status = PyIter_Send(p.awaiting.get(), value, &r);
    if (status == PYGEN_NEXT) {
        *out = r;
        return status;
    }
    p.awaiting.reset();
    if (status == PYGEN_RETURN) {
        p.resume_value = Ref::steal_or_null(r);
    } else {
        p.resume_error = SavedError::fetch();
    }
    return status;
}

// Closes the awaited iterator as gen_close_iter does; false with the error
// set when its close() raised.
bool close_iterator(PyObject* iterator) {
    Ref close;
    try {
        close = optional_attr(iterator, "close");
    } catch (const PythonError&) {
        PyErr_WriteUnraisable(iterator);
    }
    if (!close) return true;
    PyObject* r = PyObject_CallNoArgs(close.get());
    if (r == nullptr) return false;
    Py_DECREF(r);
    return true;
}

// Throws the exception into the awaited iterator, as _gen_throw does for a
// delegating generator. NEXT: the iterator yielded *out and is still awaited.
// Otherwise the promise holds what the body resumes with: the iterator's
// return value, the exception it let through, or the thrown one when the
// iterator has no throw().
PySendResult throw_into_awaited(Coro::promise_type& p, SavedError& thrown, PyObject** out) {
    Ref inner = std::move(p.awaiting);
    if (thrown.matches(PyExc_GeneratorExit)) {
        if (close_iterator(inner.get())) {
            p.resume_error = std::move(thrown);
        } else {
            p.resume_error = SavedError::fetch();
        }
        return PYGEN_ERROR;
    }
    Ref method;
    try {
        method = optional_attr(inner.get(), "throw");
    } catch (const PythonError&) {
        p.resume_error = SavedError::fetch();
        return PYGEN_ERROR;
    }
    if (!method) {
        p.resume_error = std::move(thrown);
        return PYGEN_ERROR;
    }
    thrown.restore();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    PyObject* result = PyObject_CallOneArg(method.get(), value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (result != nullptr) {
        p.awaiting = std::move(inner);
        *out = result;
        return PYGEN_NEXT;
    }
    PyObject* returned = nullptr;
    if (_PyGen_FetchStopIterationValue(&returned) == 0) {
        p.resume_value = Ref::steal_or_null(returned);
        return PYGEN_RETURN;
    }
    p.resume_error = SavedError::fetch();
    return PYGEN_ERROR;
}

// The body has run to its end: hand out its result or its exception.
PySendResult complete(CoroutineObject* c, PyObject** out) {
    Coro::promise_type& p = c->handle.promise();
    SavedError error = std::move(p.error);
    Ref result = std::move(p.result);
    finish(c);
    if (error) {
        error.restore();
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            _PyErr_FormatFromCause(PyExc_RuntimeError, "coroutine raised StopIteration");
        }
        return PYGEN_ERROR;
    }
    *out = result ? result.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Runs a started body until it yields a value outward or finishes.
PySendResult advance(CoroutineObject* c, PyObject* value, SavedError thrown, PyObject** out) {
    Coro::promise_type& p = c->handle.promise();
    for (;;) {
        if (p.awaiting) {
            PySendResult status =
                thrown ? throw_into_awaited(p, thrown, out) : send_into_awaited(p, value, out);
            if (status == PYGEN_NEXT) return status;
        } else if (thrown) {
            p.resume_error = std::move(thrown);
        }
        thrown = SavedError{};  // delivered once, to the iterator awaited now
        {
            FrameRoots::Running running(p.roots);
            c->handle.resume();
        }
        if (c->handle.done()) return complete(c, out);
        // A newly awaited iterator is always started with None.
        value = Py_None;
    }
}

// One step of the coroutine: send value (or throw `thrown`) into it.
PySendResult step(CoroutineObject* c, PyObject* value, SavedError thrown, PyObject** out) {
    *out = nullptr;
    if (value == nullptr) value = Py_None;
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (!c->handle) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (!c->started) {
        if (thrown) {
            // Raised before the first statement: the body never runs.
            finish(c);
            thrown.restore();
            return PYGEN_ERROR;
        }
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        c->started = true;
    }
    c->running = true;
    PySendResult status = advance(c, value, std::move(thrown), out);
    c->running = false;
    return status;
}

// send() and __next__: the yielded value, or StopIteration carrying the result.
PyObject* yield_or_stop(PySendResult status, PyObject* out) {
    if (status == PYGEN_NEXT) return out;
    if (status == PYGEN_RETURN) {
        if (out == Py_None) {
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            _PyGen_SetStopIterationValue(out);
        }
        Py_DECREF(out);
    }
    return nullptr;
}

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return step(as_coroutine(self), arg, SavedError{}, result);
}

PyObject* coroutine_send(PyObject* self, PyObject* arg) {
    PyObject* out;
    PySendResult status = step(as_coroutine(self), arg, SavedError{}, &out);
    return yield_or_stop(status, out);
}

// throw(value) or throw(type[, value[, traceback]]), as generators take it.
PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!_PyArg_CheckPositional("throw", nargs, 1, 3)) return nullptr;
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb == Py_None) {
        tb = nullptr;
    } else if (!PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (PyExceptionClass_Check(type)) {
        Py_INCREF(type);
        Py_INCREF(value);
        Py_XINCREF(tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyErr_Restore(type, value, tb);
    } else if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        value = type;
        type = reinterpret_cast<PyObject*>(Py_TYPE(value));
        tb = tb == nullptr ? PyException_GetTraceback(value) : Py_NewRef(tb);
        PyErr_Restore(Py_NewRef(type), Py_NewRef(value), tb);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    PyObject* out;
    PySendResult status = step(as_coroutine(self), Py_None, SavedError::fetch(), &out);
    return yield_or_stop(status, out);
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    CoroutineObject* c = as_coroutine(self);
    if (!c->handle) Py_RETURN_NONE;
    if (!c->started) {
        finish(c);
        Py_RETURN_NONE;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* out;
    PySendResult status = step(c, Py_None, SavedError::fetch(), &out);
    if (status == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coroutine_await(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->handle && c->handle.promise().awaiting) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    WrapperObject* w = PyObject_GC_New(WrapperObject, g_wrapper_type);
    if (w == nullptr) return nullptr;
    w->coroutine = Py_NewRef(self);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(w));
    return reinterpret_cast<PyObject*>(w);
}

PyObject* coroutine_repr(PyObject* self) {
    Ref qualname = Ref::borrow(as_coroutine(self)->qualname);  // formatting may run a collection
    return PyUnicode_FromFormat("<coroutine object %S at %p>", qualname.get(), self);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* c = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    if (c->handle) {
        Coro::promise_type& p = c->handle.promise();
        Py_VISIT(p.awaiting.get());
        Py_VISIT(p.resume_value.get());
        Py_VISIT(p.result.get());
        if (int r = p.error.traverse(visit, arg)) return r;
        if (int r = p.resume_error.traverse(visit, arg)) return r;
        if (int r = p.roots.traverse(visit, arg)) return r;
        if (p.args) {
            if (int r = p.args->traverse(visit, arg)) return r;
        }
    }
    return 0;
}

// Reached only for a coroutine in an unreachable cycle, after its finalizer
// (which closes a suspended body) has run.
int coroutine_clear(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (!c->running) finish(c);
    return 0;
}

// As for the interpreter's coroutines: an unstarted one warns that it was
// never awaited, a suspended one is closed so that its awaited object is too.
void coroutine_finalize(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (!c->handle || c->running) return;
    SavedError pending = SavedError::fetch();
    if (!c->started) {
        Ref qualname = Ref::borrow(c->qualname);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", qualname.get()) < 0) {
            PyErr_WriteUnraisable(self);
        }
    } else {
        PyObject* r = coroutine_close(self, nullptr);
        if (r == nullptr) {
            PyErr_WriteUnraisable(self);
        } else {
            Py_DECREF(r);
        }
    }
    pending.restore();
}

void coroutine_dealloc(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    PyTypeObject* type = Py_TYPE(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    if (c->weakreflist) PyObject_ClearWeakRefs(self);
    finish(c);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_str_field(&as_coroutine(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(&as_coroutine(self)->qualname, v, "__qualname__");
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coroutine(self)->running); }
PyObject* get_await(PyObject* self, void*) {
    CoroutineObject* c = as_coroutine(self);
    PyObject* a = c->handle ? c->handle.promise().awaiting.get() : nullptr;
    return Py_NewRef(a ? a : Py_None);
}
PyObject* get_origin(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroutineObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(coroutine_throw)), METH_FASTCALL, nullptr},
    {"close", coroutine_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coroutine_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(coroutine_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coroutine_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(coroutine_finalize)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_members, coroutine_members},
    {Py_tp_getset, coroutine_getset},
    {Py_am_await, reinterpret_cast<void*>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "__kaplet__.kaplet_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots,
};

// The iterator that __await__ returns (the interpreter's coroutine_wrapper):
// it drives its coroutine.
PyObject* wrapped(PyObject* self) { return reinterpret_cast<WrapperObject*>(self)->coroutine; }

PySendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return coroutine_am_send(wrapped(self), arg, result);
}
PyObject* wrapper_iternext(PyObject* self) {
    PyObject* out;
    PySendResult status = step(as_coroutine(wrapped(self)), Py_None, SavedError{}, &out);
    if (status == PYGEN_RETURN && out == Py_None) {
        Py_DECREF(out);
        return nullptr;
    }
    return yield_or_stop(status, out);
}
PyObject* wrapper_send(PyObject* self, PyObject* arg) { return coroutine_send(wrapped(self), arg); }
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coroutine_throw(wrapped(self), args, nargs);
}
PyObject* wrapper_close(PyObject* self, PyObject*) { return coroutine_close(wrapped(self), nullptr); }

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(wrapped(self));
    return 0;
}

// No tp_clear: every method reads the coroutine, which is never null. A cycle
// through a wrapper also runs through its coroutine, whose clear breaks it.
void wrapper_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<WrapperObject*>(self)->coroutine);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(wrapper_throw)), METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(wrapper_iternext)},
    {Py_tp_methods, wrapper_methods},
    {Py_am_send, reinterpret_cast<void*>(wrapper_am_send)},
    {0, nullptr},
};

PyType_Spec wrapper_spec = {
    "__kaplet__.kaplet_coroutine_wrapper",
    sizeof(WrapperObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wrapper_slots,
};

bool ready_coroutine_types() {
    if (g_coroutine_type) return true;
    g_wrapper_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&wrapper_spec));
    if (g_wrapper_type == nullptr) return false;
    g_coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&coroutine_spec));
    return g_coroutine_type != nullptr;
}

}  // namespace

AwaitPython::AwaitPython(PyObject* awaitable) {
    if (!ready_coroutine_types()) throw_python_error();
    iterator_ = awaitable_iterator(awaitable);
}

Ref make_coroutine(Ref name, Ref qualname, Coro body) {
    if (!ready_coroutine_types()) throw_python_error();
    CoroutineObject* c = PyObject_GC_New(CoroutineObject, g_coroutine_type);
    if (c == nullptr) throw_python_error();
    c->handle = body.release();
    c->name = name.release();
    c->qualname = qualname.release();
    c->weakreflist = nullptr;
    c->started = false;
    c->running = false;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
    return Ref::steal(reinterpret_cast<PyObject*>(c));
}

PyTypeObject* coroutine_type() {
    if (!ready_coroutine_types()) return nullptr;
    return g_coroutine_type;
}

}  // namespace kaplet
