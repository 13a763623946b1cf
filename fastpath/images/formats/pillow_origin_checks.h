// Tests that Pillow's classes and functions are Pillow's own (origin_checks.h for
// the general tests), for the header readers' plugin checks.
#pragma once

#include "origin_checks.h"

#include <initializer_list>

namespace pretrain {

// type.name resolves to a function of one of Pillow's own modules, written
// in that module under that name.
bool pillow_method(PyObject* type, const char* name);

// A plugin's image class whose opening code (the shared steps and
// `methods`) is all Pillow's own.
bool pillow_image_class(PyObject* type, std::initializer_list<const char*> methods);

// The module global `name` is exactly one of the plugin module's own
// functions, and `value` is it.
bool is_own_global(PyObject* module, PyObject* value, const char* name);

// The module's `logger` is a plain logging.Logger that drops DEBUG records
// (its answer is recorded, so that a level change shows as a change).
bool debug_logging_off(PyObject* module);

// The plugin module's global `name` is the module `pillow_module` (a PIL.*
// module as sys.modules holds it); null otherwise.
kaplet::Ref pillow_module_global(PyObject* module, const char* name, const char* pillow_module);

// The plugin module's global `name` is Pillow's `pillow_module.original`,
// imported under that name (as `from ._binary import i16le as i16` does).
bool imported_pillow_function(PyObject* module, const char* name, const char* pillow_module, const char* original);

// What ImagePalette.raw goes through, reached from the plugin module's
// global ImagePalette, is Pillow's own: raw, the class's __init__ and its
// palette property, read and set.
bool own_raw_palette(PyObject* module);

// The dict `value` (the exact type) is recorded so that any later change of
// its entries triggers a new check.
bool record_exact_dict(PyObject* value);

}  // namespace pretrain
