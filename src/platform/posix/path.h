// Program paths to system paths: the program names files in UTF-8 with backslashes and
// expects a Windows file system's case-insensitive names.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
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
// notifications (inotify) keep each index true, whoever changes the folder: the next lookup sees
// the change. Without notifications a folder is read at each lookup, as if nothing were kept.
// `*exists`, when asked for, tells whether the result names an existing entry, as far as
// the lookup saw (an index, or one lstat of the exact name).
std::string ConvertPath(std::string_view path, bool* exists = nullptr);

// The same for a C string; null converts to the empty path, which names nothing.
std::string ConvertPath(const char* path, bool* exists = nullptr);

// How long after another process moved or replaced a kept folder (or one above it) the lookups
// may still miss it: the stat that checks a kept folder path is trusted that long, since
// checking each folder of each path costs more than a small file's own writing.
constexpr std::chrono::microseconds kTrustedFor{1000};

// ConvertPath for an absolute path whose folder is indexed: its system path in `*found`, and in
// `*exists` whether it names an entry, told by the index (after one read of the notifications,
// with no call on the name itself). False, with nothing looked up, when the folder has no index.
bool LookUpInIndex(std::string_view path, std::string* found, bool* exists);

// Tells the lookups that this process has just moved a name or removed a folder, so that kept
// folder paths are checked again (one may have led through it). Names made and deleted need no
// telling: the next lookup reads their notifications.
void NotePathsMayHaveMoved();

// The path as written, converted without any lookup: what ConvertPath gives when every
// component exists under its exact name.
std::string SpellPath(std::string_view path);

// Drops every folder index and resolved folder. Called around external programs, whose
// changes to the installation may be too many to follow.
void ForgetFolderIndexes();

// For tests: from now on what the checks find is trusted for `period` instead of kTrustedFor,
// and what they found so far is not trusted any more.
void TrustChecksForTesting(std::chrono::microseconds period);

// For tests: the indexes hold at most `names` names in all and `folders` folders, and at most
// `resolved` resolved folder paths are kept, so that small folders cross the bounds; 0 restores
// the backend's own bound.
void LimitFolderIndexesForTesting(size_t names, size_t folders, size_t resolved);

// For tests: the next lookup finds that notifications were lost, as when the kernel's queue of
// them overflows.
void LoseNotificationsForTesting();

// For tests: what is kept now, and how many times everything was dropped so far.
struct FolderIndexCounts {
    size_t folders = 0;
    size_t names = 0;
    size_t resolved = 0;
    uint64_t dropped = 0;
};
FolderIndexCounts CountFolderIndexesForTesting();

// For tests and fuzzers that run whatever a package says in a scratch folder: while a root
// is set, a path that leads out of it (by `..`, or from anywhere else) converts to the empty
// path, which names nothing, so that every operation on it fails. Empty lifts the limit.
void ConfinePathsForTesting(const std::string& root);

}  // namespace platform::posix
