// Class statements: bases, __mro_entries__, metaclass, __prepare__,
// decorator, namespace, __orig_bases__ and the shared __class__ cell, in the
// order the interpreter carries them out.
#pragma once

#include "function.h"
#include "module_context.h"

#include <functional>
#include <vector>

namespace kaplet {

// The namespace of a class body being executed.
class ClassBody {
public:
    ClassBody(const Module& m, PyObject* ns, PyObject* class_name, PyObject* cell)
        : module_(m), ns_(ns), class_name_(class_name), cell_(cell) {}

    // Namespace first, then module globals, then builtins.
    Ref lookup(const char* name) const;
    void set(const char* name, const Ref& value) const;
    // `def name(...)` in the class body: qualified name "Class.name", stored in the namespace.
    Ref def(const FunctionDef& def, DefParts parts = {}) const;
    const Module& module() const noexcept { return module_; }

private:
    const Module& module_;
    PyObject* ns_;
    PyObject* class_name_;
    PyObject* cell_;
};

using ClassBodyFn = std::function<void(ClassBody&)>;
using DecoratorFn = std::function<Ref()>;

struct ClassStatement {
    const char* name;
    std::vector<Ref> bases;       // as written
    Ref metaclass;                // the `metaclass=` keyword, or null
    DecoratorFn decorator;        // evaluates the decorator expression, or empty
};

// `@decorator class Name(*bases, metaclass=...): body`; binds Name in the module.
Ref class_statement(const Module& m, ClassStatement statement, const ClassBodyFn& body);

// `class Name: body` with no bases, keywords or decorator: type(name, (), ns).
Ref plain_class(const Module& m, const char* name, const ClassBodyFn& body);

}  // namespace kaplet
