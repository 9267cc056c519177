// What the installer does with the manifest this writes, and why each refusal exists:
// - Folders are created first, then payload files are replaced, then removals run. So a name
//   that is a file in one tree and a folder in the other cannot be changed over, and a folder
//   whose name changes only in case keeps its old name: both are refused.
// - The installer finds existing files whatever the case of their names. A file renamed only
//   in case is carried under its new name (the old file goes to its backup and the new one is
//   created with the new name), never removed: the removal would find the new file.
// - A replaced file F is first moved to "F.bak", and that name is deleted afterwards; so a
//   file "F.bak" that NEW keeps is carried again after F.
// - Paths hold at most kPathCharacters, a replaced file's with room for its backup's suffix.
// - A delta rebuilds a file from its backup. When OLD holds a file named like that backup, the
//   installer keeps it and deletes the file itself: the delta would meet the wrong file, so
//   that file is carried whole.
#include "tree_diff.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "delta_entries.h"
#include "host_path.h"
#include "manifest.h"
#include "sections.h"
#include "text/codepage.h"

namespace pkgbuild {
namespace {

namespace fs = std::filesystem;

constexpr size_t kShortestInstallFolder = 3;  // "C:\"
constexpr size_t kCompareChunk = 1 << 16;

struct Item {
    std::string name;      // Windows-1251, backslashes, relative to the tree
    std::string key;       // `name` folded as Windows compares names
    std::string relative;  // UTF-8, slashes: the name on this machine
    bool folder = false;
    uint64_t size = 0;
};

struct Tree {
    std::string label;  // "OLD" or "NEW", for messages
    fs::path root;
    std::vector<Item> items;  // sorted by key
};

std::string Quoted(std::string_view utf8) {
    return "'" + std::string(utf8) + "'";
}

bool IsDeviceName(std::string_view component) {
    const std::string base = FoldFileName(component.substr(0, component.find('.')));
    static const char* const kDevices[] = {"con", "prn", "aux", "nul"};
    for (const char* device : kDevices) {
        if (base == device) {
            return true;
        }
    }
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
           base[3] >= '1' && base[3] <= '9';
}

// Why Windows cannot hold a file or folder of this name (Windows-1251), or "".
std::string WindowsNameProblem(std::string_view component) {
    for (const char c : component) {
        if (static_cast<unsigned char>(c) < 0x20) {
            return "holds a control character, which Windows forbids in names";
        }
        if (std::strchr("<>:\"|?*\\", c) != nullptr) {
            return std::string("holds '") + c + "', which Windows forbids in names";
        }
    }
    if (component.ends_with(' ') || component.ends_with('.')) {
        return "ends with a blank or a dot, which Windows drops from names";
    }
    if (IsDeviceName(component)) {
        return "is a device name on Windows";
    }
    return "";
}

// The Windows-1251 name of a relative path, or false with the reason.
bool WindowsName(const std::string& relative, std::string* name, std::string* problem) {
    if (!Utf8ToWindows1251(relative, name, problem)) {
        *problem = "cannot be written in Windows-1251: " + *problem;
        return false;
    }
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(name->find('/', start), name->size());
        *problem = WindowsNameProblem(std::string_view(*name).substr(start, end - start));
        if (!problem->empty()) {
            return false;
        }
        if (end == name->size()) {
            break;
        }
        (*name)[end] = '\\';
        start = end + 1;
    }
    return true;
}

bool ScanTree(Tree* tree, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(tree->root, ec)) {
        *error = tree->label + " " + Quoted(Utf8OfPath(tree->root)) + " is not a folder";
        return false;
    }
    fs::recursive_directory_iterator it(tree->root, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        Item item;
        item.relative = Utf8OfPath(it->path().lexically_relative(tree->root));
        const std::string where = tree->label + ": " + Quoted(item.relative);
        std::error_code statusError;
        const fs::file_status status = it->symlink_status(statusError);
        if (fs::is_symlink(status)) {
            *error = where + " is a symbolic link; a patch carries only files and folders";
            return false;
        }
        item.folder = fs::is_directory(status);
        if (statusError || (!item.folder && !fs::is_regular_file(status))) {
            *error = where + " is neither a file nor a folder";
            return false;
        }
        std::string problem;
        if (!WindowsName(item.relative, &item.name, &problem)) {
            *error = where + " " + problem;
            return false;
        }
        item.key = FoldFileName(item.name);
        item.size = item.folder ? 0 : it->file_size(statusError);
        if (statusError) {
            *error = where + ": " + statusError.message();
            return false;
        }
        tree->items.push_back(std::move(item));
    }
    if (ec) {
        *error = "cannot list " + tree->label + " " + Quoted(Utf8OfPath(tree->root)) + ": " +
                 ec.message();
        return false;
    }
    std::sort(tree->items.begin(), tree->items.end(),
              [](const Item& a, const Item& b) { return a.key < b.key; });
    for (size_t i = 1; i < tree->items.size(); ++i) {
        if (tree->items[i - 1].key == tree->items[i].key) {
            *error = tree->label + " holds both " + Quoted(tree->items[i - 1].relative) + " and " +
                     Quoted(tree->items[i].relative) + ", which Windows takes for one name";
            return false;
        }
    }
    return true;
}

