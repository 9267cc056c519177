// How the manifest reproduces the package exactly: a manifest's package holds the sections its
// directives make first, in their fixed order, then `file` and `section` lines in the order
// written. So the leading run of control sections that are in that order, under their exact
// names, and whose bytes their directives give back, is written as directives; every other
// control section as a `section` line of hex bytes, where it stands. Payload files keep their
// stored names (placeholders included) and the name table its pairs, so nothing is renamed;
// stored files stay stored, and a delta entry's bytes are kept as they are in a file of their
// own (`delta-data`), so that a package pkgtool built comes back byte for byte.
#include "extract.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <string_view>
#include <system_error>
#include <vector>

#include "host_path.h"
#include "manifest.h"
#include "package/reader.h"
#include "sections.h"
#include "text/codepage.h"

namespace pkgbuild {
namespace {

namespace fs = std::filesystem;

// A delta entry's bytes are written beside where its file would be installed, under this
// suffix.
constexpr char kDeltaSuffix[] = ".delta";

struct ExtractedEntry {
    std::string name;  // Windows-1251, as stored
    bool section = false;
    EntryStorage storage = EntryStorage::Compressed;
    Bytes content;         // control sections only; payload is loaded when written
    std::string key;       // payload: the installed path folded, components joined by '\'
    std::string relative;  // payload: the installed path on this machine (UTF-8, slashes)
};

std::string Display(std::string_view windows1251) {
    return "'" + Windows1251ToUtf8(windows1251) + "'";
}

std::string EntryLabel(size_t index, std::string_view name) {
    return "entry " + std::to_string(index) + " " + Display(name);
}

std::string Field(std::string_view windows1251) {
    return EscapeField(codepage::Cp1251ToUtf8(windows1251));
}

std::string_view AsText(const Bytes& bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Opens a separate package, or else the package of a self-contained patch.
bool Open(::Package& package, const std::string& path) {
    if (OpenPackage(package, path.c_str(), false) >= 0) {
        return true;
    }
    ClosePackage(package);
    package = ::Package();
    return OpenPackage(package, path.c_str(), true) >= 0;
}

// An entry's content in a buffer of exactly its size, left uninitialised: a damaged entry
// may claim up to 4 GiB, and the reader refuses it before touching that much.
struct Content {
    std::unique_ptr<uint8_t[]> data;
    uint32_t size = 0;
};

bool Load(const ::Package& package, const DirectoryEntry& entry, Content* content) {
    content->size = entry.size;
    content->data.reset(new (std::nothrow) uint8_t[entry.size]);
    return content->data != nullptr && LoadEntry(package, entry, content->data.get());
}

// A registry record's root as a manifest writes it.
std::string RootField(uint32_t root) {
    switch (root) {
        case kRegistryRootLocalMachine:
            return "HKLM";
        case kRegistryRootCurrentUser:
            return "HKCU";
        default:
            return std::to_string(root);
    }
}

// The directives that give a section of this kind, or "" when its bytes do not decode whole.
std::string DirectivesFor(SectionKind kind, std::string_view bytes) {
    std::string lines;
    std::vector<std::string> strings;
    const auto list = [&](const char* directive) {
        if (!DecodeStringList(bytes, &strings).problem.empty()) {
            return;
        }
        for (const std::string& text : strings) {
            lines += std::string(directive) + " " + Field(text) + "\n";
        }
    };
    switch (kind) {
        case SectionKind::RegistryKeys: {
            RegistryKeys keys;
            if (DecodeRegistryKeys(bytes, &keys).problem.empty()) {
                lines = "registry-keys " + Field(keys.subKey) + " | " + Field(keys.folderValue) +
                        " | " + Field(keys.programValue) + " | " + Field(keys.levelValue) + " | " +
                        std::to_string(keys.level) + "\n";
            }
            break;
        }
        case SectionKind::StartupMsg: {
            std::string caption, text;
            if (DecodeStartupMsg(bytes, &caption, &text).problem.empty()) {
                lines = "startup-msg " + Field(caption) + " | " + Field(text) + "\n";
            }
            break;
        }
        case SectionKind::XlatNamesTable:
            if (DecodeStringList(bytes, &strings).problem.empty()) {
                for (size_t i = 0; i + 1 < strings.size(); i += 2) {
                    lines += "xlat " + Field(strings[i]) + " | " + Field(strings[i + 1]) + "\n";
                }
            }
            break;
        case SectionKind::Folders:
            list("folder");
            break;
        case SectionKind::FilesToRemove:
            list("remove");
            break;
        case SectionKind::CommandsToExecute: {
            std::vector<Command> commands;
            if (DecodeCommands(bytes, &commands).problem.empty()) {
                for (const Command& command : commands) {
                    char flags[8];
                    std::snprintf(flags, sizeof flags, "0x%02X", command.flags);
                    lines += std::string("command ") + flags + " | " + Field(command.program) +
                             " | " + Field(command.arguments) + "\n";
                }
            }
            break;
        }
        case SectionKind::RegistryTable: {
            std::vector<RegistryRecord> records;
            if (DecodeRegistryTable(bytes, &records).problem.empty()) {
                for (const RegistryRecord& r : records) {
                    lines += "registry " + std::to_string(r.operation) + " | " + RootField(r.root) +
                             " | " + Field(r.subKey) + " | " + std::to_string(r.valueType) + " | " +
                             Field(r.valueName) + " | " + Field(r.data) + "\n";
                }
            }
            break;
        }
        case SectionKind::Unknown:
            break;
    }
    return lines;
}

// Do these directives alone make exactly this section?
bool GivesExactly(const std::string& lines, const ExtractedEntry& section) {
    Package built;
    std::string error;
    return !lines.empty() && ParseManifest(lines, "", &built, &error) &&
           built.entries.size() == 1 && built.entries[0].name == section.name &&
           built.entries[0].content == section.content;
}

std::string HexLine(const ExtractedEntry& section) {
    std::string line = "section " + Field(section.name) + " |";
    char byte[4];
    for (const uint8_t value : section.content) {
        std::snprintf(byte, sizeof byte, " %02X", value);
        line += byte;
    }
    return line + "\n";
}

// Where a payload entry lands inside the folder: its real path split at '\' and '/', empty
// components dropped as Windows drops them. False when it would leave the folder or name
// nothing.
bool PlacePayload(std::string_view realPath, ExtractedEntry* entry, std::string* problem) {
    size_t start = 0;
    while (start <= realPath.size()) {
        const size_t end = std::min(realPath.find_first_of("\\/", start), realPath.size());
        const std::string_view component = realPath.substr(start, end - start);
        start = end + 1;
        if (component.empty()) {
            continue;
        }
        if (component == "." || component == "..") {
            *problem = "has a '" + std::string(component) + "' component";
            return false;
        }
        if (component.find(':') != std::string_view::npos) {
            *problem = "holds ':', a drive or stream name";
            return false;
        }
        entry->key += FoldFileName(component) + '\\';
        entry->relative += codepage::Cp1251ToUtf8(component) + "/";
    }
    if (entry->key.empty()) {
        *problem = "names no file";
        return false;
    }
    entry->key.pop_back();
    entry->relative.pop_back();
    return true;
}

// Two payload files installed as one file, or a file where another needs a folder, or the
// manifest's own name: the folder could not hold them all.
bool CheckPlaces(const std::vector<ExtractedEntry>& entries, std::string* error) {
    std::vector<std::pair<std::string_view, size_t>> keys;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].section) {
            continue;
        }
        if (entries[i].key == kExtractedManifest) {
            *error = EntryLabel(i, entries[i].name) + " would overwrite " + kExtractedManifest;
            return false;
        }
        keys.emplace_back(entries[i].key, i);
    }
    std::sort(keys.begin(), keys.end());
    for (size_t k = 1; k < keys.size(); ++k) {
        const auto& [before, first] = keys[k - 1];
        const auto& [after, second] = keys[k];
        if (after == before || (after.starts_with(before) && after[before.size()] == '\\')) {
            *error = EntryLabel(first, entries[first].name) + " and " +
                     EntryLabel(second, entries[second].name) + " are installed as " +
                     (after == before ? "the same file" : "a file and a file inside it") +
                     " (letters compared without case)";
            return false;
        }
    }
    return true;
}

