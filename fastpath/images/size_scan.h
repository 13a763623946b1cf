// str(Image.open(path).size) for the analysis tool's size scan, read from the
// file headers natively (header_size.h) while the module's Image is
// Pillow's own module with its own open, plugins and plugin order; every
// file the header reader is not sure of, and every other path object, is
// opened by Image.open as written.
#pragma once

#include "frame_report.h"
#include "header_pipeline.h"
#include "pillow_check.h"
#include "posix_paths.h"
#include "ref.h"

#include <cstdint>

namespace pretrain {

// A coroutine body may keep one across an await: it reports what it holds.
class SizeScan {
public:
    // `image_module` is what the tool's name Image is bound to.
    explicit SizeScan(PyObject* image_module);

    int traverse(visitproc visit, void* arg) const;

    // Python code has run (the frame resumed after an await, or Image is
    // bound to another object): Pillow and the files read ahead are checked
    // again before the next file.
    void python_ran() noexcept {
        python_ran_ = true;
        ++python_runs_;
    }

    // str(Image.open(path_list[index]).size) for the item at index of the
    // exact list path_list, where Image is bound to image_module, after the
    // audit event that opening it raises; a null Ref when Image.open must
    // open it. Headers are read ahead, in list order, on worker threads.
    kaplet::Ref size_text(PyObject* image_module, PyObject* path_list, Py_ssize_t index);
    // Image.open(path), where Image is bound to image_module, for a file
    // size_text left to it.
    kaplet::Ref open(PyObject* image_module, PyObject* path);

private:
    // Image is now bound to image_module (read again for every file).
    void use_image_module(PyObject* image_module);
    // Image.open has opened a file. When it was Pillow's own, only what it
    // may change (the plugins loaded, Image.ID and Image.OPEN) is looked at
    // again; otherwise as python_ran.
    void pillow_ran() noexcept;
    void check_pending();
    bool prepare(PyObject* path, HeaderPipeline::File& file);
    bool still_holds(PyObject* path, Py_ssize_t index);
    void read_ahead(PyObject* path_list, Py_ssize_t index);

    kaplet::Ref image_module_;
    kaplet::Ref check_holder_;  // keeps check_ alive
    PillowCheck& check_;        // the interpreter's verdict on Pillow, shared by every scan
    bool python_ran_ = true;
    std::uint64_t python_runs_ = 0;
    std::int64_t ahead_ = 0;  // how far the pipeline reads ahead: grows as the scan goes on
    bool pillow_ran_ = false;
    PosixPaths paths_;             // for os.fspath of pathlib's own paths
    kaplet::Ref mode_;             // "r", as open() reports it
    HeaderPipeline pipeline_;
    kaplet::Ref last_text_;  // the size text made last, for last_width_ x last_height_
    std::uint64_t last_width_ = 0, last_height_ = 0;
    kaplet::FrameReport<SizeScan> report_{*this};  // last: see frame_report.h
};

}  // namespace pretrain
