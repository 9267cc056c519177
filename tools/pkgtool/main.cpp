// pkgtool: the patch author's tool. `build` turns a manifest into a package; `list` prints a
// package's header and directory, one entry a line, and checks that every entry can be loaded.
// `list` trusts nothing in the file: each offset and size is checked against the file's
// length before it is followed, so a damaged package is described, never read out of bounds.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "manifest.h"
#include "package/format.h"
#include "package/reader.h"
#include "package/signature.h"
#include "package/window.h"
#include "package_builder.h"
#include "platform/platform.h"
#include "platform/posix/text.h"

namespace {

using pkgbuild::Bytes;

constexpr char kUsage[] = "usage: pkgtool build MANIFEST OUTPUT | pkgtool list PACKAGE|PATCH\n";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// `size` bytes at `offset` lie within `length` bytes; no sum can overflow in 64 bits.
bool Within(uint64_t offset, uint64_t size, uint64_t length) {
    return offset <= length && size <= length - offset;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "pkgtool: %s\n", message.c_str());
    return kExitFailure;
}

// build -------------------------------------------------------------------------------------

int BuildPackage(const char* manifestPath, const char* outputPath) {
    Bytes text;
    if (!pkgbuild::ReadFile(manifestPath, &text)) {
        return Fail(std::string("cannot read ") + manifestPath);
    }
    const std::string base = std::filesystem::path(manifestPath).parent_path().string();
    pkgbuild::Package package;
    std::string error;
    if (!pkgbuild::ParseManifest(std::string(text.begin(), text.end()), base, &package, &error)) {
        return Fail(std::string(manifestPath) + ": " + error);
    }
    if (!pkgbuild::BuildFile(package, outputPath, &error)) {
        return Fail(std::string(outputPath) + ": " + error);
    }
    return 0;
}

// list --------------------------------------------------------------------------------------

// The file being listed, read through the installer's own windows, so that a package of
// several GiB is listed without being read into memory. The package's bytes run from `start`
// for `length` bytes (up to the trailer, when there is one).
struct ListedFile {
    platform::File file;
    WindowedFile data;
    uint64_t start = 0;
    uint64_t length = 0;
};

bool ReadAt(ListedFile& listed, uint64_t offset, uint32_t size, void* out) {
    return Within(offset, size, listed.length) &&
           ReadFileBytes(listed.data, listed.start + offset, size, out);
}