// Reads the directory: names checked, sections loaded, payload paths placed.
bool ReadEntries(const ::Package& package, std::vector<ExtractedEntry>* entries,
                 std::string* error) {
    const uint32_t count = package.header.entryCount;
    std::vector<std::pair<std::string, size_t>> names;
    for (uint32_t i = 0; i < count; ++i) {
        const DirectoryEntry& directoryEntry = package.directory[i];
        ExtractedEntry entry;
        entry.name.assign(directoryEntry.name, EntryNameLength(directoryEntry));
        entry.section = IsControlSection(directoryEntry);
        entry.storage = StorageOf(package.header, directoryEntry);
        if (entry.name.size() == kNameSize) {
            *error = "entry " + std::to_string(i) + ": its name fills all 32 bytes without a NUL";
            return false;
        }
        if (entry.name.empty() || entry.name.find_first_of("\r\n") != std::string::npos) {
            *error = EntryLabel(i, entry.name) + ": a manifest cannot give an empty name or " +
                     "one with a line break";
            return false;
        }
        Content content;
        if (entry.section && !Load(package, directoryEntry, &content)) {
            *error = EntryLabel(i, entry.name) + " cannot be loaded completely";
            return false;
        }
        entry.content.assign(content.data.get(), content.data.get() + content.size);
        names.emplace_back(FoldName(entry.name), i);
        entries->push_back(std::move(entry));
    }
    std::sort(names.begin(), names.end());
    for (size_t k = 1; k < names.size(); ++k) {
        if (names[k].first == names[k - 1].first) {
            *error = EntryLabel(names[k - 1].second, (*entries)[names[k - 1].second].name) +
                     " and " + EntryLabel(names[k].second, (*entries)[names[k].second].name) +
                     " have the same name (ASCII case ignored); a manifest gives each name once";
            return false;
        }
    }
    // The installer translates payload names through the first section of this name.
    std::vector<std::string> nameTable;
    const int table = FindEntry(package, SectionName(SectionKind::XlatNamesTable));
    if (table >= 0) {
        DecodeStringList(AsText((*entries)[table].content), &nameTable);
    }
    for (size_t i = 0; i < entries->size(); ++i) {
        ExtractedEntry& entry = (*entries)[i];
        std::string problem;
        if (!entry.section && !PlacePayload(RealPath(nameTable, entry.name), &entry, &problem)) {
            *error = EntryLabel(i, entry.name) + " is installed as " +
                     Display(RealPath(nameTable, entry.name)) + ", which " + problem +
                     ": it would not land inside the folder";
            return false;
        }
        if (entry.storage == EntryStorage::Delta) {
            entry.key += kDeltaSuffix;
            entry.relative += kDeltaSuffix;
        }
    }
    return CheckPlaces(*entries, error);
}

