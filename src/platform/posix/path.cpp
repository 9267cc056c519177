// Path conversion with the case-insensitive lookup of components a Windows file system does.
//
// A name missing under its exact form makes the lookup search its folder. Reading the folder
// each time made a run quadratic in the number of files of a folder, so a folder searched once
// keeps an index of its names by their folded form, and each resolved folder path is kept as
// well. What is kept is only trusted while it can be proved current:
// - every indexed folder is watched through inotify (the watch is placed before the folder is
//   read), and a lookup first applies the changes reported since they were last read, made by
//   this process or any other; a lost notification (queue overflow) or a watched folder that
//   moves or goes drops everything;
// - a resolved folder path is checked with one stat before use: it must still be a folder and,
//   when indexed, the very folder its index was read from;
// - a path resolved through a case-insensitive match is dropped as soon as a name appears in
//   the folder where that match was made, since an exact or smaller match may have come.
// The notifications are read before every lookup: one read that finds nothing is the price of
// seeing at once a name that anyone made or deleted (the kernel queues the notification before
// the call that made the change returns). The stat of a kept folder path costs as much again
// for every folder of the path, so what it finds is trusted for a millisecond (kTrustedFor): a
// kept folder or one above it moved or replaced by another process is seen by the lookups that
// start a millisecond later, which no installer can tell from a move that races with it anyway.
// This process's own moves are seen by the very next lookup (NotePathsMayHaveMoved).
// Folder modification times are not used: a change within the same timestamp tick as the
// program's own last change to a folder would leave its time unchanged, and the program
// changes the folders it installs into all the time.
#include "platform/posix/path.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "text/codepage.h"

