// The finder's distribution answers: the distributions this library carries
// (none), filtered by the name of the query.
#include "distributions.h"

#include "error.h"
#include "module_table.h"

namespace kaplet {

namespace {

// Name to distribution; process-wide, and empty for this library.
PyObject* distributions() {
    static PyObject* map = nullptr;
    if (map == nullptr) map = check(PyDict_New());
    return map;
}

Ref find_distributions(Args& a) {
    Ref wanted = a.ref(0).attr("name");
    Ref found = Ref::steal(PyList_New(0));
    // A copy: the comparison runs the wanted name's __eq__.
    Ref items = Ref::steal(PyDict_Items(distributions()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(items.get(), i));
        PyObject* name = PyTuple_GET_ITEM(pair.get(), 0);
        if (wanted.get() != Py_None) {
            int equal = PyObject_RichCompareBool(name, wanted.get(), Py_EQ);
            check(equal);
            if (!equal) continue;
        }
        check(PyList_Append(found.get(), PyTuple_GET_ITEM(pair.get(), 1)));
    }
    return Ref::steal(PyObject_GetIter(found.get()));
}

constexpr Param kContext[] = {{"context"}};

}  // namespace

extern const MethodDef kFindDistributions{{"find_distributions", kContext, find_distributions}, 1};

}  // namespace kaplet
