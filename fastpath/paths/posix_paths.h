// The pathlib operations the analysis tool does once per file, Path(text),
// path.suffix and path.relative_to(root).parts[0], done natively on the
// host's own PosixPath objects.
//
// pathlib (CPython 3.11) keeps a parsed path in the slots _drv, _root and
// _parts. The shortcut is taken only while pathlib is exactly the standard
// library's (its classes, their methods and slots, the posix flavour and the
// functions it calls) and only for objects of exactly its PosixPath class
// whose slots hold exact str and list objects; while it works on them no
// Python code runs. Anything else goes through the calls as written, so
// results and errors are always pathlib's.
#pragma once

#include "frame_report.h"
#include "pathlib_check.h"
#include "ref.h"

#include <cstdint>

namespace pretrain {

// A coroutine body may keep one across an await: it reports what it holds.
class PosixPaths {
public:
    // `path_class` is what the module's name Path is bound to.
    explicit PosixPaths(PyObject* path_class);

    // Whether Path(text) is made natively (pathlib is the genuine one and
    // path_class is pathlib.Path).
    bool makes_paths() const noexcept { return static_cast<bool>(path_); }
    // Makes Path(text) call path_class from now on.
    void use_path_class(PyObject* path_class);
    // Python code has run (a callback): pathlib is checked again before the
    // next operation, since that code may have changed it.
    void python_ran() noexcept { python_ran_ = true; }

    int traverse(visitproc visit, void* arg) const;

    // Path(text)
    kaplet::Ref make(PyObject* text);
    // path.suffix
    kaplet::Ref suffix(PyObject* path);
    // path.relative_to(root).parts[0]
    kaplet::Ref first_part_under(PyObject* path, PyObject* root);
    // os.fspath(path) for a genuine path, without caching it; null for any
    // other object, whose own __fspath__ must run.
    kaplet::Ref fspath(PyObject* path);
    // Caches text as str(path) does, for a path fspath answered.
    void cache_text(PyObject* path, PyObject* text);

private:
    void recheck();
    void before_operation() {
        if (python_ran_) recheck();
    }
    kaplet::Ref generic_suffix(PyObject* path);

    struct Parsed {
        kaplet::Ref drv, root, parts;  // exact str, str, list
        bool anchored() const;
    };

    bool read(PyObject* path, Parsed& out) const;
    const Parsed* parsed_root(PyObject* root);
    void parse(PyObject* text, Parsed& out);

    kaplet::Ref path_class_;
    kaplet::Ref pathlib_holder_;  // keeps pathlib_ alive
    PathlibCheck& pathlib_;       // the interpreter's verdict on pathlib, shared by every scan
    // The verdict's generation the members below come from. They are this
    // object's own copies: an allocation here may run code that checks
    // pathlib again for another caller, and what is in use must stay alive.
    std::uint64_t seen_generation_ = 0;
    kaplet::Ref path_;                              // pathlib.Path, null when not genuine
    kaplet::Ref posix_;                             // pathlib.PosixPath
    kaplet::Ref drv_slot_, root_slot_, parts_slot_, str_slot_;  // its member descriptors
    kaplet::Ref empty_;
    // The last root parsed for relative_to, as its text or its parts.
    kaplet::Ref root_text_, root_parts_list_, root_parts_copy_;
    Parsed root_parsed_;
    bool root_ok_ = false;
    bool python_ran_ = false;
    kaplet::Ref directory_;
    Parsed directory_parsed_;
    kaplet::FrameReport<PosixPaths> report_{*this};  // last: see frame_report.h
};

}  // namespace pretrain
