#include "package/reader.h"

#include <cstring>
#include <new>

#include "package/signature.h"

size_t EntryNameLength(const DirectoryEntry& entry) {
    return strnlen(entry.name, kNameSize);
}

SectionKind KindOfSection(std::string_view name) {
    for (size_t index = 0; index < std::size(kSectionNames); ++index) {
        if (NamesMatch(name.data(), name.size(), kSectionNames[index],
                       strlen(kSectionNames[index]))) {
            return static_cast<SectionKind>(index);
        }
    }
    return SectionKind::Unknown;
}

PackageMagic MagicOf(const PackageHeader& header) {
    if (std::memcmp(header.magic, kPackageMagic, kMagicSize) == 0) {
        return PackageMagic::Data;
    }
    if (std::memcmp(header.magic, kDeltaPackageMagic, kMagicSize) == 0) {
        return PackageMagic::Deltas;
    }
    return PackageMagic::None;
}

EntryStorage StorageOf(const PackageHeader& header, const DirectoryEntry& entry) {
    if ((entry.entryFlags & kEntryDelta) != 0 && MagicOf(header) == PackageMagic::Deltas) {
        return EntryStorage::Delta;
    }
    return (entry.entryFlags & kEntryCompressed) != 0 ? EntryStorage::Compressed
                                                      : EntryStorage::Stored;
}