namespace platform::posix {
namespace {

// Bounds of what is kept: about 100 bytes a name (96 measured for 16,000 names of 14 bytes;
// longer names take two more allocations), so some 13 to 25 MiB at most. A folder with more
// names than all indexes may hold is read at each lookup instead, as if nothing were kept.
constexpr size_t kMaxIndexedNames = size_t{1} << 17;
constexpr size_t kMaxIndexedFolders = 4096;
constexpr size_t kMaxResolvedFolders = 4 * kMaxIndexedFolders;

constexpr uint32_t kNameAdded = IN_CREATE | IN_MOVED_TO;
constexpr uint32_t kNameRemoved = IN_DELETE | IN_MOVED_FROM;
constexpr uint32_t kFolderGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
constexpr uint32_t kWatchedChanges =
    kNameAdded | kNameRemoved | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The names of one folder by their folded form (ASCII and Cyrillic letters in lower case),
// each key with every name that folds to it.
struct FolderIndex {
    dev_t device = 0;
    ino_t inode = 0;
    std::unordered_multimap<std::string, std::string> names;
    bool matchedByFold = false;  // a kept folder path went through a case-insensitive match here
};

// A folder path as resolved, and the check round in which it was last checked.
struct KeptFolder {
    std::string path;
    uint64_t checkedIn = 0;
};

struct NameCache {
    std::mutex lock;
    int notifier = -1;
    std::unordered_map<int, FolderIndex> folders;      // by watch descriptor
    std::unordered_map<std::string, int> watches;      // system folder path -> its watch
    std::unordered_map<std::string, KeptFolder> kept;  // folder as written -> system path
    size_t nameCount = 0;
    uint64_t generation = 0;  // counts the times indexes were dropped
    // The bounds in force: the constants above, unless a test made them smaller.
    size_t maxNames = kMaxIndexedNames;
    size_t maxFolders = kMaxIndexedFolders;
    size_t maxResolved = kMaxResolvedFolders;
    bool notificationsLost = false;  // a test's stand-in for a queue overflow
    // Until when the last checks of kept folder paths are trusted, and the check round (a kept
    // path is checked once a round).
    std::chrono::steady_clock::time_point trustedUntil{};
    std::chrono::microseconds trustedFor = kTrustedFor;
    uint64_t round = 1;
    alignas(inotify_event) char events[16 * 1024];
};

NameCache& Cache() {
    static NameCache cache;
    return cache;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// The components of a program path and how it begins and ends.
struct Components {
    bool absolute = false;
    bool trailingSeparator = false;
    std::vector<std::string_view> names;
};

Components Split(std::string_view path) {
    Components parts;
    parts.absolute = !path.empty() && IsSeparator(path.front());
    parts.trailingSeparator = !path.empty() && IsSeparator(path.back());
    const auto separators = std::count_if(path.begin(), path.end(), IsSeparator);
    parts.names.reserve(static_cast<size_t>(separators) + 1);
    size_t pos = 0;
    while (pos < path.size()) {
        while (pos < path.size() && IsSeparator(path[pos])) {
            ++pos;
        }
        size_t end = pos;
        while (end < path.size() && !IsSeparator(path[end])) {
            ++end;
        }
        if (end > pos) {
            parts.names.push_back(path.substr(pos, end - pos));
        }
        pos = end;
    }
    return parts;
}

// Appends a separator to a folder path that is not empty and does not end in one, so that a
// name can follow.
void EndWithSeparator(std::string* folder) {
    if (!folder->empty() && folder->back() != '/') {
        folder->push_back('/');
    }
}

std::string Join(const std::string& folder, const std::string& name) {
    std::string path = folder;
    EndWithSeparator(&path);
    return path += name;
}

void AddName(FolderIndex& index, size_t* count, const std::string& name) {
    const std::string key = codepage::FoldUtf8(name);
    const auto [first, last] = index.names.equal_range(key);
    for (auto it = first; it != last; ++it) {
        if (it->second == name) {
            return;
        }
    }
    index.names.emplace(key, name);
    ++*count;
}

void RemoveName(FolderIndex& index, size_t* count, const std::string& name) {
    const auto [first, last] = index.names.equal_range(codepage::FoldUtf8(name));
    for (auto it = first; it != last; ++it) {
        if (it->second == name) {
            index.names.erase(it);
            --*count;
            return;
        }
    }
}

// The entry for `component`: its exact form when present, else the smallest name folding
// alike, so that the choice does not depend on the order the folder lists them.
bool FindInIndex(const FolderIndex& index, std::string_view component, std::string* name) {
    const auto [first, last] = index.names.equal_range(codepage::FoldUtf8(component));
    const std::string* best = nullptr;
    for (auto it = first; it != last; ++it) {
        if (it->second == component) {
            *name = std::string(component);
            return true;
        }
        if (best == nullptr || it->second < *best) {
            best = &it->second;
        }
    }
    if (best != nullptr) {
        *name = *best;
    }
    return best != nullptr;
}

void ForgetAll(NameCache& cache) {
    if (cache.notifier >= 0) {
        close(cache.notifier);  // its watches and unread notifications go with it
        cache.notifier = -1;
    }
    cache.folders.clear();
    cache.watches.clear();
    cache.kept.clear();
    cache.nameCount = 0;
    ++cache.generation;
}

// Puts a name that has appeared into its folder's index. Folder paths kept through a
// case-insensitive match there are dropped: the new name may be an exact or a smaller match.
void NameAppeared(NameCache& cache, FolderIndex& index, const std::string& name) {
    AddName(index, &cache.nameCount, name);
    if (index.matchedByFold) {
        cache.kept.clear();
        index.matchedByFold = false;
    }
}

// Applies one notification; false when everything had to be forgotten.
bool ApplyChange(NameCache& cache, const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
        ForgetAll(cache);
        return false;
    }
    const auto found = cache.folders.find(event.wd);
    if (found == cache.folders.end()) {
        return true;  // a watch already given up
    }
    if (event.mask & kFolderGone) {
        // Paths below a moved folder now name other folders: start afresh.
        ForgetAll(cache);
        return false;
    }
    FolderIndex& index = found->second;
    const std::string name(event.name, strnlen(event.name, event.len));
    if (event.mask & kNameAdded) {
        NameAppeared(cache, index, name);
    } else if (event.mask & kNameRemoved) {
        RemoveName(index, &cache.nameCount, name);
    }
    return true;
}

// Applies every change reported so far, so that the indexes are true at this moment.
void ApplyReportedChanges(NameCache& cache) {
    if (cache.notificationsLost) {
        cache.notificationsLost = false;
        inotify_event overflow{};
        overflow.wd = -1;
        overflow.mask = IN_Q_OVERFLOW;
        ApplyChange(cache, overflow);
    }
    while (cache.notifier >= 0) {
        const ssize_t length = read(cache.notifier, cache.events, sizeof cache.events);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            return;  // EAGAIN: nothing more to apply
        }
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(cache.events + at);
            if (!ApplyChange(cache, *event)) {
                return;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        // A read that left room for one more notification took all there were.
        if (sizeof cache.events - static_cast<size_t>(length) >=
            sizeof(inotify_event) + NAME_MAX + 1) {
            return;
        }
    }
}

// Makes what is kept true as of now, as far as trust requires: every notification reported
// so far is applied, and a new round of checks of kept folder paths begins when the trust in
// the last one has run out.
void Refresh(NameCache& cache) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= cache.trustedUntil) {
        cache.trustedUntil = now + cache.trustedFor;
        ++cache.round;
    }
    ApplyReportedChanges(cache);
}

