#include "package/reader.h"

#include <zlib.h>

#include <cstring>
#include <new>

// The stream record interface the reader asks zlib for; zlib accepts any 1.x caller.
static const char kZlibInterfaceVersion[] = "1.1.3";

size_t EntryNameLength(const DirectoryEntry& entry) {
    return strnlen(entry.name, kNameSize);
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

bool InflateExactly(const uint8_t* input, uint32_t inputLength, uint8_t* output,
                    uint32_t outputLength) {
    // zlib refuses a null output pointer even when nothing is to be written.
    uint8_t nothing = 0;
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit_(&stream, kZlibInterfaceVersion, static_cast<int>(sizeof stream)) != Z_OK) {
        return false;
    }
    stream.next_in = const_cast<Bytef*>(input);
    stream.avail_in = inputLength;
    stream.next_out = output != nullptr ? output : &nothing;
    stream.avail_out = outputLength;
    const int result = inflate(&stream, Z_NO_FLUSH);
    const bool complete = result == Z_STREAM_END && stream.avail_out == 0;
    inflateEnd(&stream);
    return complete;
}

// True when [offset, offset + length) lies within the package's part of the file.
static bool WithinPackage(const Package& package, uint64_t offset, uint64_t length) {
    const uint64_t available = package.packageEnd - package.packageOffset;
    return offset <= available && length <= available - offset;
}

static const uint8_t* PackageStart(const Package& package) {
    return package.packageView + package.packageOffset;
}

// Where the package lies in the file: from byte 0, or as the trailer at the end says.
static bool LocatePackage(Package& package, bool embedded) {
    if (!embedded) {
        package.packageOffset = 0;
        package.packageEnd = package.fileLength;
        return true;
    }
    if (package.fileLength < kTrailerSize) {
        return false;
    }
    PackageTrailer trailer;
    std::memcpy(&trailer, package.packageView + package.fileLength - kTrailerSize, kTrailerSize);
    if (std::memcmp(trailer.trailerMagic, kTrailerMagic, sizeof kTrailerMagic) != 0) {
        return false;
    }
    package.packageOffset = trailer.packageOffset;
    package.packageEnd = package.fileLength - kTrailerSize;
    return package.packageOffset <= package.packageEnd;
}

static bool ReadHeader(Package& package) {
    if (!WithinPackage(package, 0, kHeaderSize)) {
        return false;
    }
    std::memcpy(&package.header, PackageStart(package), kHeaderSize);
    const PackageHeader& header = package.header;
    return std::memcmp(header.magic, kPackageMagic, kMagicSize) == 0 && header.entryCount != 0 &&
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
    const uint64_t packedLength =
        storage == kDirectoryZlib ? header.packedDirectorySize : directoryLength;
    // A directory that cannot be there is refused before anything is allocated for it.
    if (!WithinPackage(package, header.directoryOffset, packedLength) ||
        (storage == kDirectoryZlib && directoryLength > packedLength * kMaxInflateRatio)) {
        return false;
    }
    package.directory = new (std::nothrow) DirectoryEntry[header.entryCount];
    if (package.directory == nullptr) {
        return false;
    }
    const uint8_t* packed = PackageStart(package) + header.directoryOffset;
    uint8_t* directory = reinterpret_cast<uint8_t*>(package.directory);
    if (storage == kDirectoryZlib) {
        return InflateExactly(packed, header.packedDirectorySize, directory,
                              static_cast<uint32_t>(directoryLength));
    }
    std::memcpy(directory, packed, directoryLength);
    return true;
}

int64_t OpenPackage(Package& package, const char* path, bool embedded) {
    package = Package{};
    package.packageFile = platform::OpenFileRead(path);
    if (!package.packageFile.valid() ||
        !platform::GetFileLength(package.packageFile, &package.fileLength)) {
        return -1;
    }
    package.packageMapping = platform::CreateReadMapping(package.packageFile);
    if (!package.packageMapping.valid()) {
        return -1;
    }
    package.packageView = platform::MapWholeView(package.packageMapping);
    if (package.packageView == nullptr) {
        return -1;
    }
    if (!LocatePackage(package, embedded) || !ReadHeader(package) || !ReadDirectory(package)) {
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

bool LoadEntry(const Package& package, const DirectoryEntry& entry, void* destination) {
    const bool compressed = (entry.entryFlags & kEntryCompressed) != 0;
    const uint32_t storedLength = compressed ? entry.storedSize : entry.size;
    if (!WithinPackage(package, entry.dataOffset, storedLength)) {
        return false;
    }
    const uint8_t* data = PackageStart(package) + entry.dataOffset;
    if (compressed) {
        return InflateExactly(data, entry.storedSize, static_cast<uint8_t*>(destination),
                              entry.size);
    }
    if (entry.size != 0) {
        std::memcpy(destination, data, entry.size);
    }
    return true;
}

void ClosePackage(Package& package) {
    delete[] package.directory;
    package.directory = nullptr;
    if (package.packageFile.valid()) {
        if (package.packageMapping.valid()) {
            if (package.packageView != nullptr) {
                platform::UnmapView(package.packageMapping, package.packageView);
            }
            platform::CloseMapping(package.packageMapping);
        }
        platform::CloseFile(package.packageFile);
    }
    package = Package{};
}
