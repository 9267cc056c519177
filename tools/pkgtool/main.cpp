// pkgtool: the patch author's tool. `build` turns a manifest into a package; `list` prints a
// package's header and directory, one entry a line, and checks that every entry can be loaded.
// `list` trusts nothing in the file: each offset and size is checked against the file's
// length before it is followed, so a damaged package is described, never read out of bounds.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "manifest.h"
#include "package/format.h"
#include "package/reader.h"
#include "package_builder.h"

namespace {

using pkgbuild::Bytes;

constexpr char kUsage[] = "usage: pkgtool build MANIFEST OUTPUT | pkgtool list PACKAGE|PATCH\n";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr uint64_t kMaxPackageSize = UINT32_MAX;

uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

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
    const Bytes bytes = pkgbuild::Build(package);
    if (bytes.size() > kMaxPackageSize) {
        return Fail("the package would be larger than 4 GiB, which its offsets cannot reach");
    }
    if (!pkgbuild::WriteFile(outputPath, bytes)) {
        return Fail(std::string("cannot write ") + outputPath);
    }
    return 0;
}

// list --------------------------------------------------------------------------------------

// A package inside a file: its bytes run from `start` to the end of the file.
struct PackageView {
    const uint8_t* data = nullptr;
    uint64_t length = 0;
};

// The package starts at byte 0 when the magic is there; otherwise a trailer may point at it.
// Without either, byte 0 is taken, so that the header is still shown with its wrong magic.
bool LocatePackage(const Bytes& file, PackageView* view, std::string* problem) {
    uint64_t start = 0;
    const bool magicAtStart =
        file.size() >= kMagicSize && std::memcmp(file.data(), kPackageMagic, kMagicSize) == 0;
    if (!magicAtStart && file.size() >= kTrailerSize &&
        std::memcmp(file.data() + file.size() - 4, kTrailerMagic, 4) == 0) {
        start = ReadU32(file.data() + file.size() - kTrailerSize);
        std::printf("self-contained patch: package at file offset %llu\n",
                    static_cast<unsigned long long>(start));
        if (!Within(start, kHeaderSize, file.size() - kTrailerSize)) {
            *problem = "the trailer's packageOffset " + std::to_string(start) +
                       " leaves no room for a package header before the trailer";
            return false;
        }
    }
    if (!Within(start, kHeaderSize, file.size())) {
        *problem = "the file is too short for a package header (" + std::to_string(file.size()) +
                   " bytes)";
        return false;
    }
    view->data = file.data() + start;
    view->length = file.size() - start;
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

// Inflates one complete zlib stream of `packed` into exactly `out->size()` bytes.
// Inflates a stream only to see that it ends after exactly `size` bytes.
bool StreamInflatesTo(const uint8_t* packed, uint32_t packedSize, uint32_t size) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        return false;
    }
    stream.next_in = const_cast<Bytes::value_type*>(packed);
    stream.avail_in = packedSize;
    uint8_t scratch[65536];
    uint64_t total = 0;
    int result = Z_OK;
    while (result == Z_OK && total <= size) {
        stream.next_out = scratch;
        stream.avail_out = sizeof scratch;
        result = inflate(&stream, Z_NO_FLUSH);
        total += sizeof scratch - stream.avail_out;
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END && total == size;
}

bool ReadDirectory(const PackageView& view, const PackageHeader& header, Bytes* directory,
                   std::string* problem) {
    const uint64_t directorySize = uint64_t{header.entryCount} * kEntrySize;
    const uint64_t offset = header.directoryOffset;
    if ((header.headerFlags & kDirectoryStorageMask) != kDirectoryZlib) {
        if (!Within(offset, directorySize, view.length)) {
            *problem = "the stored directory (" + std::to_string(directorySize) + " bytes at " +
                       std::to_string(offset) + ") does not lie within the file";
            return false;
        }
        directory->assign(view.data + offset, view.data + offset + directorySize);
        return true;
    }
    const uint32_t packedSize = header.packedDirectorySize;
    if (!Within(offset, packedSize, view.length)) {
        *problem = "the zlib directory (" + std::to_string(packedSize) + " bytes at " +
                   std::to_string(offset) + ") does not lie within the file";
        return false;
    }
    if (directorySize > uint64_t{packedSize} * kMaxInflateRatio) {
        *problem = "a zlib directory of " + std::to_string(packedSize) +
                   " bytes cannot inflate to " + std::to_string(directorySize);
        return false;
    }
    directory->resize(directorySize);
    // The installer's own inflation, so that the listing agrees with what it would read.
    if (!InflateExactly(view.data + offset, packedSize, directory->data(),
                        static_cast<uint32_t>(directorySize))) {
        *problem = "the zlib directory does not inflate to exactly " +
                   std::to_string(directorySize) + " bytes";
        return false;
    }
    return true;
}

// Why an entry cannot be loaded, or "" when it can.
std::string EntryProblem(const PackageView& view, const DirectoryEntry& entry) {
    if ((entry.entryFlags & kEntryCompressed) == 0) {
        return Within(entry.dataOffset, entry.size, view.length) ? "" : "data outside the file";
    }
    if (!Within(entry.dataOffset, entry.storedSize, view.length)) {
        return "data outside the file";
    }
    if (!StreamInflatesTo(view.data + entry.dataOffset, entry.storedSize, entry.size)) {
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

int ListPackage(const char* path) {
    Bytes file;
    if (!pkgbuild::ReadFile(path, &file)) {
        return Fail(std::string("cannot read ") + path);
    }
    PackageView view;
    std::string problem;
    if (!LocatePackage(file, &view, &problem)) {
        return Fail(std::string(path) + ": " + problem);
    }
    PackageHeader header;
    std::memcpy(&header, view.data, kHeaderSize);
    const bool magicOk = std::memcmp(header.magic, kPackageMagic, kMagicSize) == 0;
    const uint32_t storage = header.headerFlags & kDirectoryStorageMask;
    std::printf("magic: %s\n", magicOk ? "ok" : "wrong");
    std::printf("entryCount: %u\n", header.entryCount);
    std::printf("directoryOffset: %u\n", header.directoryOffset);
    std::printf("headerFlags: 0x%08X (directory %s)\n", header.headerFlags, StorageName(storage));
    std::printf("packedDirectorySize: %u\n", header.packedDirectorySize);

    Bytes directory;
    if (!HeaderUsable(header, &problem) || !ReadDirectory(view, header, &directory, &problem)) {
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
        const std::string entryProblem = EntryProblem(view, entry);
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
