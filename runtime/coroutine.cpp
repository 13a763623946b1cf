#include "coroutine.h"

#include <structmember.h>

namespace kaplet {

namespace {

struct CoroutineObject {
    PyObject_HEAD
    Coro::promise_type* promise;
    Coro::Handle handle;
    PyObject* name;
    PyObject* qualname;
    bool started;
    bool running;
    bool finished;
};

PyTypeObject* g_coroutine_type = nullptr;

CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

void finish(CoroutineObject* c) noexcept {
    c->finished = true;
    if (c->handle) {
        c->handle.destroy();
        c->handle = {};
        c->promise = nullptr;
    }
}

// The iterator behind an awaitable, as the await expression finds it.
Ref awaitable_iterator(PyObject* o) {
    if (PyCoro_CheckExact(o) || Py_TYPE(o) == g_coroutine_type) return Ref::borrow(o);
    if (PyGen_CheckExact(o)) {
        auto* code = reinterpret_cast<PyGenObject*>(o)->gi_code;
        if (code->co_flags & CO_ITERABLE_COROUTINE) return Ref::borrow(o);
    }
    PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
    if (am == nullptr || am->am_await == nullptr) {
        raise(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    }
    Ref it = Ref::steal(am->am_await(o));
    if (PyCoro_CheckExact(it.get()) || Py_TYPE(it.get()) == g_coroutine_type) {
        raise(PyExc_TypeError, "__await__() returned a coroutine");
    }
    if (!PyIter_Check(it.get())) {
        raise(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
    }
    return it;
}

// Throws the saved exception into the iterator being awaited. Returns NEXT
// with the value it yields, or settles what the body resumes with.
PySendResult throw_into_awaited(Coro::promise_type& p, SavedError& thrown, PyObject** out) {
    Ref inner = std::move(p.awaiting);
    if (thrown.matches(PyExc_GeneratorExit)) {
        // Close the awaited iterator first, then raise GeneratorExit in the body.
        Ref close = Ref::steal_or_null(PyObject_GetAttrString(inner.get(), "close"));
        if (!close) {
            if (!error_matches(PyExc_AttributeError)) {
                p.resume_error = SavedError::fetch();
                return PYGEN_ERROR;
            }
            PyErr_Clear();
        } else {
            PyObject* r = PyObject_CallNoArgs(close.get());
            if (r == nullptr) {
                p.resume_error = SavedError::fetch();
                return PYGEN_ERROR;
            }
            Py_DECREF(r);
        }
        p.resume_error = std::move(thrown);
        return PYGEN_ERROR;
    }
    Ref method = Ref::steal_or_null(PyObject_GetAttrString(inner.get(), "throw"));
    if (!method) {
        if (!error_matches(PyExc_AttributeError)) {
            p.resume_error = SavedError::fetch();
            return PYGEN_ERROR;
        }
        PyErr_Clear();
        p.resume_error = std::move(thrown);
        return PYGEN_ERROR;
    }
    thrown.restore();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* result = PyObject_CallFunctionObjArgs(method.get(), type, value, tb ? tb : Py_None, nullptr);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (result != nullptr) {
        p.awaiting = std::move(inner);
        *out = result;
        return PYGEN_NEXT;
    }
    if (error_matches(PyExc_StopIteration)) {
        PyObject* v = nullptr;
        _PyGen_FetchStopIterationValue(&v);
        p.resume_value = Ref::steal_or_null(v);
        return PYGEN_RETURN;
    }
    p.resume_error = SavedError::fetch();
    return PYGEN_ERROR;
}

// One step of the coroutine: send value (or throw `thrown`) and run until
// the body yields a value outward or finishes.
PySendResult step(CoroutineObject* c, PyObject* value, SavedError thrown, PyObject** out) {
    *out = nullptr;
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (c->finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (!c->started) {
        if (thrown) {
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
    Coro::promise_type& p = *c->promise;
    Ref sent = Ref::borrow(value);
    for (;;) {
        if (p.awaiting) {
            if (thrown) {
                if (throw_into_awaited(p, thrown, out) == PYGEN_NEXT) return PYGEN_NEXT;
            } else {
                PyObject* r = nullptr;
                PySendResult status = PyIter_Send(p.awaiting.get(), sent.get(), &r);
                if (status == PYGEN_NEXT) {
                    *out = r;
                    return PYGEN_NEXT;
                }
                p.awaiting.reset();
                if (status == PYGEN_RETURN) {
                    p.resume_value = Ref::steal_or_null(r);
                } else {
                    p.resume_error = SavedError::fetch();
                }
            }
        } else if (thrown) {
            p.resume_error = std::move(thrown);
        }
        c->running = true;
        c->handle.resume();
        c->running = false;
        if (c->handle.done()) {
            if (p.error) {
                SavedError error = std::move(p.error);
                finish(c);
                error.restore();
                if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    _PyErr_FormatFromCause(PyExc_RuntimeError, "coroutine raised StopIteration");
                }
                return PYGEN_ERROR;
            }
            Ref result = p.result ? std::move(p.result) : none();
            finish(c);
            *out = result.release();
            return PYGEN_RETURN;
        }
        sent = none();
    }
}

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return step(as_coroutine(self), arg ? arg : Py_None, SavedError{}, result);
}

// send()/__next__ style: the yielded value, or StopIteration carrying the result.
PyObject* yield_or_stop(PySendResult status, PyObject* out, bool plain_none) {
    if (status == PYGEN_NEXT) return out;
    if (status == PYGEN_RETURN) {
        if (out == Py_None && plain_none) {
            Py_DECREF(out);
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            _PyGen_SetStopIterationValue(out);
            Py_DECREF(out);
        }
    }
    return nullptr;
}

PyObject* coroutine_send(PyObject* self, PyObject* arg) {
    PyObject* out;
    PySendResult status = step(as_coroutine(self), arg, SavedError{}, &out);
    return yield_or_stop(status, out, true);
}

PyObject* coroutine_iternext(PyObject* self) {
    PyObject* out;
    PySendResult status = step(as_coroutine(self), Py_None, SavedError{}, &out);
    if (status == PYGEN_RETURN && out == Py_None) {
        Py_DECREF(out);
        return nullptr;
    }
    return yield_or_stop(status, out, false);
}

// throw(value) or throw(type[, value[, traceback]]), as generators take it.
PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!_PyArg_CheckPositional("throw", nargs, 1, 3)) return nullptr;
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb == Py_None) tb = nullptr;
    else if (!PyTraceBack_Check(tb)) {
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
        if (tb == nullptr) tb = PyException_GetTraceback(value);
        else Py_INCREF(tb);
        Py_INCREF(type);
        Py_INCREF(value);
        PyErr_Restore(type, value, tb);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    PyObject* out;
    PySendResult status = step(as_coroutine(self), Py_None, SavedError::fetch(), &out);
    return yield_or_stop(status, out, true);
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    CoroutineObject* c = as_coroutine(self);
    if (c->finished) Py_RETURN_NONE;
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

PyObject* coroutine_await(PyObject* self) { return Py_NewRef(self); }

PyObject* coroutine_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coroutine(self)->qualname, self);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* c = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    if (c->promise) Py_VISIT(c->promise->awaiting.get());
    return 0;
}

int coroutine_clear(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->promise && !c->running) c->promise->awaiting.reset();
    return 0;
}

void coroutine_dealloc(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (!c->started && !c->finished) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", c->qualname) < 0) {
            PyErr_WriteUnraisable(self);
        }
        PyErr_Restore(t, v, tb);
    }
    finish(c);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    if (v == nullptr || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_coroutine(self)->name, Py_NewRef(v));
    return 0;
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    if (v == nullptr || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_coroutine(self)->qualname, Py_NewRef(v));
    return 0;
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coroutine(self)->running); }
PyObject* get_await(PyObject* self, void*) {
    CoroutineObject* c = as_coroutine(self);
    PyObject* a = c->promise ? c->promise->awaiting.get() : nullptr;
    return Py_NewRef(a ? a : Py_None);
}

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(coroutine_iternext)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {Py_am_await, reinterpret_cast<void*>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "__kaplet__.kaplet_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots,
};

bool ready_coroutine_type() {
    if (g_coroutine_type) return true;
    g_coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&coroutine_spec));
    return g_coroutine_type != nullptr;
}

}  // namespace

AwaitPython::AwaitPython(PyObject* awaitable) {
    if (!ready_coroutine_type()) throw_python_error();
    iterator_ = awaitable_iterator(awaitable);
}

Ref make_coroutine(PyObject* name, PyObject* qualname, Coro body) {
    if (!ready_coroutine_type()) throw_python_error();
    CoroutineObject* c = PyObject_GC_New(CoroutineObject, g_coroutine_type);
    if (c == nullptr) throw_python_error();
    c->handle = body.release();
    c->promise = &c->handle.promise();
    c->name = Py_NewRef(name);
    c->qualname = Py_NewRef(qualname);
    c->started = false;
    c->running = false;
    c->finished = false;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
    return Ref::steal(reinterpret_cast<PyObject*>(c));
}

PyTypeObject* coroutine_type() {
    ready_coroutine_type();
    return g_coroutine_type;
}

}  // namespace kaplet
