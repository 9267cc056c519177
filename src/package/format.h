// The patch package format and the installer's contract with the packages and the programs it
// starts: every fact that the installer, pkgtool, the test helper and the tests must agree on
// is declared here, once. A package is a 32-byte header, entry data, and a directory of
// 48-byte entries, all little-endian; optionally appended to an executable behind an 8-byte
// trailer. Entries whose names begin with ':' are control sections, read by the phases of the
// apply sequence; all others are payload files, stored, compressed, or (in a package of the
// second magic) deltas that rebuild a file from the one it replaces (package/delta.h).
//
// Two facts live elsewhere, where the layers that need them can see them: the run states,
// which the platform's windows read (platform/platform.h), and how the registry table's
// numbers read as text (ParseNumber, package/numbers.h).
//
// The records below are laid out exactly as the bytes of the format (checked at compile
// time), so the directory is read by copying or inflating straight into an array of them.
// The format carries no bounds of its own: every offset and size must be checked against the
// file by whoever follows it (the reader does).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "text/codepage.h"

static_assert(std::endian::native == std::endian::little, "the package records are little-endian");

// ---------------------------------------------------------------------------------------------
// The header

constexpr size_t kHeaderSize = 32;
constexpr size_t kMagicSize = 16;

// "Quellmar data  " and 0x1A; no NUL belongs to it.
constexpr uint8_t kPackageMagic[kMagicSize] = {'Q', 'u', 'e', 'l', 'l', 'm', 'a', 'r',
                                               ' ', 'd', 'a', 't', 'a', ' ', ' ', 0x1A};
// "Quellmar deltas" and 0x1A: a package that holds at least one delta entry. Installers that
// know only the magic above refuse such a package whole (the usage text, nothing touched)
// rather than install a delta as a file's content. A package without delta entries keeps the
// magic above.
constexpr uint8_t kDeltaPackageMagic[kMagicSize] = {'Q', 'u', 'e', 'l', 'l', 'm', 'a', 'r',
                                                    ' ', 'd', 'e', 'l', 't', 'a', 's', 0x1A};

// Which magic a header carries: the two above, compared byte for byte, or neither.
enum class PackageMagic { None, Data, Deltas };

// headerFlags & kDirectoryStorageMask: how the directory is stored.
constexpr uint32_t kDirectoryStorageMask = 3;
constexpr uint32_t kDirectoryStored = 0;
constexpr uint32_t kDirectoryRejected = 1;
constexpr uint32_t kDirectoryZlib = 2;
constexpr uint32_t kDirectoryStoredToo = 3;

struct PackageHeader {
    uint8_t magic[kMagicSize];
    uint32_t entryCount;
    uint32_t directoryOffset;
    uint32_t headerFlags;
    uint32_t packedDirectorySize;
};

// ---------------------------------------------------------------------------------------------
// Directory entries

constexpr size_t kEntrySize = 48;
constexpr size_t kNameSize = 32;
// The longest name that leaves its NUL in the field, as producers write names.
constexpr size_t kMaxEntryNameLength = kNameSize - 1;

// entryFlags: bit 0 means compressed; producers write kCompressedEntryFlags for compressed
// entries and 0 for stored ones. In a package of the deltas magic, kEntryDelta marks a delta
// entry: its data is the delta's bytes, stored as they are (its streams are compressed
// already), `storedSize` their length, `size` the new file's length, which must equal the
// size the delta's header gives. A delta entry has bit 0 clear, and only payload files are
// deltas. In a package of the data magic every bit but bit 0 means nothing, as stored packages
// set some (compressed entries carry 0x0011).
constexpr uint16_t kEntryCompressed = 0x0001;
constexpr uint16_t kCompressedEntryFlags = 0x0011;
constexpr uint16_t kEntryDelta = 0x0002;

// Deflate cannot expand its input more than about 1032 times, so a zlib stream that claims
// more output than this many times its own length cannot be whole.
constexpr uint64_t kMaxInflateRatio = 1032;

struct DirectoryEntry {
    char name[kNameSize];  // NUL-terminated and padded, unless all 32 bytes are used
    uint32_t dataOffset;   // from the package start
    uint32_t size;         // content length (after inflation; a delta's new file)
    uint16_t reserved;
    uint16_t entryFlags;
    uint32_t storedSize;  // zlib stream or delta length; compressed and delta entries only
};

// How an entry's data is stored, by its flags and the package's magic.
enum class EntryStorage { Stored, Compressed, Delta };

// ---------------------------------------------------------------------------------------------
// The trailer of a self-contained patch: the program image, the package, then this.

constexpr size_t kTrailerSize = 8;
constexpr uint8_t kTrailerMagic[4] = {'Q', 'L', 'M', 'R'};

struct PackageTrailer {
    uint32_t packageOffset;  // file offset of the package header
    uint8_t trailerMagic[4];
};

