// Program paths to system paths: the program names files in UTF-8 with backslashes and
// expects a Windows file system's case-insensitive names.
#pragma once

#include <string>
#include <string_view>

namespace platform::posix {

// `\` (and `/`) separate components, repeated separators count as one; each component,
// when no entry of exactly that name exists in its parent folder, is
// looked up there ignoring ASCII and Cyrillic letter case (when several entries match, the
// smallest). A component found neither way, and everything after it, is kept as written so
// that new files and folders can be named. A relative path stays relative (the system
// resolves it against the current folder).
//
// Folders of absolute paths are indexed by their folded names the first time a name is
// missing in them, so that each later lookup there costs no folder read. The kernel's change
// notifications (inotify) keep each index true, whoever changes the folder: this process or
// any other. Without notifications a folder is read at each lookup, as if nothing were kept.
// `*exists`, when asked for, tells whether the result names an existing entry, as far as
// the lookup saw (an index, or one lstat of the exact name).
std::string ConvertPath(std::string_view path, bool* exists = nullptr);

// The same for a C string; null converts to the empty path, which names nothing.
std::string ConvertPath(const char* path, bool* exists = nullptr);

// The path as written, converted without any lookup: what ConvertPath gives when every
// component exists under its exact name.
std::string SpellPath(std::string_view path);

// Drops every folder index and resolved folder. Called around external programs, whose
// changes to the installation may be too many to follow.
void ForgetFolderIndexes();

// For tests and fuzzers that run whatever a package says in a scratch folder: while a root
// is set, a path that leads out of it (by `..`, or from anywhere else) converts to the empty
// path, which names nothing, so that every operation on it fails. Empty lifts the limit.
void ConfinePathsForTesting(const std::string& root);

}  // namespace platform::posix
