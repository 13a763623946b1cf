#include "fingerprint.h"

#include "global_lookup.h"

using kaplet::Ref;

namespace pretrain {

namespace {
Fingerprint* recording = nullptr;
}  // namespace

bool Fingerprint::unchanged() const {
    for (const auto& [dict, version] : dicts_) {
        if (kaplet::dict_version(dict.get()) != version) return false;
    }
    for (const auto& [function, code] : functions_) {
        if (PyFunction_GET_CODE(function.get()) != code.get()) return false;
    }
    return true;
}

void Fingerprint::clear() noexcept {
    dicts_.clear();
    functions_.clear();
}

void Fingerprint::add_dict(PyObject* dict) {
    if (dict != nullptr && PyDict_Check(dict)) dicts_.emplace_back(Ref::borrow(dict), kaplet::dict_version(dict));
}

void Fingerprint::add_function(PyObject* function) {
    functions_.emplace_back(Ref::borrow(function), Ref::borrow(PyFunction_GET_CODE(function)));
}

int Fingerprint::traverse(visitproc visit, void* arg) const {
    for (const auto& entry : dicts_) Py_VISIT(entry.first.get());
    for (const auto& entry : functions_) {
        Py_VISIT(entry.first.get());
        Py_VISIT(entry.second.get());
    }
    return 0;
}

Recording::Recording(Fingerprint& into) noexcept : saved_(recording) { recording = &into; }
Recording::~Recording() { recording = saved_; }
Fingerprint* Recording::current() noexcept { return recording; }

}  // namespace pretrain
