// The floor of each way of writing new files, for bench/archivers.sh: extracts the regular
// files of a plain (ustar) tar of one folder, with nothing else around them (no lookups, no
// backups, no progress). Not part of the product.
//
//   extract_floor views TAR FOLDER    each file the way qlmpatch makes it, through the same
//                                     calls: created, reserved at its final size by its
//                                     mapping, filled through views, closed
//   extract_floor write TAR FOLDER    each file created and filled with one write(2)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "package/window.h"
#include "platform/platform.h"

namespace {

constexpr size_t kBlock = 512;

// A ustar header's octal number field; false for anything but octal digits, spaces and NULs.
bool ParseOctal(const char* field, size_t width, uint64_t& value) {
    value = 0;
    for (size_t i = 0; i < width && field[i] != '\0' && field[i] != ' '; ++i) {
        if (field[i] < '0' || field[i] > '7' || value > (UINT64_MAX >> 3)) {
            return false;
        }
        value = value * 8 + static_cast<uint64_t>(field[i] - '0');
    }
    return true;
}

// Through the installer's own calls: the mapping reserves the file at its final size, and the
// walk fills it view by view. The posix backend's File is the descriptor itself.
bool WriteThroughViews(int fd, const char* data, size_t size) {
    const platform::Mapping mapping = platform::CreateWriteMapping(platform::File{fd}, size);
    if (!mapping.valid()) {
        return false;
    }
    Walk from = MemoryWalk(const_cast<char*>(data), size);  // only read
    Walk to = FileWalk(mapping, 0, size);
    const bool copied = CopyWalk(from, to) && WalkDone(to);
    EndWalk(to);
    platform::CloseMapping(mapping);
    return copied;
}

bool WriteWhole(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool ExtractFile(const std::string& path, const char* data, size_t size, bool views) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool written =
        size == 0 || (views ? WriteThroughViews(fd, data, size) : WriteWhole(fd, data, size));
    return close(fd) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (strcmp(argv[1], "views") != 0 && strcmp(argv[1], "write") != 0)) {
        fprintf(stderr, "usage: extract_floor views|write TAR FOLDER\n");
        return 2;
    }
    const bool views = strcmp(argv[1], "views") == 0;
    const int tar = open(argv[2], O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (tar < 0 || fstat(tar, &info) != 0 || info.st_size <= 0) {
        fprintf(stderr, "extract_floor: cannot read %s\n", argv[2]);
        return 1;
    }
    const size_t length = static_cast<size_t>(info.st_size);
    const void* base = mmap(nullptr, length, PROT_READ, MAP_SHARED, tar, 0);
    if (base == MAP_FAILED) {
        fprintf(stderr, "extract_floor: cannot map %s\n", argv[2]);
        return 1;
    }
    const char* bytes = static_cast<const char*>(base);
    for (size_t at = 0; length - at >= kBlock && bytes[at] != '\0';) {
        const char* header = bytes + at;
        uint64_t size = 0;
        if (!ParseOctal(header + 124, 12, size) || size > length - at - kBlock) {
            fprintf(stderr, "extract_floor: damaged entry at %zu\n", at);
            return 1;
        }
        const std::string name(header, strnlen(header, 100));
        const bool regular = header[156] == '0' || header[156] == '\0';
        const bool flat = name.find('/', name.rfind("./") == 0 ? 2 : 0) == std::string::npos;
        if (regular && !flat) {
            fprintf(stderr, "extract_floor: %s is not in the top folder\n", name.c_str());
            return 1;
        }
        if (regular && !ExtractFile(std::string(argv[3]) + "/" + name, header + kBlock,
                                    static_cast<size_t>(size), views)) {
            fprintf(stderr, "extract_floor: cannot write %s\n", name.c_str());
            return 1;
        }
        const uint64_t blocks = (size + kBlock - 1) / kBlock;
        at += kBlock + static_cast<size_t>(blocks) * kBlock;
        if (at > length) {
            break;
        }
    }
    return 0;
}