static char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool NamesMatch(const char* a, size_t aLength, const char* b, size_t bLength) {
    aLength = strnlen(a, aLength);
    bLength = strnlen(b, bLength);
    if (aLength != bLength) {
        return false;
    }
    for (size_t i = 0; i < aLength; ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// True when [offset, offset + length) lies within the package's part of the file.
static bool WithinPackage(const Package& package, uint64_t offset, uint64_t length) {
    const uint64_t available = package.packageEnd - package.packageOffset;
    return offset <= available && length <= available - offset;
}

// Brings `packedLength` bytes at package offset `offset` into `out`: inflated when
// `compressed`, copied otherwise. The bytes must lie within the package.
static bool Unpack(const Package& package, uint64_t offset, uint64_t packedLength, bool compressed,
                   Walk& out) {
    if (!WithinPackage(package, offset, packedLength)) {
        return false;
    }
    Walk in = FileWalk(package.packageWindow, package.packageOffset + offset, packedLength);
    const bool unpacked = compressed ? InflateWalk(in, out) : CopyWalk(in, out) && WalkDone(out);
    EndWalk(in);
    EndWalk(out);
    return unpacked;
}

bool ReadTrailer(WindowedFile& file, PackageSpan* span) {
    const uint64_t partEnd = PackagePartEnd(file);
    if (partEnd < kTrailerSize) {
        return false;
    }
    const uint64_t trailerOffset = partEnd - kTrailerSize;
    PackageTrailer trailer;
    if (!ReadFileBytes(file, trailerOffset, kTrailerSize, &trailer) ||
        std::memcmp(trailer.trailerMagic, kTrailerMagic, sizeof kTrailerMagic) != 0) {
        return false;
    }
    span->offset = trailer.packageOffset;
    span->end = trailerOffset;
    return true;
}

// Where the package lies in the file: all of it, or the span its trailer gives.
static bool LocatePackage(Package& package, bool embedded) {
    PackageSpan span{0, package.packageWindow.length};
    if (embedded && (!ReadTrailer(package.packageWindow, &span) || span.offset > span.end)) {
        return false;
    }
    package.packageOffset = span.offset;
    package.packageEnd = span.end;
    return true;
}

static bool ReadHeader(Package& package) {
    if (!WithinPackage(package, 0, kHeaderSize) ||
        !ReadFileBytes(package.packageWindow, package.packageOffset, kHeaderSize,
                       &package.header)) {
        return false;
    }
    const PackageHeader& header = package.header;
    return MagicOf(header) != PackageMagic::None && header.entryCount != 0 &&
           header.directoryOffset != 0;
}

static bool ReadDirectory(Package& package) {
    const PackageHeader& header = package.header;
    const uint64_t directoryLength = uint64_t{header.entryCount} * kEntrySize;
    if (directoryLength > UINT32_MAX) {
        return false;
    }
    const uint32_t storage = header.headerFlags & kDirectoryStorageMask;
    if (storage == kDirectoryRejected) {
        return false;
    }
    const bool compressed = storage == kDirectoryZlib;
    const uint64_t packedLength = compressed ? header.packedDirectorySize : directoryLength;
    // A directory that cannot be there is refused before anything is allocated for it.
    if (!WithinPackage(package, header.directoryOffset, packedLength) ||
        (compressed && directoryLength > packedLength * kMaxInflateRatio)) {
        return false;
    }
    package.directory = new (std::nothrow) DirectoryEntry[header.entryCount];
    if (package.directory == nullptr) {
        return false;
    }
    Walk out = MemoryWalk(package.directory, directoryLength);
    return Unpack(package, header.directoryOffset, packedLength, compressed, out);
}

bool MapPackageFile(Package& package, const char* path) {
    package = Package{};
    package.packageFile = platform::OpenFileRead(path);
    if (!package.packageFile.valid() ||
        !platform::GetFileLength(package.packageFile, &package.packageWindow.length)) {
        return false;
    }
    package.packageWindow.mapping = platform::CreateReadMapping(package.packageFile);
    return package.packageWindow.mapping.valid();
}

int64_t OpenPackage(Package& package, const char* path, bool embedded) {
    if (!MapPackageFile(package, path) || !LocatePackage(package, embedded) ||
        !ReadHeader(package) || !ReadDirectory(package)) {
        return -1;
    }
    return static_cast<int64_t>(package.packageOffset);
}

int FindEntry(const Package& package, const char* name) {
    if (package.directory == nullptr) {
        return -1;
    }
    const size_t nameLength = strlen(name);
    for (uint32_t index = 0; index < package.header.entryCount; ++index) {
        const DirectoryEntry& entry = package.directory[index];
        if (NamesMatch(entry.name, kNameSize, name, nameLength)) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

// Loads the entry's content into `out`, a walk of exactly its `size` bytes. A delta holds no
// content of its own: it is applied to the file it replaces (StartDeltaEntry).
static bool LoadEntryInto(const Package& package, const DirectoryEntry& entry, Walk& out) {
    switch (StorageOf(package.header, entry)) {
        case EntryStorage::Stored:
            return Unpack(package, entry.dataOffset, entry.size, false, out);
        case EntryStorage::Compressed:
            return Unpack(package, entry.dataOffset, entry.storedSize, true, out);
        case EntryStorage::Delta:
            break;
    }
    EndWalk(out);
    return false;
}

bool LoadEntry(const Package& package, const DirectoryEntry& entry, void* destination) {
    Walk out = MemoryWalk(destination, entry.size);
    return LoadEntryInto(package, entry, out);
}

bool LoadEntryToFile(const Package& package, const DirectoryEntry& entry,
                     platform::Mapping destination) {
    Walk out = FileWalk(destination, 0, entry.size);
    return LoadEntryInto(package, entry, out);
}

bool EntryData(const Package& package, const DirectoryEntry& entry, Walk* data) {
    const uint64_t length =
        StorageOf(package.header, entry) == EntryStorage::Stored ? entry.size : entry.storedSize;
    if (!WithinPackage(package, entry.dataOffset, length)) {
        return false;
    }
    *data = FileWalk(package.packageWindow, package.packageOffset + entry.dataOffset, length);
    return true;
}

bool StartDeltaEntry(const Package& package, const DirectoryEntry& entry, Walk* delta,
                     DeltaHeader* header) {
    if (StorageOf(package.header, entry) != EntryStorage::Delta ||
        (entry.entryFlags & kEntryCompressed) != 0 || IsControlSection(entry) ||
        !EntryData(package, entry, delta)) {
        return false;
    }
    if (!ReadDeltaHeader(*delta, header) || header->newSize != entry.size) {
        EndWalk(*delta);
        return false;
    }
    return true;
}

void ClosePackage(Package& package) {
    delete[] package.directory;
    package.directory = nullptr;
    if (package.packageFile.valid()) {
        if (package.packageWindow.mapping.valid()) {
            CloseWindow(package.packageWindow);
            platform::CloseMapping(package.packageWindow.mapping);
        }
        platform::CloseFile(package.packageFile);
    }
    package = Package{};
}