bool SameFolder(const struct stat& info, const FolderIndex& index) {
    return info.st_dev == index.device && info.st_ino == index.inode;
}

// The index kept of the folder at that system path; null when there is none.
FolderIndex* IndexAt(NameCache& cache, const std::string& folder) {
    const auto watch = cache.watches.find(folder);
    if (watch == cache.watches.end()) {
        return nullptr;
    }
    const auto indexed = cache.folders.find(watch->second);
    return indexed == cache.folders.end() ? nullptr : &indexed->second;
}

// Whether `folder` is still a folder, and the very one its index (`*index`, when it has one)
// was read from.
bool CheckFolder(NameCache& cache, const std::string& folder, FolderIndex** index) {
    *index = nullptr;
    struct stat info;
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return false;
    }
    if (cache.watches.count(folder) == 0) {
        return true;
    }
    FolderIndex* indexed = IndexAt(cache, folder);
    if (indexed == nullptr || !SameFolder(info, *indexed)) {
        ForgetAll(cache);  // another folder now has this path
        return false;
    }
    *index = indexed;
    return true;
}

// Reads a folder's names into `index`, with the identity of the folder read.
bool ReadFolder(const std::string& folder, FolderIndex* index) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    struct stat info;
    if (fstat(dirfd(dir), &info) == 0) {
        index->device = info.st_dev;
        index->inode = info.st_ino;
    }
    size_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            AddName(*index, &count, std::string(name));
        }
    }
    closedir(dir);
    return true;
}

// A watch on `folder`, placed before it is read so that no change after the read is missed;
// -1 when there can be none. `*identity` is what the path named when it was placed.
int WatchFolder(NameCache& cache, const std::string& folder, struct stat* identity) {
    if (folder.empty() || folder.front() != '/') {
        return -1;  // relative to a current folder that may change
    }
    if (cache.folders.size() >= cache.maxFolders) {
        ForgetAll(cache);
    }
    if (cache.notifier < 0) {
        cache.notifier = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (cache.notifier < 0) {
            return -1;
        }
    }
    if (stat(folder.c_str(), identity) != 0) {
        return -1;
    }
    return inotify_add_watch(cache.notifier, folder.c_str(), kWatchedChanges);
}

// Drops every index but leaves the notifier and its other watches: later notifications of
// the dropped watches name watches no longer known and are passed over.
void DropIndexes(NameCache& cache) {
    for (const auto& entry : cache.folders) {
        inotify_rm_watch(cache.notifier, entry.first);
    }
    cache.folders.clear();
    cache.watches.clear();
    cache.kept.clear();
    cache.nameCount = 0;
    ++cache.generation;
}

// Keeps a freshly read index under its watch when it is the folder watched and fits the
// bounds, and returns it; null when it is not kept (the watch is then given up).
FolderIndex* KeepIndex(NameCache& cache, const std::string& folder, int watch,
                       const struct stat& identity, FolderIndex& index) {
    if (watch < 0) {
        return nullptr;
    }
    const auto existing = cache.folders.find(watch);
    if (existing != cache.folders.end()) {
        // Another path of a folder already watched (a link): one index serves both.
        if (!SameFolder(identity, existing->second)) {
            return nullptr;
        }
        cache.watches[folder] = watch;
        return &existing->second;
    }
    if (!SameFolder(identity, index) || index.names.size() > cache.maxNames) {
        inotify_rm_watch(cache.notifier, watch);
        return nullptr;
    }
    if (cache.nameCount + index.names.size() > cache.maxNames) {
        DropIndexes(cache);
    }
    cache.nameCount += index.names.size();
    cache.watches[folder] = watch;
    return &cache.folders.emplace(watch, std::move(index)).first->second;
}