using FileHandle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FileHandle OpenForReading(const fs::path& path) {
    return FileHandle(OpenHostFile(path, "rb"), &std::fclose);
}

// Compares two files of the same size byte by byte.
bool SameContent(const fs::path& a, const fs::path& b, bool* same, std::string* error) {
    const FileHandle first = OpenForReading(a);
    const FileHandle second = OpenForReading(b);
    if (!first || !second) {
        *error = "cannot read " + Quoted(Utf8OfPath(first ? b : a));
        return false;
    }
    std::vector<char> chunkA(kCompareChunk);
    std::vector<char> chunkB(kCompareChunk);
    for (;;) {
        const size_t readA = std::fread(chunkA.data(), 1, chunkA.size(), first.get());
        const size_t readB = std::fread(chunkB.data(), 1, chunkB.size(), second.get());
        if (std::ferror(first.get()) || std::ferror(second.get())) {
            *error = "cannot read " + Quoted(Utf8OfPath(a)) + " or " + Quoted(Utf8OfPath(b));
            return false;
        }
        if (readA != readB || std::memcmp(chunkA.data(), chunkB.data(), readA) != 0) {
            *same = false;
            return true;
        }
        if (readA == 0) {
            *same = true;
            return true;
        }
    }
}

// What the patch must do, each list in the order the manifest gives it.
struct Plan {
    std::vector<const Item*> newFolders;    // parents first
    std::vector<const Item*> carriedFiles;  // in key order: a file before its ".bak"
    std::vector<const Item*> removedFiles;
    std::vector<const Item*> removedFolders;        // deepest first
    std::map<const Item*, const Item*> oldVersion;  // a carried file's in OLD, when it has one
    std::set<const Item*> deltas;                   // carried files that go as deltas
    size_t renamed = 0;
    size_t changed = 0;
    size_t keptBackupNames = 0;
};

bool IsCarried(const Plan& plan, std::string_view key) {
    return std::any_of(plan.carriedFiles.rbegin(), plan.carriedFiles.rend(),
                       [&](const Item* item) { return item->key == key; });
}

// Decides what a name present in both trees needs; false when the patch cannot do it.
bool CompareItems(const Tree& oldTree, const Tree& newTree, const Item& before, const Item& after,
                  Plan* plan, std::string* error) {
    if (before.folder != after.folder) {
        *error = Quoted(after.relative) + " is a " + (before.folder ? "folder" : "file") +
                 " in OLD and a " + (after.folder ? "folder" : "file") +
                 " in NEW; a patch creates folders before it replaces files and removes last, "
                 "so it cannot change one into the other";
        return false;
    }
    if (after.folder) {
        if (before.name != after.name) {
            *error = "folder " + Quoted(before.relative) + " is named " + Quoted(after.relative) +
                     " in NEW; a patch cannot change the case of a folder's name";
            return false;
        }
        return true;
    }
    bool same = before.name == after.name && before.size == after.size;
    if (same && !SameContent(oldTree.root / PathOfUtf8(before.relative),
                             newTree.root / PathOfUtf8(after.relative), &same, error)) {
        return false;
    }
    if (!same) {
        plan->renamed += before.name != after.name;
        plan->changed += before.name == after.name;
        plan->carriedFiles.push_back(&after);
        plan->oldVersion[&after] = &before;
    }
    return true;
}

// A file that stays but whose name is the backup name of a replaced file must be carried
// again after it, or the replacement would delete it.
void KeepBackupNamedFile(const Item& item, Plan* plan) {
    constexpr std::string_view kBak = ".bak";
    if (item.folder || !item.key.ends_with(kBak) ||
        (!plan->carriedFiles.empty() && plan->carriedFiles.back() == &item)) {
        return;
    }
    if (IsCarried(*plan, std::string_view(item.key).substr(0, item.key.size() - kBak.size()))) {
        plan->carriedFiles.push_back(&item);
        ++plan->keptBackupNames;
    }
}

