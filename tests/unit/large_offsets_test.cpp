// Offsets and sizes beyond 2^31 (the format allows 4 GiB), on sparse files: only the bytes
// that matter take disk space. Applying and binding a 2.5 GiB payload file writes 5 GiB and
// runs only with QLM_LARGE_TESTS=1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "package/binder.h"
#include "package/reader.h"
#include "package_builder.h"
#include "temp_folder.h"

using pkgbuild::Bytes;

namespace {

constexpr uint64_t k2GiB = uint64_t{1} << 31;

struct Placed {
    std::string name;
    uint32_t dataOffset;
    Bytes content;  // empty: `size` bytes left as a hole, stored
    bool compressed = false;
    uint32_t size = 0;
};

// A sparse file of `length` bytes holding a package at `packageOffset`: the header, each
// entry's data where it is placed, and a stored directory at `directoryOffset`.
void WriteSparsePackage(const std::string& path, uint64_t length, uint64_t packageOffset,
                        const std::vector<Placed>& entries, uint32_t directoryOffset) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(length)), 0);
    auto put = [&](uint64_t offset, const void* bytes, size_t size) {
        ASSERT_EQ(pwrite(fd, bytes, size, static_cast<off_t>(packageOffset + offset)),
                  static_cast<ssize_t>(size));
    };
    std::vector<DirectoryEntry> directory;
    for (const Placed& placed : entries) {
        const Bytes data = placed.compressed ? pkgbuild::Compress(placed.content) : placed.content;
        DirectoryEntry& entry = directory.emplace_back();
        std::memcpy(entry.name, placed.name.data(), placed.name.size());
        entry.dataOffset = placed.dataOffset;
        entry.size = data.empty() ? placed.size : static_cast<uint32_t>(placed.content.size());
        entry.entryFlags = placed.compressed ? 0x0011 : 0;
        entry.storedSize = placed.compressed ? static_cast<uint32_t>(data.size()) : 0;
        put(placed.dataOffset, data.data(), data.size());
    }
    PackageHeader header{};
    std::memcpy(header.magic, kPackageMagic, kMagicSize);
    header.entryCount = static_cast<uint32_t>(entries.size());
    header.directoryOffset = directoryOffset;
    put(0, &header, kHeaderSize);
    put(directoryOffset, directory.data(), directory.size() * kEntrySize);
    const uint8_t trailer[8] = {uint8_t(packageOffset),
                                uint8_t(packageOffset >> 8),
                                uint8_t(packageOffset >> 16),
                                uint8_t(packageOffset >> 24),
                                'Q',
                                'L',
                                'M',
                                'R'};
    ASSERT_EQ(pwrite(fd, trailer, 8, static_cast<off_t>(length - 8)), 8);
    close(fd);
}

void ExpectEntriesLoad(const Package& package, const std::vector<Placed>& entries) {
    for (const Placed& placed : entries) {
        const int index = FindEntry(package, placed.name.c_str());
        ASSERT_GE(index, 0) << placed.name;
        if (!placed.content.empty()) {
            Bytes loaded(placed.content.size());
            EXPECT_TRUE(LoadEntry(package, package.directory[index], loaded.data()));
            EXPECT_EQ(loaded, placed.content) << placed.name;
        }
    }
}