// Finds `component` in `folder`: through its index; else under its exact name, without
// reading the folder; else by reading the folder, which is then indexed when it can be.
// For a folder component (`fragile` given), a case-insensitive match is remembered: in its
// index, so that a name appearing there drops the kept folder paths, or in `*fragile` when
// the read was not kept.
bool FindName(NameCache& cache, const std::string& folder, std::string_view component,
              std::string* name, bool* fragile) {
    if (component == "." || component == "..") {
        *name = std::string(component);  // in every folder, and in no index
        return true;
    }
    const std::string exact(component);
    FolderIndex fresh;
    FolderIndex* index = nullptr;
    if (cache.watches.count(folder) == 0 || !CheckFolder(cache, folder, &index) ||
        index == nullptr) {
        struct stat info;
        if (lstat(Join(folder, exact).c_str(), &info) == 0) {
            *name = exact;
            return true;
        }
        struct stat identity;
        const int watch = WatchFolder(cache, folder, &identity);
        if (!ReadFolder(folder, &fresh)) {
            if (watch >= 0) {
                inotify_rm_watch(cache.notifier, watch);
            }
            return false;
        }
        index = KeepIndex(cache, folder, watch, identity, fresh);
    }
    const bool kept = index != nullptr;
    if (!FindInIndex(kept ? *index : fresh, component, name)) {
        return false;
    }
    if (fragile != nullptr && *name != exact) {
        if (kept) {
            index->matchedByFold = true;
        } else {
            *fragile = true;
        }
    }
    return true;
}

// The path of the first `count` components as written.
std::string SpellNames(const Components& parts, size_t count) {
    std::string path = parts.absolute ? "/" : "";
    for (size_t i = 0; i < count; ++i) {
        EndWithSeparator(&path);
        path += parts.names[i];
    }
    return path;
}

// The folder as written: every component but the last.
std::string SpellFolder(const Components& parts) {
    return SpellNames(parts, parts.names.empty() ? 0 : parts.names.size() - 1);
}

// The folder of the last component, resolved as it stands now.
struct ResolvedFolder {
    std::string path;
    bool found = false;    // every component was found
    bool checked = false;  // `index` is the folder's index, checked in this round
    FolderIndex* index = nullptr;
};

// The kept folder path `written` resolves to, checked once a round; false when none is kept
// or it no longer holds (it is then dropped).
bool FindKeptFolder(NameCache& cache, const std::string& written, ResolvedFolder* folder) {
    const auto kept = cache.kept.find(written);
    if (kept == cache.kept.end()) {
        return false;
    }
    KeptFolder& found = kept->second;
    if (found.checkedIn == cache.round) {
        folder->index = IndexAt(cache, found.path);
    } else if (CheckFolder(cache, found.path, &folder->index)) {
        found.checkedIn = cache.round;
    } else {
        cache.kept.erase(written);  // by name: a failed check may have dropped everything
        return false;
    }
    folder->path = found.path;
    folder->found = true;
    folder->checked = true;
    return true;
}

ResolvedFolder ResolveFolder(NameCache& cache, const Components& parts) {
    ResolvedFolder folder;
    const std::string written = SpellFolder(parts);
    if (parts.absolute && FindKeptFolder(cache, written, &folder)) {
        return folder;
    }
    const uint64_t generation = cache.generation;
    folder.path = parts.absolute ? "/" : "";
    folder.found = true;
    bool fragile = false;
    for (size_t i = 0; i + 1 < parts.names.size(); ++i) {
        std::string name;
        if (folder.found && !FindName(cache, folder.path, parts.names[i], &name, &fragile)) {
            folder.found = false;
        }
        folder.path = Join(folder.path, folder.found ? name : std::string(parts.names[i]));
    }
    // Kept only when every case-insensitive match was made in a folder that stays indexed.
    if (parts.absolute && folder.found && !fragile && generation == cache.generation) {
        if (cache.kept.size() >= cache.maxResolved) {
            cache.kept.clear();
        }
        cache.kept[written] = KeptFolder{folder.path, cache.round};
    }
    return folder;
}

std::string& Confinement() {
    static std::string root;
    return root;
}

// The path itself, or the empty path when it leads out of the confinement root once `..` and
// `.` are resolved (a scratch folder holds no links that could lead out).
std::string Confined(std::string path) {
    const std::string& root = Confinement();
    if (root.empty()) {
        return path;
    }
    std::filesystem::path full(path);
    if (full.is_relative()) {
        char folder[4096];
        if (getcwd(folder, sizeof folder) == nullptr) {
            return {};
        }
        full = std::filesystem::path(folder) / full;
    }
    const std::string normal = full.lexically_normal().string();
    const bool within = normal.compare(0, root.size(), root) == 0 &&
                        (normal.size() == root.size() || normal[root.size()] == '/');
    return within ? path : std::string();
}

