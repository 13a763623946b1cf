#include "standard_modules.h"

#include <cstring>
#include <string>
#include <vector>

namespace kaplet {

namespace {
struct Cached {
    std::string name;
    PyObject* module;
};
std::vector<Cached>& cache() {
    static std::vector<Cached> modules;
    return modules;
}
}  // namespace

Ref standard_module(const char* name) {
    for (const Cached& c : cache()) {
        if (c.name == name) return Ref::borrow(c.module);
    }
    Ref module = Ref::steal(PyImport_ImportModule(name));
    cache().push_back({name, Ref(module).release()});
    return module;
}

}  // namespace kaplet
