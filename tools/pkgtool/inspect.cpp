#include "inspect.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "manifest.h"
#include "package/format.h"
#include "package/numbers.h"
#include "package/reader.h"
#include "package/window.h"
#include "package_builder.h"
#include "sections.h"
#include "text/codepage.h"

namespace pkgbuild {
namespace {

constexpr int kExitFailure = 1;
constexpr size_t kTargetLimit = kPathCharacters - kBackupSuffixLength;

// `size` bytes at `offset` lie within `length` bytes; no sum can overflow in 64 bits.
bool Within(uint64_t offset, uint64_t size, uint64_t length) {
    return offset <= length && size <= length - offset;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "pkgtool: %s\n", message.c_str());
    return kExitFailure;
}

// The file being described is held in the reader's own record (file, mapping, windows), so
// that a package of several GiB is described without being read into memory; its span is
// where the package was found.
using ListedFile = ::Package;

uint64_t ListedLength(const ListedFile& listed) {
    return listed.packageEnd - listed.packageOffset;
}

bool ReadAt(const ListedFile& listed, uint64_t offset, uint32_t size, void* out) {
    return Within(offset, size, ListedLength(listed)) &&
           ReadFileBytes(listed.packageWindow, listed.packageOffset + offset, size, out);
}

// The package starts at byte 0 when the magic is there; otherwise a trailer may point at it,
// read as the installer reads it. Without either, byte 0 is taken, so that the header is still
// shown with its wrong magic.
bool LocatePackage(ListedFile& listed, std::string* problem) {
    WindowedFile& file = listed.packageWindow;
    PackageHeader probe{};
    const bool magicAtStart =
        ReadFileBytes(file, 0, kMagicSize, probe.magic) && MagicOf(probe) != PackageMagic::None;
    PackageSpan span{0, file.length};
    PackageSpan trailer;
    if (!magicAtStart && ReadTrailer(file, &trailer)) {
        std::printf("self-contained patch: package at file offset %llu\n",
                    static_cast<unsigned long long>(trailer.offset));
        const uint64_t trailerEnd = trailer.end + kTrailerSize;
        if (trailerEnd != file.length) {
            std::printf(
                "signed: the trailer ends at file offset %llu, before a certificate table\n",
                static_cast<unsigned long long>(trailerEnd));
        }
        if (!Within(trailer.offset, kHeaderSize, trailer.end)) {
            *problem = "the trailer's packageOffset " + std::to_string(trailer.offset) +
                       " leaves no room for a package header before the trailer";
            return false;
        }
        span = trailer;
    }
    listed.packageOffset = span.offset;
    listed.packageEnd = span.end;
    if (ListedLength(listed) < kHeaderSize) {
        *problem = "the file is too short for a package header (" + std::to_string(file.length) +
                   " bytes)";
        return false;
    }
    return true;
}

// Opens and maps the file; false when it cannot be read. An empty file, which cannot be
// mapped, is described all the same: as too short.
bool OpenListed(const char* path, ListedFile* listed) {
    return MapPackageFile(*listed, path) ||
           (listed->packageFile.valid() && listed->packageWindow.length == 0);
}

const char* MagicName(PackageMagic magic) {
    switch (magic) {
        case PackageMagic::Data:
            return "Quellmar data (entries stored or compressed)";
        case PackageMagic::Deltas:
            return "Quellmar deltas (delta entries too; older installers refuse it)";
        case PackageMagic::None:
            break;
    }
    return "wrong";
}

const char* StorageName(EntryStorage storage) {
    switch (storage) {
        case EntryStorage::Stored:
            return "stored";
        case EntryStorage::Compressed:
            return "compressed";
        case EntryStorage::Delta:
            return "delta";
    }
    return "";
}

const char* StorageName(uint32_t storage) {
    switch (storage) {
        case kDirectoryZlib:
            return "zlib";
        case kDirectoryRejected:
            return "not accepted";
        default:
            return "stored";
    }
}

// Checks what makes a reader refuse the header.
bool HeaderUsable(const PackageHeader& header, std::string* problem) {
    if (MagicOf(header) == PackageMagic::None) {
        *problem = "not a package: the magic is wrong";
    } else if (header.entryCount == 0) {
        *problem = "entryCount is 0";
    } else if (header.directoryOffset == 0) {
        *problem = "directoryOffset is 0";
    } else if ((header.headerFlags & kDirectoryStorageMask) == kDirectoryRejected) {
        *problem = "headerFlags give directory storage 1, which is not accepted";
    } else if (uint64_t{header.entryCount} * kEntrySize > UINT32_MAX) {
        *problem = "entryCount x 48 does not fit in 32 bits";
    } else {
        return true;
    }
    return false;
}

// Inflates a stream only to see that it ends after exactly `size` bytes.
bool StreamInflatesTo(const ListedFile& listed, uint64_t offset, uint32_t packedSize,
                      uint32_t size) {
    static uint8_t scratch[1 << 16];
    Walk from = FileWalk(listed.packageWindow, listed.packageOffset + offset, packedSize);
    Walk to = ScratchWalk(scratch, sizeof scratch, size);
    const bool whole = InflateWalk(from, to);
    EndWalk(from);
    return whole;
}

bool ReadDirectory(const ListedFile& listed, const PackageHeader& header, Bytes* directory,
                   std::string* problem) {
    const uint64_t directorySize = uint64_t{header.entryCount} * kEntrySize;
    const uint64_t offset = header.directoryOffset;
    const bool compressed = (header.headerFlags & kDirectoryStorageMask) == kDirectoryZlib;
    const uint64_t packedSize = compressed ? header.packedDirectorySize : directorySize;
    if (!Within(offset, packedSize, ListedLength(listed))) {
        *problem = std::string(compressed ? "the zlib directory (" : "the stored directory (") +
                   std::to_string(packedSize) + " bytes at " + std::to_string(offset) +
                   ") does not lie within the file";
        return false;
    }
    if (compressed && directorySize > packedSize * kMaxInflateRatio) {
        *problem = "a zlib directory of " + std::to_string(packedSize) +
                   " bytes cannot inflate to " + std::to_string(directorySize);
        return false;
    }
    directory->resize(directorySize);
    // The installer's own reading, so that the listing agrees with what it would read.
    Walk from = FileWalk(listed.packageWindow, listed.packageOffset + offset, packedSize);
    Walk to = MemoryWalk(directory->data(), directorySize);
    const bool read = compressed ? InflateWalk(from, to) : CopyWalk(from, to);
    EndWalk(from);
    if (!read) {
        *problem = compressed ? "the zlib directory does not inflate to exactly " +
                                    std::to_string(directorySize) + " bytes"
                              : "the stored directory cannot be read";
    }
    return read;
}

// Why a delta entry cannot be applied whatever the file it meets, or "" when its header is
// whole, agrees with the entry and its blocks are well formed.
std::string DeltaProblem(const ListedFile& listed, const DirectoryEntry& entry) {
    if (IsControlSection(entry)) {
        return "a control section cannot be a delta";
    }
    if ((entry.entryFlags & kEntryCompressed) != 0) {
        return "marked both compressed and delta";
    }
    Walk delta;
    if (!EntryData(listed, entry, &delta)) {
        return "data outside the file";
    }
    DeltaHeader header;
    std::string problem;
    if (!ReadDeltaHeader(delta, &header)) {
        problem = "delta header damaged";
    } else if (header.newSize != entry.size) {
        problem = "the delta makes " + std::to_string(header.newSize) + " bytes, not its size";
    } else if (!CheckDeltaStructure(delta, header)) {
        problem = "delta damaged";
    }
    EndWalk(delta);
    return problem;
}

// Why an entry cannot be loaded (or, for a delta, applied), or "" when it can.
std::string EntryProblem(const ListedFile& listed, const PackageHeader& header,
                         const DirectoryEntry& entry) {
    const uint64_t length = ListedLength(listed);
    const EntryStorage storage = StorageOf(header, entry);
    if (storage == EntryStorage::Delta) {
        return DeltaProblem(listed, entry);
    }
    if (storage == EntryStorage::Stored) {
        return Within(entry.dataOffset, entry.size, length) ? "" : "data outside the file";
    }
    if (!Within(entry.dataOffset, entry.storedSize, length)) {
        return "data outside the file";
    }
    if (!StreamInflatesTo(listed, entry.dataOffset, entry.storedSize, entry.size)) {
        return "stream damaged or not of its size";
    }
    return "";
}

size_t DisplayWidth(std::string_view utf8) {
    size_t width = 0;
    for (const char c : utf8) {
        width += (static_cast<uint8_t>(c) & 0xC0) != 0x80;
    }
    return width;
}

std::string EntryName(const DirectoryEntry& entry) {
    return std::string(entry.name, strnlen(entry.name, kNameSize));
}

// What the listing found: the entries, and for each why it cannot be loaded ("" when it can).
struct Listing {
    ListedFile listed;
    std::vector<DirectoryEntry> entries;
    std::vector<std::string> problems;
};

// Prints the header and the directory. False, with the exit status set, when there is no
// directory to go on with.
bool PrintListing(const char* path, Listing* listing, int* status) {
    ListedFile& listed = listing->listed;
    if (!OpenListed(path, &listed)) {
        *status = Fail(std::string("cannot read ") + path);
        return false;
    }
    std::string problem;
    PackageHeader header;
    if (!LocatePackage(listed, &problem) || !ReadAt(listed, 0, kHeaderSize, &header)) {
        *status =
            Fail(std::string(path) + ": " + (problem.empty() ? "cannot read the header" : problem));
        return false;
    }
    listed.header = header;
    const uint32_t storage = header.headerFlags & kDirectoryStorageMask;
    std::printf("magic: %s\n", MagicName(MagicOf(header)));
    std::printf("entryCount: %u\n", header.entryCount);
    std::printf("directoryOffset: %u\n", header.directoryOffset);
    std::printf("headerFlags: 0x%08X (directory %s)\n", header.headerFlags, StorageName(storage));
    std::printf("packedDirectorySize: %u\n", header.packedDirectorySize);

    Bytes directory;
    if (!HeaderUsable(header, &problem) || !ReadDirectory(listed, header, &directory, &problem)) {
        *status = Fail(std::string(path) + ": " + problem);
        return false;
    }
    std::printf("%5s  %-32s %10s %10s %10s %10s  %s\n", "#", "name", "dataOffset", "size",
                "entryFlags", "storedSize", "storage");
    listing->entries.resize(header.entryCount);
    for (uint32_t i = 0; i < header.entryCount; ++i) {
        DirectoryEntry& entry = listing->entries[i];
        std::memcpy(&entry, directory.data() + uint64_t{i} * kEntrySize, kEntrySize);
        const std::string name = Windows1251ToUtf8(EntryName(entry));
        const size_t width = DisplayWidth(name);
        listing->problems.push_back(EntryProblem(listed, header, entry));
        const std::string& entryProblem = listing->problems.back();
        std::printf("%5u  %s%*s %10u %10u     0x%04X %10u  %s%s%s\n", i, name.c_str(),
                    static_cast<int>(width < 32 ? 32 - width : 0), "", entry.dataOffset, entry.size,
                    entry.entryFlags, entry.storedSize, StorageName(StorageOf(header, entry)),
                    entryProblem.empty() ? "" : "  ! ", entryProblem.c_str());
    }
    return true;
}

size_t CountProblems(const Listing& listing) {
    size_t broken = 0;
    for (const std::string& problem : listing.problems) {
        broken += !problem.empty();
    }
    return broken;
}

std::string Plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The content of an entry that EntryProblem found loadable.
Bytes LoadListed(const ListedFile& listed, const DirectoryEntry& entry) {
    Bytes content(entry.size);
    if (!LoadEntry(listed, entry, content.data())) {
        content.clear();  // read a moment ago; only a failing view can stop it now
    }
    return content;
}

// show --------------------------------------------------------------------------------------

// Texts of the package for a terminal: UTF-8, control bytes as \xNN.
std::string Text(std::string_view windows1251) {
    return Windows1251ToUtf8(windows1251);
}

std::string Quote(std::string_view windows1251) {
    return "\"" + Text(windows1251) + "\"";
}

// A multi-line message text: each "\r\n" starts a new line, indented like the first.
std::string MessageText(std::string_view windows1251, const char* indent) {
    std::string out;
    size_t start = 0;
    for (size_t end; (end = windows1251.find("\r\n", start)) != std::string_view::npos;
         start = end + 2) {
        out += Text(windows1251.substr(start, end - start)) + "\n" + indent;
    }
    return out + Text(windows1251.substr(start));
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// Each Show function prints what it could decode and returns the section's damage, or "".

std::string ShowRegistryKeys(std::string_view bytes) {
    RegistryKeys keys;
    const std::string damage = DecodeRegistryKeys(bytes, &keys).problem;
    if (!damage.empty()) {
        return damage;
    }
    std::printf("  installation       HKEY_LOCAL_MACHINE\\%s\n", Text(keys.subKey).c_str());
    std::printf("  folder value       %s\n", Quote(keys.folderValue).c_str());
    std::printf("  program value      %s\n", Quote(keys.programValue).c_str());
    std::printf("  patch level value  %s (REG_DWORD)\n", Quote(keys.levelValue).c_str());
    std::printf("  patch level        %d\n", keys.level);
    return "";
}

std::string ShowStartupMsg(std::string_view bytes) {
    std::string caption, text;
    const std::string damage = DecodeStartupMsg(bytes, &caption, &text).problem;
    std::printf("  caption  %s\n", Text(caption).c_str());
    std::printf("  text     %s\n", MessageText(text, "           ").c_str());
    return damage;
}

// A path the installer's buffers cannot hold even before the installation folder.
const char* LengthNote(const std::string& path, size_t limit) {
    return path.size() > limit ? "  ! too long for the installer's path buffers" : "";
}

std::string ShowPaths(std::string_view bytes) {
    std::vector<std::string> paths;
    const std::string damage = DecodeStringList(bytes, &paths).problem;
    for (const std::string& path : paths) {
        std::printf("  %s%s\n", Text(path).c_str(), LengthNote(path, kPathCharacters));
    }
    return damage;
}

std::string ShowNamePairs(std::string_view bytes) {
    std::vector<std::string> names;
    const std::string damage = DecodeStringList(bytes, &names).problem;
    for (size_t i = 0; i < names.size(); i += 2) {
        if (i + 1 == names.size()) {
            std::printf("  %s -> (no real path: never used)\n", Text(names[i]).c_str());
        } else {
            std::printf("  %s -> %s%s\n", Text(names[i]).c_str(), Text(names[i + 1]).c_str(),
                        LengthNote(names[i + 1], kTargetLimit));
        }
    }
    return damage;
}

std::string CommandFlags(uint8_t flags) {
    static const struct {
        uint8_t flag;
        const char* name;
    } kNames[] = {{kCommandWaitForExit, "wait for exit"},
                  {kCommandRelativeToInstall, "relative to the installation folder"},
                  {kCommandProgramInCommandLine, "program in command line"}};
    std::string out;
    for (const auto& [flag, name] : kNames) {
        if (flags & flag) {
            out += std::string(out.empty() ? "" : ", ") + name;
        }
    }
    if (flags & ~kCommandKnownFlags) {
        out += std::string(out.empty() ? "" : ", ") + "bits 3-7 (no effect)";
    }
    return out.empty() ? "none" : out;
}

std::string Formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Formatted(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    va_end(arguments);
    return text;
}

// The program path and the command line the installer forms for a command, from these texts
// of its program and arguments; a program relative to the installation follows `folder`.
struct CommandTexts {
    std::string program;
    std::string line;
};
CommandTexts FormCommand(uint8_t flags, const std::string& folder, const std::string& program,
                         const std::string& arguments) {
    CommandTexts texts;
    texts.program = (flags & kCommandRelativeToInstall) ? folder + program : program;
    texts.line = (flags & kCommandProgramInCommandLine)
                     ? Formatted(kCommandLineWithProgram, texts.program.c_str(), arguments.c_str())
                     : Formatted(kCommandLineWithoutProgram, arguments.c_str());
    return texts;
}

std::string ShowCommands(std::string_view bytes) {
    std::vector<Command> commands;
    std::string damage = DecodeCommands(bytes, &commands).problem;
    for (size_t i = 0; i < commands.size(); ++i) {
        const Command& command = commands[i];
        const CommandTexts shown = FormCommand(command.flags, "<installation folder>\\",
                                               Text(command.program), Text(command.arguments));
        // Their lengths without the installation folder, which only makes them longer.
        const CommandTexts stored =
            FormCommand(command.flags, "", command.program, command.arguments);
        std::printf("  %zu. flags 0x%02X: %s\n", i + 1, command.flags,
                    CommandFlags(command.flags).c_str());
        std::printf("     program       %s\n", shown.program.c_str());
        std::printf("     command line  %s\n", shown.line.c_str());
        if (std::max(stored.program.size(), stored.line.size()) > kCommandCharacters) {
            damage = "a program path or command line is longer than the installer's " +
                     std::to_string(kCommandCharacters) + " bytes";
        }
    }
    return damage;
}

std::string ShowRegistryTable(std::string_view bytes) {
    std::vector<RegistryRecord> records;
    const std::string damage = DecodeRegistryTable(bytes, &records).problem;
    for (size_t i = 0; i < records.size(); ++i) {
        const RegistryRecord& r = records[i];
        const std::string operation = r.operation == kRegistryOperationApply
                                          ? "apply"
                                          : "skip (operation " + std::to_string(r.operation) + ")";
        const bool currentUser = r.root == kRegistryRootCurrentUser;
        const std::string root = currentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
        const std::string rootNote = (currentUser || r.root == kRegistryRootLocalMachine)
                                         ? ""
                                         : " (root " + std::to_string(r.root) + ")";
        const std::string name = r.valueName.empty() ? "(default)" : Quote(r.valueName);
        std::string value;
        if (r.valueType == kRegistryValueDword) {
            const int32_t number = ParseNumber(r.data.c_str());
            value = name + " = REG_DWORD " + std::to_string(number) + " (" +
                    Hex32(static_cast<uint32_t>(number)) + ", from " + Quote(r.data) + ")";
        } else if (r.valueType == kRegistryValueText) {
            value = name + " = REG_SZ " + Quote(r.data);
        } else {
            value = "the key only (type " + std::to_string(r.valueType) + ")";
        }
        std::printf("  %zu. %s  %s\\%s%s\n", i + 1, operation.c_str(), root.c_str(),
                    Text(r.subKey).c_str(), rootNote.c_str());
        std::printf("     %s\n", value.c_str());
    }
    return damage;
}

// Bytes a whole section of this kind carries after what the installer reads: the producers'
// byte after the patch level, and the closing empty string of the opening message.
size_t UsualTail(SectionKind kind) {
    return (kind == SectionKind::RegistryKeys || kind == SectionKind::StartupMsg) ? 1 : 0;
}

// Decodes one control section for a person; returns its damage, or "".
std::string ShowSection(SectionKind kind, std::string_view bytes) {
    switch (kind) {
        case SectionKind::RegistryKeys:
            return ShowRegistryKeys(bytes);
        case SectionKind::StartupMsg:
            return ShowStartupMsg(bytes);
        case SectionKind::XlatNamesTable:
            return ShowNamePairs(bytes);
        case SectionKind::Folders:
        case SectionKind::FilesToRemove:
            return ShowPaths(bytes);
        case SectionKind::CommandsToExecute:
            return ShowCommands(bytes);
        case SectionKind::RegistryTable:
            return ShowRegistryTable(bytes);
        case SectionKind::Unknown:
            break;
    }
    return "";
}

// The first entry of each name is the one the installer reads.
int FirstOfName(const Listing& listing, std::string_view name) {
    for (size_t i = 0; i < listing.entries.size(); ++i) {
        const std::string entryName = EntryName(listing.entries[i]);
        if (NamesMatch(entryName.data(), entryName.size(), name.data(), name.size())) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Prints every control section; returns how many are damaged.
size_t ShowSections(Listing& listing) {
    size_t damaged = 0;
    for (size_t i = 0; i < listing.entries.size(); ++i) {
        const DirectoryEntry& entry = listing.entries[i];
        if (!IsControlSection(entry)) {
            continue;
        }
        const std::string name = EntryName(entry);
        const SectionKind kind = KindOfSection(name);
        std::printf("\n%s (entry %zu, %u bytes)\n", Text(name).c_str(), i, entry.size);
        const int first = FirstOfName(listing, name);
        if (kind == SectionKind::Unknown) {
            std::printf("  not a section the installer reads\n");
            continue;
        }
        if (first != static_cast<int>(i)) {
            std::printf("  never read: entry %d comes first under this name\n", first);
            continue;
        }
        if (!listing.problems[i].empty()) {
            std::printf("  ! cannot be loaded: %s\n", listing.problems[i].c_str());
            ++damaged;
            continue;
        }
        const Bytes content = LoadListed(listing.listed, entry);
        const std::string_view bytes(reinterpret_cast<const char*>(content.data()), content.size());
        const std::string damage = ShowSection(kind, bytes);
        if (!damage.empty()) {
            std::printf("  ! damaged: %s\n", damage.c_str());
            ++damaged;
            continue;
        }
        const size_t tail = bytes.size() - DecodeSection(kind, bytes).used;
        if (tail != UsualTail(kind)) {
            std::printf("  %zu bytes after its end are never read\n", tail);
        }
    }
    return damaged;
}

// What a delta entry rebuilds, from what: the sizes and hashes its header records.
void ShowDelta(const ListedFile& listed, const DirectoryEntry& entry) {
    Walk delta;
    DeltaHeader header;
    if (!EntryData(listed, entry, &delta)) {
        return;
    }
    if (ReadDeltaHeader(delta, &header)) {
        std::printf("         delta of %u bytes, in blocks of %u bytes\n", entry.storedSize,
                    header.blockSize);
        std::printf("         from a file of %llu bytes, XXH64 %016llX\n",
                    static_cast<unsigned long long>(header.oldSize),
                    static_cast<unsigned long long>(header.oldHash));
        std::printf("         to a file of %llu bytes, XXH64 %016llX\n",
                    static_cast<unsigned long long>(header.newSize),
                    static_cast<unsigned long long>(header.newHash));
    }
    EndWalk(delta);
}

// The payload files in the order they are installed, each under its installed path.
void ShowPayload(Listing& listing) {
    std::vector<std::string> nameTable;
    const int table = FirstOfName(listing, SectionName(SectionKind::XlatNamesTable));
    if (table >= 0 && listing.problems[table].empty()) {
        const Bytes content = LoadListed(listing.listed, listing.entries[table]);
        DecodeStringList(
            std::string_view(reinterpret_cast<const char*>(content.data()), content.size()),
            &nameTable);
    }
    std::printf("\npayload files, installed in this order\n");
    for (size_t i = 0; i < listing.entries.size(); ++i) {
        const DirectoryEntry& entry = listing.entries[i];
        if (IsControlSection(entry)) {
            continue;
        }
        const std::string name = EntryName(entry);
        const std::string_view path = RealPath(nameTable, name);
        const bool translated = path.data() != name.data();  // not the name itself
        std::printf("  %5zu  %s%s%s%s%s\n", i, Text(path).c_str(),
                    translated ? "  (stored as " : "", translated ? Text(name).c_str() : "",
                    translated ? ")" : "", LengthNote(std::string(path), kTargetLimit));
        if (StorageOf(listing.listed.header, entry) == EntryStorage::Delta &&
            listing.problems[i].empty()) {
            ShowDelta(listing.listed, entry);
        }
    }
}

}  // namespace

int ListPackage(const char* path) {
    Listing listing;
    int status = 0;
    const bool listed = PrintListing(path, &listing, &status);
    ClosePackage(listing.listed);
    if (!listed) {
        return status;
    }
    const size_t broken = CountProblems(listing);
    if (broken != 0) {
        return Fail(std::string(path) + ": " + Plural(broken, "entry cannot", "entries cannot") +
                    " be loaded");
    }
    return 0;
}

int ShowPackage(const char* path) {
    Listing listing;
    int status = 0;
    if (!PrintListing(path, &listing, &status)) {
        ClosePackage(listing.listed);
        return status;
    }
    const size_t damaged = ShowSections(listing);
    ShowPayload(listing);
    ClosePackage(listing.listed);
    const size_t broken = CountProblems(listing);
    if (broken != 0 || damaged != 0) {
        return Fail(std::string(path) + ": " + Plural(broken, "entry cannot", "entries cannot") +
                    " be loaded, " + Plural(damaged, "section is", "sections are") + " damaged");
    }
    return 0;
}

}  // namespace pkgbuild
