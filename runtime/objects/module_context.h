// The module a body is filling: its dictionary, its file and code name for
// traceback entries, and the source line of the statement being executed.
#pragma once

#include "function.h"
#include "ref.h"

#include <functional>
#include <string>

namespace kaplet {

class ClassBody;

class Module {
public:
    Module(PyObject* module, const char* code_name);

    PyObject* object() const noexcept { return module_.get(); }
    PyObject* dict() const noexcept { return dict_; }

    // Marks the start of the statement at this source line.
    void line(int number) noexcept { line_ = number; }
    int current_line() const noexcept { return line_; }
    const char* code_name() const noexcept { return code_name_; }

    void bind(const char* name, const Ref& value) const;
    // Module dictionary, then builtins; NameError when neither has it.
    Ref lookup(const char* name) const;
    Ref name() const { return lookup("__name__"); }

    // `def name(...)` at module level.
    Ref def(const FunctionDef& def, DefParts parts = {}) const;

    // `import a.b.c` (binds `a`) and `import a.b.c as x` (binds the module).
    void import(const char* dotted, const char* as = nullptr) const;
    // `from a.b import x, y as z`: pairs of (imported name, bound name or null).
    void import_from(const char* dotted, std::initializer_list<std::pair<const char*, const char*>> names) const;
    // `from typing import ...` served from the once-per-process typing module.
    void import_from_standard(const char* module, std::initializer_list<const char*> names) const;

private:
    Ref module_;
    PyObject* dict_;
    const char* code_name_;
    int line_ = 0;
};

// A module body: carries out the module's statements on m.
using ModuleBody = void (*)(Module& m);

// Runs a body on module; when a statement fails, adds the traceback entry of
// that statement (the module's __file__, code name, line) and rethrows.
void run_body(PyObject* module, const char* code_name, ModuleBody body);

}  // namespace kaplet
