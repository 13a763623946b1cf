#include "tree_walk.h"

#include "error.h"
#include "origin_checks.h"
#include "platform.h"

using kaplet::Ref;
namespace platform = kaplet::platform;

namespace pretrain {

namespace {

constexpr char kSep = platform::kSeparator;
// A tree deeper than this may make glob's recursive generators fail in
// ways not worth imitating; glob itself walks it.
constexpr int kMaxDepth = 100;

#ifdef _WIN32
constexpr const char* kPathModule = "ntpath";
constexpr const char* kSystemModule = "nt";
#else
constexpr const char* kPathModule = "posixpath";
constexpr const char* kSystemModule = "posix";
#endif

bool is_separator(Py_UCS4 c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

// glob.glob and everything it reaches for this pattern are the standard
// library's own.
bool glob_is_genuine(PyObject* glob_function) {
    Ref glob = loaded_module("glob");
    if (!glob || !defined_in(glob_function, glob.get(), "glob")) return false;
    for (const char* helper : {"iglob", "_iglob", "_glob1", "_glob2", "_iterdir", "_listdir", "_rlistdir", "_join",
                               "has_magic", "_ishidden", "_isrecursive"}) {
        if (!own_function(glob.get(), helper)) return false;
    }
    PyObject* globals = PyModule_GetDict(glob.get());
    Ref os = loaded_module("os");
    Ref system = loaded_module(kSystemModule);
    Ref path = loaded_module(kPathModule);
    Ref fnmatch = loaded_module("fnmatch");
    if (!os || !system || !path || !fnmatch) return false;
    if (dict_entry(globals, "os").get() != os.get() || dict_entry(globals, "fnmatch").get() != fnmatch.get()) {
        return false;
    }
    PyObject* os_globals = PyModule_GetDict(os.get());
    Ref scandir = dict_entry(os_globals, "scandir");
    if (!scandir || scandir.get() != dict_entry(PyModule_GetDict(system.get()), "scandir").get()) return false;
    if (dict_entry(os_globals, "path").get() != path.get()) return false;
    return own_function(path.get(), "join") && own_function(path.get(), "split") &&
           own_function(fnmatch.get(), "filter");
}

bool utf8_file_system() {
    const char* encoding = Py_FileSystemDefaultEncoding;
    return encoding != nullptr && (std::string_view(encoding) == "utf-8" || std::string_view(encoding) == "utf8");
}

Ref decode(std::string_view bytes) {
    return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// The root of "<root>/**/*" as glob's os.path.split finds it; null when the
// pattern has another shape or the root holds a wildcard.
Ref root_of(PyObject* pattern) {
    if (!PyUnicode_CheckExact(pattern)) return {};
    Py_ssize_t length = PyUnicode_GET_LENGTH(pattern);
    if (length < 6 || !is_separator(PyUnicode_READ_CHAR(pattern, length - 5))) return {};
    if (PyUnicode_READ_CHAR(pattern, length - 4) != '*' || PyUnicode_READ_CHAR(pattern, length - 3) != '*' ||
        !is_separator(PyUnicode_READ_CHAR(pattern, length - 2)) || PyUnicode_READ_CHAR(pattern, length - 1) != '*') {
        return {};
    }
    // split() keeps a head made only of separators and strips them otherwise.
    Py_ssize_t end = length - 4;
    Py_ssize_t stripped = end;
    while (stripped > 0 && is_separator(PyUnicode_READ_CHAR(pattern, stripped - 1))) --stripped;
    if (stripped > 0) end = stripped;
    for (Py_ssize_t i = 0; i < end; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(pattern, i);
        if (c == '*' || c == '?' || c == '[' || c == 0) return {};
#ifdef _WIN32
        // Only "X:\\dir..." roots: other drive forms take ntpath.join's other branches.
        if (c == ':' && (i != 1 || end < 4 || !is_separator(PyUnicode_READ_CHAR(pattern, 2)))) return {};
#endif
    }
#ifdef _WIN32
    if (is_separator(PyUnicode_READ_CHAR(pattern, 0))) return {};
#endif
    return Ref::steal(PyUnicode_Substring(pattern, 0, end));
}

}  // namespace

std::unique_ptr<TreeWalk> TreeWalk::of_pattern(PyObject* glob_function, PyObject* pattern) {
    if (!utf8_file_system() || !glob_is_genuine(glob_function)) return nullptr;
    Ref root = root_of(pattern);
    if (!root) return nullptr;
    Ref encoded = Ref::steal_or_null(PyUnicode_EncodeFSDefault(root.get()));
    if (!encoded) {
        PyErr_Clear();  // glob raises it itself
        return nullptr;
    }
    auto walk = std::make_unique<TreeWalk>();
    walk->root_text_ = root;
    walk->root_bytes_.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    walk->released_ = PyEval_SaveThread();
    Outcome outcome = walk->walk(std::string(), 0);
    PyEval_RestoreThread(walk->released_);
    if (outcome == Outcome::Interrupted) kaplet::throw_python_error();
    if (outcome == Outcome::TooDeep) return nullptr;
    Ref recursive = Ref::borrow(Py_True);
    kaplet::check(PySys_Audit("glob.glob", "OO", pattern, recursive.get()));
    kaplet::check(PySys_Audit("glob.glob/2", "OOOO", pattern, recursive.get(), Py_None, Py_None));
    walk->raise_listing_events();
    return walk;
}

// os.path.join of a directory and a relative path.
static void join_to(std::string& directory, std::string_view name) {
    if (!directory.empty() && directory.back() != kSep && directory.back() != '/') directory += kSep;
    directory += name;
}

std::string TreeWalk::system_path(const std::string& relative) const {
    std::string path = root_bytes_;
    if (!relative.empty()) join_to(path, relative);
    return path;
}

// Each directory's entries, then each sub-directory's in listing order: the
// order in which glob's generators yield them. Hidden names are skipped and
// not entered; a directory that cannot be listed gives nothing. Signals are
// looked at as the walk goes, as glob's own loop would let them in.
TreeWalk::Outcome TreeWalk::walk(const std::string& relative, int depth) {
    if (depth > kMaxDepth) return Outcome::TooDeep;
    if (!signals_.step_released(released_)) return Outcome::Interrupted;
    std::string path = system_path(relative);
    std::vector<platform::DirectoryEntry> listing;
    platform::list_directory(path, listing);
    std::size_t directory = directories_.size();
    directories_.push_back({relative, depth, {}});
    for (const platform::DirectoryEntry& entry : listing) {
        if (entry.name[0] != '.') entries_.push_back({directory, entry.name});
    }
    for (const platform::DirectoryEntry& entry : listing) {
        if (entry.name[0] == '.') continue;
        if (!signals_.step_released(released_)) return Outcome::Interrupted;
        bool is_directory = entry.kind == platform::DirectoryEntry::Kind::Directory;
        if (entry.kind == platform::DirectoryEntry::Kind::Link || entry.kind == platform::DirectoryEntry::Kind::Unknown) {
            std::string child = path;
            join_to(child, entry.name);
            is_directory = platform::stat_kind(child) == platform::StatKind::Directory;
        }
        if (!is_directory) continue;
        std::string child = relative;
        join_to(child, entry.name);
        if (Outcome outcome = walk(child, depth + 1); outcome != Outcome::Complete) return outcome;
    }
    return Outcome::Complete;
}

// The directory as glob joins it, followed by a separator; the root as
// os.path.join(root, "") gives it.
const Ref& TreeWalk::directory_text(std::size_t d) {
    Directory& directory = directories_[d];
    if (!directory.text) {
        // glob joins the root with "" first, which adds the separator.
        Ref relative = decode(directory.relative);
        Ref separator = Ref::steal(PyUnicode_FromOrdinal(static_cast<unsigned char>(kSep)));
        Py_ssize_t root_length = PyUnicode_GET_LENGTH(root_text_.get());
        bool ends_with_separator = root_length > 0 && is_separator(PyUnicode_READ_CHAR(root_text_.get(), root_length - 1));
        Ref head = ends_with_separator ? root_text_ : Ref::steal(PyUnicode_Concat(root_text_.get(), separator.get()));
        directory.text = Ref::steal(PyUnicode_Concat(head.get(), relative.get()));
        if (!directory.relative.empty()) {
            directory.text = Ref::steal(PyUnicode_Concat(directory.text.get(), separator.get()));
        }
    }
    return directory.text;
}

Ref TreeWalk::text(std::size_t i) {
    Ref name = decode(entries_[i].name);
    return Ref::steal(PyUnicode_Concat(directory_text(entries_[i].directory).get(), name.get()));
}

Ref TreeWalk::texts() {
    Ref found = Ref::steal(PyList_New(0));
    for (std::size_t i = 0; i < size(); ++i) {
        signals_.step();
        kaplet::check(PyList_Append(found.get(), text(i).get()));
    }
    return found;
}

namespace {

// The audit event of os.scandir(path); false when a hook refused it with an
// OSError, which glob takes for a directory it cannot list.
bool audit_listing(PyObject* path) {
    if (PySys_Audit("os.scandir", "O", path) == 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_OSError)) kaplet::throw_python_error();
    PyErr_Clear();
    return false;
}

}  // namespace

// glob lists every directory twice, first for its files (the pattern's "*")
// and then for its sub-directories ("**"), directories in the walk's order,
// and os.scandir raises an audit event each time: for the root, with the
// root joined with "" and then as it is; below it, joined with the relative
// path. A listing a hook refuses with an OSError gives glob nothing: no
// files from the first, no tree below the directory from the second. Any
// other exception ends glob.
void TreeWalk::raise_listing_events() {
    std::vector<bool> keep(directories_.size(), true);
    bool refused = false;
    for (std::size_t d = 0; d < directories_.size();) {
        signals_.step();
        Ref files = directory_text(d);
        Ref below = root_text_;
        if (d > 0) {
            below = files = Ref::steal(PyUnicode_Substring(files.get(), 0, PyUnicode_GET_LENGTH(files.get()) - 1));
        }
        if (!audit_listing(files.get())) {
            keep[d] = false;
            refused = true;
        }
        std::size_t next = d + 1;
        if (!audit_listing(below.get())) {
            refused = true;
            while (next < directories_.size() && directories_[next].depth > directories_[d].depth) keep[next++] = false;
        }
        d = next;
    }
    if (!refused) return;
    std::vector<Entry> kept;
    for (Entry& entry : entries_) {
        if (keep[entry.directory]) kept.push_back(std::move(entry));
    }
    entries_ = std::move(kept);
}

Ref TreeWalk::suffix(std::size_t i) const {
    std::string_view name = entries_[i].name;
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 >= name.size()) return kaplet::str("");
    return decode(name.substr(dot));
}

}  // namespace pretrain
