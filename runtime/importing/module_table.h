// The library's module table, its directory, and the paths derived from a row.
#pragma once

#include "module_context.h"
#include "ref.h"

#include <string>
#include <vector>

namespace kaplet {

struct ModuleRow {
    std::string name;            // full dotted name; renamed when loaded inside an outer package
    bool is_package;
    ModuleBody body;
    const char* relative_path;   // source path with '/' separators, or null when the body sets no __file__
    const char* code_name;       // "<module ...>", for traceback entries
};

// What each library defines: its short name and its rows, in table order.
struct LibraryDefinition {
    const char* name;
    std::vector<ModuleRow> rows;
};
LibraryDefinition& this_library();

// Exact byte comparison, first equal row wins.
ModuleRow* find_row(const char* full_name);
ModuleRow* find_row(PyObject* full_name);  // str; other types match nothing

// Directory of the library file (computed once), and joins onto it.
const std::string& library_directory();
std::string join_path(const std::string& directory, const std::string& relative);
// The relative path with '/' turned into the platform's separator.
std::string native_path(const char* relative);

std::string module_directory(const ModuleRow& row);
std::string file_value(const ModuleRow& row);

Ref path_string(const std::string& utf8);

// Prefixes rows with the outer package when the interpreter loads the
// library as a submodule (package context "outer.pretrain").
void apply_nested_loading(const char* package_context);

}  // namespace kaplet