// The cache, locked and made true as of now for a lookup.
class Lookup {
  public:
    Lookup() : hold_(cache_.lock) {
        Refresh(cache_);
        if (cache_.nameCount > cache_.maxNames) {
            ForgetAll(cache_);
        }
    }
    NameCache& cache() { return cache_; }

  private:
    NameCache& cache_ = Cache();
    std::lock_guard<std::mutex> hold_;
};

// The system path of the last component in its resolved folder: the name found there, or the
// component as written.
std::string JoinLast(const Components& parts, const ResolvedFolder& folder, bool found,
                     const std::string& name) {
    std::string out = folder.path;
    EndWithSeparator(&out);
    out += found ? std::string_view(name) : parts.names.back();
    if (parts.trailingSeparator) {
        out.push_back('/');
    }
    return Confined(std::move(out));
}

bool IsDotName(std::string_view name) {
    return name == "." || name == "..";
}

}  // namespace

void ConfinePathsForTesting(const std::string& root) {
    Confinement() = root;
}

std::string ConvertPath(std::string_view path, bool* exists) {
    Lookup lookup;
    const Components parts = Split(path);
    bool found = false;
    std::string out = parts.absolute ? "/" : "";
    if (!parts.names.empty()) {
        const ResolvedFolder folder = ResolveFolder(lookup.cache(), parts);
        const std::string_view last = parts.names.back();
        std::string name;
        if (folder.checked && folder.index != nullptr && !IsDotName(last)) {
            found = FindInIndex(*folder.index, last, &name);
        } else if (folder.found) {
            found = FindName(lookup.cache(), folder.path, last, &name, nullptr);
        }
        out = JoinLast(parts, folder, found, name);
    } else {
        out = Confined(std::move(out));
    }
    if (exists != nullptr) {
        *exists = found && !out.empty();
    }
    return out;
}

bool LookUpInIndex(std::string_view path, std::string* found, bool* exists) {
    Lookup lookup;
    const Components parts = Split(path);
    ResolvedFolder folder;
    if (!parts.absolute || parts.names.empty() || IsDotName(parts.names.back()) ||
        !FindKeptFolder(lookup.cache(), SpellFolder(parts), &folder) || folder.index == nullptr) {
        return false;
    }
    std::string name;
    const bool there = FindInIndex(*folder.index, parts.names.back(), &name);
    *found = JoinLast(parts, folder, there, name);
    *exists = there && !found->empty();
    return true;
}

void NotePathsMayHaveMoved() {
    NameCache& cache = Cache();
    std::lock_guard<std::mutex> hold(cache.lock);
    ++cache.round;
}

std::string ConvertPath(const char* path, bool* exists) {
    return ConvertPath(std::string_view(path == nullptr ? "" : path), exists);
}

std::string SpellPath(std::string_view path) {
    const Components parts = Split(path);
    std::string out = SpellNames(parts, parts.names.size());
    if (parts.trailingSeparator && !parts.names.empty()) {
        out.push_back('/');
    }
    return Confined(std::move(out));
}

void TrustChecksForTesting(std::chrono::microseconds period) {
    NameCache& cache = Cache();
    std::lock_guard<std::mutex> hold(cache.lock);
    cache.trustedFor = period;
    cache.trustedUntil = {};
}

void LimitFolderIndexesForTesting(size_t names, size_t folders, size_t resolved) {
    NameCache& cache = Cache();
    std::lock_guard<std::mutex> hold(cache.lock);
    cache.maxNames = names != 0 ? names : kMaxIndexedNames;
    cache.maxFolders = folders != 0 ? folders : kMaxIndexedFolders;
    cache.maxResolved = resolved != 0 ? resolved : kMaxResolvedFolders;
}

void LoseNotificationsForTesting() {
    NameCache& cache = Cache();
    std::lock_guard<std::mutex> hold(cache.lock);
    cache.notificationsLost = true;
}

FolderIndexCounts CountFolderIndexesForTesting() {
    NameCache& cache = Cache();
    std::lock_guard<std::mutex> hold(cache.lock);
    return FolderIndexCounts{cache.folders.size(), cache.nameCount, cache.kept.size(),
                             cache.generation};
}

void ForgetFolderIndexes() {
    NameCache& cache = Cache();
    std::lock_guard<std::mutex> hold(cache.lock);
    ForgetAll(cache);
}

}  // namespace platform::posix