std::string ManifestText(const std::string& packagePath, const ::Package& package,
                         const std::vector<ExtractedEntry>& entries) {
    std::string text = "# Taken apart from " + EscapeField(packagePath) +
                       " by pkgtool extract.\n# `pkgtool build " + kExtractedManifest +
                       " OUTPUT` makes a package with the same entries in the same order.\n";
    if ((package.header.headerFlags & kDirectoryStorageMask) != kDirectoryZlib) {
        text += "directory stored\n";
    }
    size_t nextKind = 0;  // the fixed order of the directives' sections
    bool leading = true;  // still in the leading run of directive sections
    for (const ExtractedEntry& entry : entries) {
        if (!entry.section) {
            leading = false;
            const char* directive = entry.storage == EntryStorage::Delta    ? "delta-data "
                                    : entry.storage == EntryStorage::Stored ? "stored-file "
                                                                            : "file ";
            text += directive + Field(entry.name) + " = " + EscapeField(entry.relative) + "\n";
            continue;
        }
        const SectionKind kind = KindOfSection(entry.name);
        const size_t kindIndex = static_cast<size_t>(kind);
        if (leading && kind != SectionKind::Unknown && kindIndex >= nextKind) {
            const std::string lines = DirectivesFor(kind, AsText(entry.content));
            if (GivesExactly(lines, entry)) {
                text += lines;
                nextKind = kindIndex + 1;
                continue;
            }
        }
        leading = false;
        text += HexLine(entry);
    }
    return text;
}