static_assert(sizeof(PackageHeader) == kHeaderSize);
static_assert(offsetof(PackageHeader, entryCount) == 16);
static_assert(offsetof(PackageHeader, packedDirectorySize) == 28);
static_assert(sizeof(DirectoryEntry) == kEntrySize);
static_assert(offsetof(DirectoryEntry, dataOffset) == 32);
static_assert(offsetof(DirectoryEntry, entryFlags) == 42);
static_assert(offsetof(DirectoryEntry, storedSize) == 44);
static_assert(sizeof(PackageTrailer) == kTrailerSize);

// ---------------------------------------------------------------------------------------------
// Control sections

constexpr char kSectionPrefix = ':';

// The sections the installer reads, in the order the apply sequence reads them and a
// manifest's package holds them. A new section is a kind here and its name below.
enum class SectionKind {
    RegistryKeys,       // the installation's registry key, its value names, the package level
    StartupMsg,         // the opening message: caption, text
    XlatNamesTable,     // string list of (stored name, real path) pairs for payload entries
    Folders,            // string list of folders to create
    CommandsToExecute,  // command records, up to one with an empty program
    FilesToRemove,      // string list of files and empty folders to delete
    RegistryTable,      // registry records, up to operation kRegistryOperationEnd
    Unknown,            // any other name: no section of the installer's
};

inline constexpr const char* kSectionNames[] = {
    ":RegistryKeys",      ":StartupMsg",    ":XlatNamesTable", ":Folders",
    ":CommandsToExecute", ":FilesToRemove", ":RegistryTable",
};
static_assert(std::size(kSectionNames) == static_cast<size_t>(SectionKind::Unknown),
              "every section kind has its name");

// The name of a section kind; "" for Unknown.
constexpr const char* SectionName(SectionKind kind) {
    const size_t index = static_cast<size_t>(kind);
    return index < std::size(kSectionNames) ? kSectionNames[index] : "";
}

// The kind of an entry name, ASCII case ignored as the installer finds sections.
SectionKind KindOfSection(std::string_view name);

// :CommandsToExecute records: a flags byte, the program string, the arguments string.
constexpr uint8_t kCommandWaitForExit = 0x01;
constexpr uint8_t kCommandRelativeToInstall = 0x02;  // the program path is under the folder
constexpr uint8_t kCommandProgramInCommandLine = 0x04;
constexpr uint8_t kCommandKnownFlags =
    kCommandWaitForExit | kCommandRelativeToInstall | kCommandProgramInCommandLine;

// A started program's command line: the program path and the arguments, or the arguments
// alone. The word DUMMY is part of the contract with the packages' programs: they find it in
// front of their arguments and skip it, as the first word of the line when the program path is
// not on it and as the second when it is.
constexpr char kCommandLineWithProgram[] = "\"%s\" DUMMY %s";
constexpr char kCommandLineWithoutProgram[] = "DUMMY %s";

// A started program reports its failure by leaving this file in the installation folder.
constexpr char kErrorMarkerName[] = "qlm_patch_apply_err.txt";

// :RegistryTable records: operation, root, sub-key string, value type, value name string,
// data string (all numbers 32-bit).
constexpr uint32_t kRegistryOperationEnd = 0;    // ends the table
constexpr uint32_t kRegistryOperationApply = 1;  // any other operation skips the record
constexpr uint32_t kRegistryRootLocalMachine = 0;
constexpr uint32_t kRegistryRootCurrentUser = 1;  // any other root is HKEY_LOCAL_MACHINE
constexpr uint32_t kRegistryValueKeyOnly = 0;     // as any type not below: the key alone
constexpr uint32_t kRegistryValueDword = 1;       // REG_DWORD, the number its text gives
constexpr uint32_t kRegistryValueText = 2;        // REG_SZ

// ---------------------------------------------------------------------------------------------
// The installer's texts

// Limits count characters, as the single bytes of Windows-1251 did (see text/codepage.h); a
// buffer of TextBufferSize(n) bytes holds a text of at most n characters as UTF-8.
// A path holds at most 511 characters; a payload target 4 fewer, leaving room for its backup's
// suffix.
constexpr size_t kPathCharacters = 511;
constexpr size_t kPathBufferSize = codepage::TextBufferSize(kPathCharacters);
// A program path or command line of an external program holds at most 1023 characters.
constexpr size_t kCommandCharacters = 1023;
constexpr size_t kCommandBufferSize = codepage::TextBufferSize(kCommandCharacters);

// A replaced file is moved to its name with this suffix until the new file is complete.
constexpr char kBackupSuffix[] = ".bak";
constexpr size_t kBackupSuffixLength = sizeof kBackupSuffix - 1;

// ---------------------------------------------------------------------------------------------
// Names

// The one name comparison of the system: 'A'-'Z' equal 'a'-'z', every other byte (the
// Windows-1251 letters included) must match exactly. Lengths bound both texts; a text also
// ends at its first NUL within its length.
bool NamesMatch(const char* a, size_t aLength, const char* b, size_t bLength);

// Length of an entry name: up to its NUL, or all 32 bytes.
size_t EntryNameLength(const DirectoryEntry& entry);

inline bool IsControlSection(const DirectoryEntry& entry) {
    return entry.name[0] == kSectionPrefix;
}

PackageMagic MagicOf(const PackageHeader& header);
EntryStorage StorageOf(const PackageHeader& header, const DirectoryEntry& entry);
