#include "package/signature.h"

#include <cstring>

#include "package/window.h"

namespace {

// The DOS header.
constexpr uint8_t kDosMagic[2] = {'M', 'Z'};
constexpr uint64_t kNewHeaderOffsetField = 0x3C;  // e_lfanew: file offset of the PE signature

// The PE signature and the COFF file header after it.
constexpr uint8_t kPeSignature[4] = {'P', 'E', 0, 0};
constexpr uint64_t kFileHeaderSize = 20;
constexpr uint64_t kOptionalHeaderSizeField = 16;  // SizeOfOptionalHeader, in the file header

// The optional header: its magic tells where its two fields of interest lie.
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
struct OptionalLayout {
    uint16_t magic;
    uint64_t directoryCountField;  // NumberOfRvaAndSizes
    uint64_t directories;          // the data directories, 8 bytes each
};
constexpr OptionalLayout kLayouts[] = {{kPe32Magic, 92, 96}, {kPe32PlusMagic, 108, 112}};

constexpr uint32_t kSecurityDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY
constexpr uint64_t kDirectorySize = 8;      // an address (a file offset here), then a size
constexpr uint32_t kMaxPadding = 7;         // the table starts at a multiple of 8

bool Read16(WindowedFile& file, uint64_t offset, uint16_t* value) {
    uint8_t bytes[2];
    if (!ReadFileBytes(file, offset, sizeof bytes, bytes)) {
        return false;
    }
    *value = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    return true;
}

bool Read32(WindowedFile& file, uint64_t offset, uint32_t* value) {
    uint8_t bytes[4];
    if (!ReadFileBytes(file, offset, sizeof bytes, bytes)) {
        return false;
    }
    *value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
             static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
}

bool HasBytes(WindowedFile& file, uint64_t offset, const uint8_t* expected, uint32_t size) {
    uint8_t bytes[4];
    return size <= sizeof bytes && ReadFileBytes(file, offset, size, bytes) &&
           std::memcmp(bytes, expected, size) == 0;
}

// The file offset of the optional header and its layout; false when the file is no PE or its
// optional header does not lie within the file.
bool FindOptionalHeader(WindowedFile& file, uint64_t* optional, uint16_t* optionalSize,
                        const OptionalLayout** layout) {
    uint32_t newHeader = 0;
    if (!HasBytes(file, 0, kDosMagic, sizeof kDosMagic) ||
        !Read32(file, kNewHeaderOffsetField, &newHeader) ||
        !HasBytes(file, newHeader, kPeSignature, sizeof kPeSignature)) {
        return false;
    }
    const uint64_t fileHeader = uint64_t{newHeader} + sizeof kPeSignature;
    uint16_t magic = 0;
    if (!Read16(file, fileHeader + kOptionalHeaderSizeField, optionalSize)) {
        return false;
    }
    *optional = fileHeader + kFileHeaderSize;
    if (*optional > file.length || *optionalSize > file.length - *optional ||
        *optionalSize < sizeof magic || !Read16(file, *optional, &magic)) {
        return false;
    }
    for (const OptionalLayout& candidate : kLayouts) {
        if (candidate.magic == magic) {
            *layout = &candidate;
            return true;
        }
    }
    return false;
}

// The certificate table from the security directory; false when the optional header is too
// short to hold that entry or says it has no such entry.
bool FindCertificateTable(WindowedFile& file, uint32_t* tableOffset, uint32_t* tableSize) {
    uint64_t optional = 0;
    uint16_t optionalSize = 0;
    const OptionalLayout* layout = nullptr;
    if (!FindOptionalHeader(file, &optional, &optionalSize, &layout)) {
        return false;
    }
    const uint64_t entry = layout->directories + kSecurityDirectory * kDirectorySize;
    uint32_t directoryCount = 0;
    return entry + kDirectorySize <= optionalSize &&
           Read32(file, optional + layout->directoryCountField, &directoryCount) &&
           directoryCount > kSecurityDirectory && Read32(file, optional + entry, tableOffset) &&
           Read32(file, optional + entry + 4, tableSize);
}

}  // namespace

uint64_t PackagePartEnd(WindowedFile& file) {
    const uint64_t fileLength = file.length;
    uint32_t tableOffset = 0;
    uint32_t tableSize = 0;
    if (!FindCertificateTable(file, &tableOffset, &tableSize) || tableSize == 0 ||
        uint64_t{tableOffset} + tableSize != fileLength) {
        return fileLength;
    }
    // The zero bytes that align the table; the trailer's last byte ('R') is never zero.
    uint8_t padding[kMaxPadding];
    const uint32_t before = tableOffset < kMaxPadding ? tableOffset : kMaxPadding;
    if (!ReadFileBytes(file, tableOffset - before, before, padding)) {
        return tableOffset;
    }
    uint32_t zeros = 0;
    while (zeros < before && padding[before - 1 - zeros] == 0) {
        ++zeros;
    }
    return tableOffset - zeros;
}