// The package starts at byte 0 when the magic is there; otherwise a trailer may point at it,
// found as the installer finds it (before the certificate table of a signed file). Without
// either, byte 0 is taken, so that the header is still shown with its wrong magic.
bool LocatePackage(ListedFile* listed, std::string* problem) {
    const uint64_t fileLength = listed->data.length;
    uint8_t magic[kMagicSize];
    const bool magicAtStart = fileLength >= kMagicSize &&
                              ReadFileBytes(listed->data, 0, kMagicSize, magic) &&
                              std::memcmp(magic, kPackageMagic, kMagicSize) == 0;
    const uint64_t partEnd = PackagePartEnd(listed->data);
    PackageTrailer trailer;
    listed->start = 0;
    listed->length = fileLength;
    if (!magicAtStart && partEnd >= kTrailerSize &&
        ReadFileBytes(listed->data, partEnd - kTrailerSize, kTrailerSize, &trailer) &&
        std::memcmp(trailer.trailerMagic, kTrailerMagic, sizeof kTrailerMagic) == 0) {
        listed->start = trailer.packageOffset;
        std::printf("self-contained patch: package at file offset %llu\n",
                    static_cast<unsigned long long>(listed->start));
        if (partEnd != fileLength) {
            std::printf(
                "signed: the trailer ends at file offset %llu, before a certificate table\n",
                static_cast<unsigned long long>(partEnd));
        }
        if (!Within(listed->start, kHeaderSize, partEnd - kTrailerSize)) {
            *problem = "the trailer's packageOffset " + std::to_string(listed->start) +
                       " leaves no room for a package header before the trailer";
            return false;
        }
        listed->length = partEnd - kTrailerSize - listed->start;
    }
    if (listed->length < kHeaderSize) {
        *problem =
            "the file is too short for a package header (" + std::to_string(fileLength) + " bytes)";
        return false;
    }
    return true;
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
    if (std::memcmp(header.magic, kPackageMagic, kMagicSize) != 0) {
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
bool StreamInflatesTo(ListedFile& listed, uint64_t offset, uint32_t packedSize, uint32_t size) {
    static uint8_t scratch[1 << 16];
    Walk from = FileWalk(listed.data, listed.start + offset, packedSize);
    Walk to = ScratchWalk(scratch, sizeof scratch, size);
    const bool whole = InflateWalk(from, to);
    EndWalk(from);
    return whole;
}

bool ReadDirectory(ListedFile& listed, const PackageHeader& header, Bytes* directory,
                   std::string* problem) {
    const uint64_t directorySize = uint64_t{header.entryCount} * kEntrySize;
    const uint64_t offset = header.directoryOffset;
    const bool compressed = (header.headerFlags & kDirectoryStorageMask) == kDirectoryZlib;
    const uint64_t packedSize = compressed ? header.packedDirectorySize : directorySize;
    if (!Within(offset, packedSize, listed.length)) {
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
    Walk from = FileWalk(listed.data, listed.start + offset, packedSize);
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

// Why an entry cannot be loaded, or "" when it can.
std::string EntryProblem(ListedFile& listed, const DirectoryEntry& entry) {
    if ((entry.entryFlags & kEntryCompressed) == 0) {
        return Within(entry.dataOffset, entry.size, listed.length) ? "" : "data outside the file";
    }
    if (!Within(entry.dataOffset, entry.storedSize, listed.length)) {
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

int ListMappedPackage(const char* path, ListedFile& listed) {
    std::string problem;
    if ((listed.data.length != 0 && !listed.data.mapping.valid()) ||
        !LocatePackage(&listed, &problem)) {
        return Fail(std::string(path) + ": " +
                    (problem.empty() ? "cannot read the file" : problem));
    }
    PackageHeader header;
    if (!ReadAt(listed, 0, kHeaderSize, &header)) {
        return Fail(std::string(path) + ": cannot read the header");
    }
    const bool magicOk = std::memcmp(header.magic, kPackageMagic, kMagicSize) == 0;
    const uint32_t storage = header.headerFlags & kDirectoryStorageMask;
    std::printf("magic: %s\n", magicOk ? "ok" : "wrong");
    std::printf("entryCount: %u\n", header.entryCount);
    std::printf("directoryOffset: %u\n", header.directoryOffset);
    std::printf("headerFlags: 0x%08X (directory %s)\n", header.headerFlags, StorageName(storage));
    std::printf("packedDirectorySize: %u\n", header.packedDirectorySize);

    Bytes directory;
    if (!HeaderUsable(header, &problem) || !ReadDirectory(listed, header, &directory, &problem)) {
        return Fail(std::string(path) + ": " + problem);
    }
    std::printf("%5s  %-32s %10s %10s %10s %10s  %s\n", "#", "name", "dataOffset", "size",
                "entryFlags", "storedSize", "storage");
    uint32_t broken = 0;
    for (uint32_t i = 0; i < header.entryCount; ++i) {
        DirectoryEntry entry;
        std::memcpy(&entry, directory.data() + uint64_t{i} * kEntrySize, kEntrySize);
        const size_t nameLength = strnlen(entry.name, kNameSize);
        const std::string name =
            pkgbuild::Windows1251ToUtf8(std::string_view(entry.name, nameLength));
        const size_t width = DisplayWidth(name);
        const std::string entryProblem = EntryProblem(listed, entry);
        broken += !entryProblem.empty();
        std::printf("%5u  %s%*s %10u %10u     0x%04X %10u  %s%s%s\n", i, name.c_str(),
                    static_cast<int>(width < 32 ? 32 - width : 0), "", entry.dataOffset, entry.size,
                    entry.entryFlags, entry.storedSize,
                    (entry.entryFlags & kEntryCompressed) ? "compressed" : "stored",
                    entryProblem.empty() ? "" : "  ! ", entryProblem.c_str());
    }
    if (broken != 0) {
        return Fail(std::string(path) + ": " + std::to_string(broken) +
                    (broken == 1 ? " entry cannot" : " entries cannot") + " be loaded");
    }
    return 0;
}

void Release(ListedFile& listed) {
    if (listed.data.mapping.valid()) {
        CloseWindow(listed.data);
        platform::CloseMapping(listed.data.mapping);
    }
    platform::CloseFile(listed.file);
}

int ListPackage(const char* path) {
    // The platform layer takes the installer's Windows-1251 names; this one is the system's.
    std::string name;
    ListedFile listed;
    if (platform::posix::Utf8ToCp1251Exact(path, &name)) {
        listed.file = platform::OpenFileRead(name.c_str());
    }
    if (!platform::GetFileLength(listed.file, &listed.data.length)) {
        platform::CloseFile(listed.file);
        return Fail(std::string("cannot read ") + path);
    }
    listed.data.mapping = platform::CreateReadMapping(listed.file);
    const int status = ListMappedPackage(path, listed);
    Release(listed);
    return status;
}

int Usage() {
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "build") == 0) {
        return BuildPackage(argv[2], argv[3]);
    }
    if (argc == 3 && std::strcmp(argv[1], "list") == 0) {
        return ListPackage(argv[2]);
    }
    return Usage();
}
