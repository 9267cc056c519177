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
#include "support.h"

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

void Put(int fd, uint64_t offset, const void* bytes, size_t size) {
    ASSERT_EQ(pwrite(fd, bytes, size, static_cast<off_t>(offset)), static_cast<ssize_t>(size));
}

// A sparse file of `length` bytes holding a package at `packageOffset` and a trailer pointing
// at it: the header, each entry's data where it is placed, and a stored directory.
void WriteSparsePackage(const std::string& path, uint64_t length, uint64_t packageOffset,
                        const std::vector<Placed>& entries, uint32_t directoryOffset) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(length)), 0);
    std::vector<DirectoryEntry> directory(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const Placed& placed = entries[i];
        const Bytes data = placed.compressed ? pkgbuild::Compress(placed.content) : placed.content;
        std::memcpy(directory[i].name, placed.name.data(), placed.name.size());
        directory[i].dataOffset = placed.dataOffset;
        directory[i].size =
            data.empty() ? placed.size : static_cast<uint32_t>(placed.content.size());
        directory[i].entryFlags = placed.compressed ? 0x0011 : 0;
        directory[i].storedSize = placed.compressed ? static_cast<uint32_t>(data.size()) : 0;
        Put(fd, packageOffset + placed.dataOffset, data.data(), data.size());
    }
    PackageHeader header{};
    std::memcpy(header.magic, kPackageMagic, kMagicSize);
    header.entryCount = static_cast<uint32_t>(entries.size());
    header.directoryOffset = directoryOffset;
    Put(fd, packageOffset, &header, kHeaderSize);
    Put(fd, packageOffset + directoryOffset, directory.data(), directory.size() * kEntrySize);
    const PackageTrailer trailer = {static_cast<uint32_t>(packageOffset), {'Q', 'L', 'M', 'R'}};
    Put(fd, length - kTrailerSize, &trailer, kTrailerSize);
    close(fd);
}

// Opens the package and loads every entry that has content; the package offset.
int64_t OpenAndLoad(const std::string& path, bool embedded, const std::vector<Placed>& entries) {
    Package package;
    const int64_t offset = OpenPackage(package, path.c_str(), embedded);
    for (const Placed& placed : entries) {
        const int index = offset < 0 ? -1 : FindEntry(package, placed.name.c_str());
        EXPECT_GE(index, 0) << placed.name;
        Bytes loaded(placed.content.size());
        EXPECT_TRUE(index < 0 || placed.content.empty() ||
                    (LoadEntry(package, package.directory[index], loaded.data()) &&
                     loaded == placed.content))
            << placed.name;
    }
    ClosePackage(package);
    return offset;
}

TEST(LargeOffsets, DataDirectoryAndPackageBeyond2GiB) {
    test::TempFolder folder("qlm_large");
    const std::string path = folder.Path("package.dat");
    const std::vector<Placed> high = {
        {"across.bin", k2GiB - 2000, pkgbuild::Pattern(5000, 2)},
        {"high.bin", k2GiB + 12345, pkgbuild::Pattern(10000, 3), true},
        {"top.bin", UINT32_MAX - 100, pkgbuild::Pattern(64, 4)}};
    WriteSparsePackage(path, UINT32_MAX, 0, high, 0xF0000000);
    EXPECT_EQ(OpenAndLoad(path, false, high), 0);

    // A self-contained patch whose package starts beyond 2 GiB.
    const uint64_t start = k2GiB + 4096 + 5;
    const std::vector<Placed> low = {{"data.bin", 32, pkgbuild::Pattern(3000, 5), true}};
    WriteSparsePackage(path, start + 8192, start, low, 4000);
    EXPECT_EQ(OpenAndLoad(path, true, low), static_cast<int64_t>(start));
}

// One byte of a file at a 64-bit offset; -1 past its end.
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
    test::TempFolder folder("qlm_large");
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
        Put(fd, 32 + mark, &value, 1);
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
    EXPECT_EQ(OpenAndLoad(boundPath, true, entries), 77824);
    for (const uint64_t mark : marks) {
        const int value = static_cast<int>(mark % 251 + 1);
        EXPECT_EQ(ByteAt(bigPath, mark), value) << mark;
        EXPECT_EQ(ByteAt(bigPath, mark + 3), mark + 3 < bigSize ? 0 : -1) << mark;
        EXPECT_EQ(ByteAt(boundPath, 77824 + 32 + mark), value) << mark;
    }
}

}  // namespace