bool IsEmptyFolder(const fs::path& folder, bool* exists) {
    std::error_code ec;
    *exists = fs::exists(folder, ec);
    return !*exists || (fs::is_directory(folder, ec) && fs::is_empty(folder, ec));
}

// Takes back what a failed extraction wrote: the folder was empty or missing.
void Undo(const fs::path& folder, bool existed) {
    std::error_code ec;
    if (!existed) {
        fs::remove_all(folder, ec);
        return;
    }
    for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        std::error_code ignored;
        fs::remove_all(it->path(), ignored);
    }
}

// A delta entry's bytes as they are stored, once its header and structure are found whole.
bool LoadDelta(const ::Package& package, const DirectoryEntry& entry, Content* content) {
    Walk delta;
    DeltaHeader header;
    if (!StartDeltaEntry(package, entry, &delta, &header)) {
        return false;
    }
    const bool whole = CheckDeltaStructure(delta, header);
    EndWalk(delta);
    content->size = entry.storedSize;
    content->data.reset(new (std::nothrow) uint8_t[entry.storedSize]);
    Walk data;
    if (!whole || content->data == nullptr || !EntryData(package, entry, &data)) {
        return false;
    }
    Walk to = MemoryWalk(content->data.get(), content->size);
    const bool copied = CopyWalk(data, to) && WalkDone(to);
    EndWalk(data);
    return copied;
}

bool WritePayload(const ::Package& package, const std::vector<ExtractedEntry>& entries,
                  const fs::path& folder, std::string* error) {
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].section) {
            continue;
        }
        Content content;
        const DirectoryEntry& entry = package.directory[i];
        const bool loaded = entries[i].storage == EntryStorage::Delta
                                ? LoadDelta(package, entry, &content)
                                : Load(package, entry, &content);
        if (!loaded) {
            *error = EntryLabel(i, entries[i].name) + " cannot be loaded completely";
            return false;
        }
        const fs::path path = folder / PathOfUtf8(entries[i].relative);
        std::error_code ec;
        fs::create_directories(path.parent_path(), ec);
        if (ec || !WriteFile(Utf8OfPath(path), content.data.get(), content.size)) {
            *error = "cannot write " + Utf8OfPath(path);
            return false;
        }
    }
    return true;
}

}  // namespace

bool ExtractPackage(const std::string& packagePath, const std::string& folder, std::string* error) {
    ::Package package;
    if (!Open(package, packagePath)) {
        ClosePackage(package);
        *error = packagePath + " cannot be opened as a package or a self-contained patch " +
                 "(pkgtool list tells why)";
        return false;
    }
    const fs::path root = PathOfUtf8(folder);
    const fs::path manifest = root / kExtractedManifest;
    std::vector<ExtractedEntry> entries;
    bool existed = false;
    bool done = ReadEntries(package, &entries, error);
    if (done && !IsEmptyFolder(root, &existed)) {
        *error = folder + " is not an empty folder";
        done = false;
    } else if (done) {
        std::error_code ec;
        fs::create_directories(root, ec);
        done = WritePayload(package, entries, root, error);
        if (done && !WriteFile(Utf8OfPath(manifest),
                               ToBytes(ManifestText(packagePath, package, entries)))) {
            *error = "cannot write " + Utf8OfPath(manifest);
            done = false;
        }
        if (!done) {
            Undo(root, existed);
        }
    }
    ClosePackage(package);
    return done;
}

}  // namespace pkgbuild
