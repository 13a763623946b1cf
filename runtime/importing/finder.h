// The package finder "kaplet_module_loader" and the shared steps behind its
// import operations.
#pragma once

#include "module_table.h"
#include "ref.h"

namespace kaplet {

PyTypeObject* finder_type();
bool ready_finder_type();

// A finder instance bound to a package row (null row: the meta-path finder).
Ref make_finder(ModuleRow* row);

// Stores module in sys.modules, runs the row's prologue and body on it and
// returns what sys.modules then holds under the row's name.
Ref run_row(ModuleRow& row, PyObject* module);

// The prologue every module body starts with (before its first statement).
void run_prologue(PyObject* module, const ModuleRow& row);

// After a body has run: __spec__._initializing back to False (the prologue
// set it to True), when the module has a spec with that attribute.
void finish_initializing(PyObject* module);

// importlib._bootstrap.ModuleSpec(name, <finder type>, **keywords).
Ref module_spec(PyObject* name, std::initializer_list<Keyword> keywords);

// Installs the finder in sys.meta_path and its path hook, once per process.
void install_finder_once();

}  // namespace kaplet