bool MakePlan(const Tree& oldTree, const Tree& newTree, Plan* plan, std::string* error) {
    const std::vector<Item>& before = oldTree.items;
    const std::vector<Item>& after = newTree.items;
    size_t i = 0;
    size_t j = 0;
    while (i < before.size() || j < after.size()) {
        if (j == after.size() || (i < before.size() && before[i].key < after[j].key)) {
            (before[i].folder ? plan->removedFolders : plan->removedFiles).push_back(&before[i]);
            ++i;
            continue;
        }
        if (i == before.size() || after[j].key < before[i].key) {
            if (after[j].folder) {
                plan->newFolders.push_back(&after[j]);
            } else {
                plan->carriedFiles.push_back(&after[j]);
            }
        } else {
            if (!CompareItems(oldTree, newTree, before[i], after[j], plan, error)) {
                return false;
            }
            KeepBackupNamedFile(after[j], plan);
            ++i;
        }
        ++j;
    }
    std::reverse(plan->removedFolders.begin(), plan->removedFolders.end());
    return true;
}

// Refuses a path the installer's buffers cannot hold beside any installation folder.
bool CheckLength(const Item& item, size_t extra, std::string* error) {
    if (item.name.size() + extra + kShortestInstallFolder <= kPathCharacters) {
        return true;
    }
    *error = Quoted(item.relative) + " is " + std::to_string(item.name.size()) +
             " bytes long; beside even the shortest installation folder (C:\\) the installer's " +
             std::to_string(kPathCharacters) + "-byte path buffers cannot hold it";
    return false;
}

bool CheckLengths(const Plan& plan, std::string* error) {
    for (const auto* list : {&plan.newFolders, &plan.removedFiles, &plan.removedFolders}) {
        for (const Item* item : *list) {
            if (!CheckLength(*item, 0, error)) {
                return false;
            }
        }
    }
    for (const Item* item : plan.carriedFiles) {
        if (!CheckLength(*item, kBackupSuffixLength, error)) {
            return false;
        }
    }
    return true;
}

// Is the external programs' error marker at the top of the tree? The installer takes it
// for a program's failure and deletes it.
bool HoldsErrorMarker(const Tree& tree) {
    return std::any_of(tree.items.begin(), tree.items.end(),
                       [](const Item& item) { return item.key == kErrorMarkerName; });
}

bool HoldsKey(const Tree& tree, const std::string& key) {
    const auto at = std::lower_bound(
        tree.items.begin(), tree.items.end(), key,
        [](const Item& item, const std::string& wanted) { return item.key < wanted; });
    return at != tree.items.end() && at->key == key;
}

// Decides which changed files go as deltas: those whose delta is smaller than the whole file
// compressed, and that the installer would rebuild from their own old version.
bool ChooseDeltas(const Tree& oldTree, const Tree& newTree, const DiffOptions& options, Plan* plan,
                  std::string* error) {
    for (const Item* item : plan->carriedFiles) {
        const auto old = plan->oldVersion.find(item);
        if (old == plan->oldVersion.end()) {
            continue;
        }
        if (HoldsKey(oldTree, item->key + ".bak")) {
            std::fprintf(options.report,
                         "%s: whole file: OLD holds a file named like its backup, which the "
                         "installer would take for the file it replaces\n",
                         item->relative.c_str());
            continue;
        }
        DeltaReport made;
        std::vector<uint8_t> delta;
        if (!DiffFiles(Utf8OfPath(oldTree.root / PathOfUtf8(old->second->relative)),
                       Utf8OfPath(newTree.root / PathOfUtf8(item->relative)), options.delta, &delta,
                       &made, error,
                       options.progress != nullptr ? PrintProgress(options.progress, item->relative)
                                                   : DeltaProgress{})) {
            return false;
        }
        std::fprintf(options.report, "%s: %s: %s\n", item->relative.c_str(),
                     made.smallerThanWhole ? "delta" : "whole file", DescribeDelta(made).c_str());
        if (made.smallerThanWhole) {
            plan->deltas.insert(item);
        }
    }
    return true;
}

std::string ManifestName(const Item& item) {
    return EscapeField(codepage::Cp1251ToUtf8(item.name));
}

// A host path as the manifest at `outputFolder` names it.
std::string HostPath(const fs::path& path, const fs::path& outputFolder) {
    return EscapeField(Utf8OfPath(path.lexically_proximate(outputFolder)));
}

