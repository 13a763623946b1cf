// One T per interpreter, kept in the interpreter's state dictionary under
// T::kKey: what a check of a library found out outlives the call that made
// it. T reports its references (traverse) and drops them (clear), and names
// its holder type (kTypeName). This is where state learnt from objects
// that Python code can replace lives (runtime/README.md, rule 4).
#pragma once

#include "error.h"
#include "names.h"
#include "ref.h"

namespace kaplet {

template <class T>
class InterpreterCache {
public:
    // The interpreter's T, made on first use; the returned object keeps it
    // alive.
    static Ref get() {
        PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
        if (state == nullptr) return make();  // no place to keep it: the caller's own
        PyObject* key = key_ ? key_ : intern_into(&key_, T::kKey);
        Ref found = Ref::borrow_or_null(PyDict_GetItemWithError(state, key));
        if (found && Py_IS_TYPE(found.get(), type_)) return found;
        if (PyErr_Occurred()) throw_python_error();
        Ref made = make();
        check(PyDict_SetItem(state, key, made.get()));
        return made;
    }

    static T& of(const Ref& holder) { return *reinterpret_cast<Object*>(holder.get())->value; }

private:
    struct Object {
        PyObject_HEAD
        T* value;
    };

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        return reinterpret_cast<Object*>(self)->value->traverse(visit, arg);
    }

    static int clear(PyObject* self) {
        reinterpret_cast<Object*>(self)->value->clear();
        return 0;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        delete reinterpret_cast<Object*>(self)->value;
        type->tp_free(self);
        Py_DECREF(type);
    }

    static Ref make() {
        if (type_ == nullptr) {
            static PyType_Slot slots[] = {
                {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                {Py_tp_clear, reinterpret_cast<void*>(clear)},
                {0, nullptr},
            };
            static PyType_Spec spec = {
                T::kTypeName, sizeof(Object), 0,
                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                slots,
            };
            type_ = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
        }
        T* value = new T();
        Object* holder = PyObject_GC_New(Object, type_);
        if (holder == nullptr) {
            delete value;
            throw_python_error();
        }
        holder->value = value;
        PyObject_GC_Track(holder);
        return Ref::steal(reinterpret_cast<PyObject*>(holder));
    }

    static inline PyTypeObject* type_ = nullptr;
    static inline PyObject* key_ = nullptr;
};

}  // namespace kaplet
