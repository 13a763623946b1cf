// Which files Image.open hands to a plugin whose opening code the header
// readers mirror: Image.open itself is Pillow's own, and so are the plugin
// order, the accept functions tried first and each native format's plugin
// code. The verdict is kept with a fingerprint of everything the check read,
// once per interpreter, so a scan after another (or after Python code ran)
// looks again only when something it depends on changed.
#pragma once

#include "fingerprint.h"
#include "format_table.h"
#include "header_size.h"
#include "interpreter_cache.h"
#include "ref.h"

#include <array>
#include <string>
#include <unordered_map>
#include <vector>

namespace pretrain {

class PillowCheck {
public:
    // Kept by InterpreterCache under kKey.
    static constexpr const char* kKey = "pretrain.pillow_check";
    static constexpr const char* kTypeName = "__kaplet__.pillow_check";

    // After Python code ran: image_module (the tool's Image) is checked
    // again, in a few comparisons when nothing the last check read changed.
    void recheck_code(PyObject* image_module);
    // True when Pillow's own opening code changed nothing the check read.
    bool unchanged() const { return checked_.unchanged(); }
    // After Image.open ran: what it may change (the plugins loaded, Image.ID
    // and Image.OPEN) is looked at again.
    void refresh_order(PyObject* image_module);

    bool open_is_own() const noexcept { return open_is_own_; }
    unsigned formats() const noexcept { return formats_; }
    const PillowRules& rules() const noexcept { return rules_; }

    // None of the formats Image.open tries before the file's own accepts
    // its first bytes.
    bool accepted_by_no_other(const HeaderSize& size);
    // Image.open would import no plugin for this file name.
    bool imports_no_plugin(PyObject* image_module, PyObject* filename) const;

    int traverse(visitproc visit, void* arg) const;
    void clear() noexcept;

private:
    void check_code(PyObject* image_module);
    void find_formats(PyObject* image_module);

    unsigned formats_ = 0;  // ImageFormat mask of what may be read natively
    PillowRules rules_;     // what the readers mirror, for the Pillow loaded
    // Per native format (by its place in kFormats), the accept functions of the formats
    // Image.open tries first whose leading bytes are not known here; they
    // are Pillow's own pure functions, so their answers are kept per prefix.
    std::array<std::vector<kaplet::Ref>, kFormatCount> earlier_accepts_;
    std::unordered_map<std::string, bool> prefix_answers_[kFormatCount];
    bool open_is_own_ = false;    // Image is Pillow's and Image.open its own
    Fingerprint checked_;         // what the last check of the code read
    kaplet::Ref checked_module_;  // the Image module of that check
    unsigned own_code_ = 0;       // formats whose plugin code is Pillow's own
    // Image.ID and the Image.OPEN entries of its formats as last looked at,
    // and what was read to find the formats.
    std::vector<kaplet::Ref> order_seen_, entries_seen_;
    Fingerprint order_checked_;
};

}  // namespace pretrain