TEST(LargeOffsets, DataDirectoryAndPackageBeyond2GiB) {
    TempFolder folder("qlm_large");
    struct Case {
        const char* what;
        uint64_t fileLength;
        uint64_t packageOffset;  // embedded when not 0
        std::vector<Placed> entries;
        uint32_t directoryOffset;
    };
    const Case cases[] = {
        {"data and directory up to 4 GiB into a package file",
         UINT32_MAX,
         0,
         {{"across.bin", k2GiB - 2000, pkgbuild::Pattern(5000, 2)},
          {"high.bin", k2GiB + 12345, pkgbuild::Pattern(10000, 3), true},
          {"top.bin", UINT32_MAX - 100, pkgbuild::Pattern(64, 4)}},
         0xF0000000},
        {"self-contained patch whose package starts beyond 2 GiB",
         k2GiB + 4096 + 5 + 8192,
         k2GiB + 4096 + 5,
         {{"data.bin", 32, pkgbuild::Pattern(3000, 5), true}},
         4000},
    };
    for (const Case& c : cases) {
        const std::string path = folder.Path("package.dat");
        WriteSparsePackage(path, c.fileLength, c.packageOffset, c.entries, c.directoryOffset);
        Package package;
        EXPECT_EQ(OpenPackage(package, path.c_str(), c.packageOffset != 0),
                  static_cast<int64_t>(c.packageOffset))
            << c.what;
        ExpectEntriesLoad(package, c.entries);
        ClosePackage(package);
    }
}

// Reads one byte of a file at a 64-bit offset; -1 past its end.
int ByteAt(const std::string& path, uint64_t offset) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    uint8_t byte = 0;
    const ssize_t got = pread(fd, &byte, 1, static_cast<off_t>(offset));
    close(fd);
    return got == 1 ? byte : -1;
}

TEST(LargeOffsets, PayloadFileOf2Point5GiBLoadsAndBinds) {
    if (getenv("QLM_LARGE_TESTS") == nullptr) {
        GTEST_SKIP() << "writes 5 GiB; QLM_LARGE_TESTS=1 ctest --preset host -R LargeOffsets";
    }
    TempFolder folder("qlm_large");
    const std::string packagePath = folder.Path("package.dat");
    const uint32_t bigSize = 5u << 29;  // 2.5 GiB, stored, at package offset 32
    const std::vector<Placed> entries = {
        {"big.bin", 32, {}, false, bigSize},
        {"after.bin", 32 + bigSize, pkgbuild::Pattern(2000, 6), true},
    };
    WriteSparsePackage(packagePath, 40u + bigSize + 4096, 0, entries, 32 + bigSize + 2048);
    // Marks of the big file below, at and above 2^31; a hole elsewhere.
    const uint64_t marks[] = {0, k2GiB - 1, k2GiB, k2GiB + 1, bigSize - 1};
    const int fd = open(packagePath.c_str(), O_RDWR | O_CLOEXEC);
    for (const uint64_t mark : marks) {
        const uint8_t value = static_cast<uint8_t>(mark % 251 + 1);
        ASSERT_EQ(pwrite(fd, &value, 1, static_cast<off_t>(32 + mark)), 1);
    }
    close(fd);

    Package package;
    ASSERT_EQ(OpenPackage(package, packagePath.c_str(), false), 0);
    const std::string bigPath = folder.Path("big.bin");
    platform::File file = platform::CreateFileReadWrite(bigPath.c_str());
    platform::Mapping mapping = platform::CreateWriteMapping(file, bigSize);
    EXPECT_TRUE(LoadEntryToFile(package, package.directory[0], mapping));
    platform::CloseMapping(mapping);
    platform::CloseFile(file);
    ClosePackage(package);

    const std::string imagePath = folder.Path("PATCH.EXE");
    const std::string boundPath = folder.Path("bound.exe");  // not patch.exe: names fold case
    ASSERT_TRUE(pkgbuild::WriteFile(imagePath, pkgbuild::Pattern(77824, 7)));
    ASSERT_TRUE(BindPackage(imagePath.c_str(), packagePath.c_str(), boundPath.c_str()));
    ASSERT_EQ(OpenPackage(package, boundPath.c_str(), true), 77824);
    ExpectEntriesLoad(package, entries);
    ClosePackage(package);
    for (const uint64_t mark : marks) {
        const int value = static_cast<int>(mark % 251 + 1);
        EXPECT_EQ(ByteAt(bigPath, mark), value) << mark;
        EXPECT_EQ(ByteAt(bigPath, mark + 3), mark + 3 < bigSize ? 0 : -1) << mark;
        EXPECT_EQ(ByteAt(boundPath, 77824 + 32 + mark), value) << mark;
    }
}

}  // namespace