std::string PlanText(const Plan& plan, const Tree& oldTree, const fs::path& newRoot,
                     const fs::path& outputFolder) {
    size_t longest = 0;
    for (const Item* item : plan.carriedFiles) {
        longest = std::max(longest, item->name.size() + kBackupSuffixLength);
    }
    const size_t added =
        plan.carriedFiles.size() - plan.changed - plan.renamed - plan.keptBackupNames;
    const auto count = [](size_t n) { return std::to_string(n); };
    std::string text = "\n# Made by pkgtool diff from OLD to NEW:\n#   new folders: " +
                       count(plan.newFolders.size()) + "\n#   files carried: " + count(added) +
                       " new, " + count(plan.changed) + " changed, " + count(plan.renamed) +
                       " renamed in case, " + count(plan.keptBackupNames) +
                       " unchanged but named like the backup of a replaced file\n" +
                       "#   removed files: " + count(plan.removedFiles.size()) +
                       ", removed folders: " + count(plan.removedFolders.size()) + "\n";
    if (!plan.deltas.empty()) {
        text += "#   of the changed files, " + count(plan.deltas.size()) +
                " go as deltas from their old versions\n";
    }
    if (longest != 0) {
        text += "# The longest replaced path with its \".bak\" is " + std::to_string(longest) +
                " bytes: installation folders of up to " +
                std::to_string(kPathCharacters - longest) + " bytes hold every file.\n";
    }
    for (const Item* item : plan.newFolders) {
        text += "folder " + ManifestName(*item) + "\n";
    }
    for (const Item* item : plan.carriedFiles) {
        const std::string source = HostPath(newRoot / PathOfUtf8(item->relative), outputFolder);
        if (plan.deltas.count(item) != 0) {
            const Item& old = *plan.oldVersion.at(item);
            text += "delta " + ManifestName(*item) + " = " + source + " | " +
                    HostPath(oldTree.root / PathOfUtf8(old.relative), outputFolder) + "\n";
        } else {
            text += "file " + ManifestName(*item) + " = " + source + "\n";
        }
    }
    for (const auto* list : {&plan.removedFiles, &plan.removedFolders}) {
        for (const Item* item : *list) {
            text += "remove " + ManifestName(*item) + "\n";
        }
    }
    return text;
}

size_t LineCount(std::string_view text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

bool DiffTrees(const std::string& oldRoot, const std::string& newRoot, const std::string& basePath,
               const std::string& outputPath, const DiffOptions& options, std::string* error) {
    std::error_code ec;
    Tree oldTree{"OLD", fs::weakly_canonical(fs::absolute(PathOfUtf8(oldRoot), ec), ec), {}};
    Tree newTree{"NEW", fs::weakly_canonical(fs::absolute(PathOfUtf8(newRoot), ec), ec), {}};
    // The folder of the output made absolute first: an output named without one ("patch.txt")
    // has an empty parent, which no path can be made relative to.
    const fs::path outputFolder =
        fs::weakly_canonical(fs::absolute(PathOfUtf8(outputPath), ec).parent_path(), ec);
    Bytes base;
    if (!ReadFile(basePath, &base)) {
        *error = "cannot read BASE " + Quoted(basePath);
        return false;
    }
    if (fs::equivalent(PathOfUtf8(basePath), PathOfUtf8(outputPath), ec)) {
        *error = "OUTPUT " + Quoted(outputPath) + " is BASE; writing it would lose BASE";
        return false;
    }
    Plan plan;
    if (!ScanTree(&oldTree, error) || !ScanTree(&newTree, error) ||
        !MakePlan(oldTree, newTree, &plan, error) || !CheckLengths(plan, error) ||
        (options.deltas && !ChooseDeltas(oldTree, newTree, options, &plan, error))) {
        return false;
    }

    std::string text =
        RebaseHostPaths(std::string(base.begin(), base.end()),
                        Utf8OfPath(PathOfUtf8(basePath).parent_path()), Utf8OfPath(outputFolder));
    if (!text.empty() && text.back() != '\n') {
        text += '\n';
    }
    const size_t baseLines = LineCount(text);
    text += PlanText(plan, oldTree, newTree.root, outputFolder);

    // The manifest must build: BASE's own mistakes and names the package cannot take (a
    // placeholder's name, a name given twice) are caught here, before anything is written.
    Package package;
    std::string problem;
    if (!ParseManifest(text, Utf8OfPath(outputFolder), &package, &problem)) {
        *error = "the patch's manifest would not build: " + problem + " (lines 1 to " +
                 std::to_string(baseLines) + " are BASE's)";
        return false;
    }
    const bool runsPrograms =
        std::any_of(package.entries.begin(), package.entries.end(), [](const Entry& entry) {
            return KindOfSection(entry.name) == SectionKind::CommandsToExecute;
        });
    for (const Tree* tree : {&oldTree, &newTree}) {
        if (runsPrograms && HoldsErrorMarker(*tree)) {
            *error = tree->label + " holds " + kErrorMarkerName +
                     ", which the installer takes for a failed external program";
            return false;
        }
    }
    if (!WriteFile(outputPath, ToBytes(text))) {
        *error = "cannot write " + Quoted(outputPath);
        return false;
    }
    return true;
}

}  // namespace pkgbuild
