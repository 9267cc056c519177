// The patch package format: a 32-byte header, entry data, and a directory of 48-byte
// entries, all little-endian; optionally appended to an executable behind an 8-byte trailer.
//
// The records below are laid out exactly as the bytes of the format (checked at compile
// time), so the directory is read by copying or inflating straight into an array of them.
// The format carries no bounds of its own: every offset and size must be checked against the
// file by whoever follows it (the reader does).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "the package records are little-endian");

constexpr size_t kHeaderSize = 32;
constexpr size_t kMagicSize = 16;
constexpr size_t kEntrySize = 48;
constexpr size_t kNameSize = 32;
constexpr size_t kTrailerSize = 8;

// "Quellmar data  " and 0x1A; no NUL belongs to it.
constexpr uint8_t kPackageMagic[kMagicSize] = {'Q', 'u', 'e', 'l', 'l', 'm', 'a', 'r',
                                               ' ', 'd', 'a', 't', 'a', ' ', ' ', 0x1A};
constexpr uint8_t kTrailerMagic[4] = {'Q', 'L', 'M', 'R'};

// headerFlags & kDirectoryStorageMask
constexpr uint32_t kDirectoryStorageMask = 3;
constexpr uint32_t kDirectoryStored = 0;
constexpr uint32_t kDirectoryRejected = 1;
constexpr uint32_t kDirectoryZlib = 2;
constexpr uint32_t kDirectoryStoredToo = 3;

// entryFlags: only bit 0 has a meaning; producers write 0x0011 for compressed entries.
constexpr uint16_t kEntryCompressed = 0x0001;

// Deflate cannot expand its input more than about 1032 times, so a zlib stream that claims
// more output than this many times its own length cannot be whole.
constexpr uint64_t kMaxInflateRatio = 1032;

// Entries whose names begin with this are control sections; all others are payload files.
constexpr char kSectionPrefix = ':';

struct PackageHeader {
    uint8_t magic[kMagicSize];
    uint32_t entryCount;
    uint32_t directoryOffset;
    uint32_t headerFlags;
    uint32_t packedDirectorySize;
};

struct DirectoryEntry {
    char name[kNameSize];  // NUL-terminated and padded, unless all 32 bytes are used
    uint32_t dataOffset;   // from the package start
    uint32_t size;         // content length (after inflation)
    uint16_t reserved;
    uint16_t entryFlags;
    uint32_t storedSize;  // zlib stream length; compressed entries only
};

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

// The one name comparison of the system: 'A'-'Z' equal 'a'-'z', every other byte (the
// Windows-1251 letters included) must match exactly. Lengths bound both texts; a text also
// ends at its first NUL within its length.
bool NamesMatch(const char* a, size_t aLength, const char* b, size_t bLength);

// Length of an entry name: up to its NUL, or all 32 bytes.
size_t EntryNameLength(const DirectoryEntry& entry);

inline bool IsControlSection(const DirectoryEntry& entry) {
    return entry.name[0] == kSectionPrefix;
}
