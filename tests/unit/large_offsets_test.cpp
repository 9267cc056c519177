// Offsets and sizes beyond 2^31 (the format allows up to 4 GiB): packages whose data and
// directory lie beyond 2 GiB, a self-contained patch whose package starts there, and, when
// QLM_LARGE_TESTS is set, a payload file of 2.5 GiB applied and bound. The packages are sparse
// files, so only the bytes that matter take disk space; the 2.5 GiB output cannot be.
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

// A file of a given length that is all holes but for the bytes put into it.
class SparseFile {
  public:
    SparseFile(const std::string& path, uint64_t length)
        : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {
        EXPECT_EQ(ftruncate(fd_, static_cast<off_t>(length)), 0) << path;
    }
    ~SparseFile() { close(fd_); }
    SparseFile(const SparseFile&) = delete;
    SparseFile& operator=(const SparseFile&) = delete;

    void Put(uint64_t offset, const Bytes& bytes) {
        EXPECT_EQ(pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(bytes.size()));
    }

  private:
    int fd_;
};

// One entry placed where the test says, its data stored or compressed.
struct Placed {
    std::string name;
    uint32_t dataOffset;
    Bytes content;  // for a stored entry whose data is left as holes: empty, with `size`
    bool compressed = false;
    uint32_t size = 0;  // used when content is empty
};

// Writes the header, each entry's data at its offset and a stored directory at
// `directoryOffset`, all counted from `packageOffset` in the file.
void PlacePackage(SparseFile& file, uint64_t packageOffset, const std::vector<Placed>& entries,
                  uint32_t directoryOffset) {
    Bytes directory;
    for (const Placed& placed : entries) {
        const Bytes data = placed.compressed ? pkgbuild::Compress(placed.content) : placed.content;
        DirectoryEntry entry{};
        std::memcpy(entry.name, placed.name.data(), placed.name.size());
        entry.dataOffset = placed.dataOffset;
        entry.size =
            placed.content.empty() ? placed.size : static_cast<uint32_t>(placed.content.size());
        entry.entryFlags = placed.compressed ? 0x0011 : 0;
        entry.storedSize = placed.compressed ? static_cast<uint32_t>(data.size()) : 0;
        const auto* record = reinterpret_cast<const uint8_t*>(&entry);
        directory.insert(directory.end(), record, record + kEntrySize);
        file.Put(packageOffset + placed.dataOffset, data);
    }
    PackageHeader header{};
    std::memcpy(header.magic, kPackageMagic, kMagicSize);
    header.entryCount = static_cast<uint32_t>(entries.size());
    header.directoryOffset = directoryOffset;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
    file.Put(packageOffset, Bytes(bytes, bytes + kHeaderSize));
    file.Put(packageOffset + directoryOffset, directory);
}

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>((i / 5) * 31 + seed);
    }
    return bytes;
}

// Loads every entry that has content and compares it.
void ExpectEntriesLoad(const Package& package, const std::vector<Placed>& entries) {
    for (const Placed& placed : entries) {
        if (placed.content.empty()) {
            continue;
        }
        const int index = FindEntry(package, placed.name.c_str());
        ASSERT_GE(index, 0) << placed.name;
        Bytes loaded(placed.content.size());
        EXPECT_TRUE(LoadEntry(package, package.directory[index], loaded.data())) << placed.name;
        EXPECT_EQ(loaded, placed.content) << placed.name;
    }
}

TEST(LargeOffsets, DataAndDirectoryBeyond2GiBUpTo4GiB) {
    TempFolder folder("qlm_large");
    const std::string path = folder.Path("package.dat");
    const std::vector<Placed> entries = {
        {.name = "low.bin", .dataOffset = 1000, .content = Pattern(100, 1)},
        {.name = "across.bin", .dataOffset = k2GiB - 2000, .content = Pattern(5000, 2)},
        {.name = "high.bin",
         .dataOffset = k2GiB + 12345,
         .content = Pattern(10000, 3),
         .compressed = true},
        {.name = "top.bin", .dataOffset = UINT32_MAX - 100, .content = Pattern(64, 4)},
    };
    {
        SparseFile file(path, UINT32_MAX);
        PlacePackage(file, 0, entries, 0xF0000000);
    }
    Package package;
    ASSERT_EQ(OpenPackage(package, path.c_str(), false), 0);
    ExpectEntriesLoad(package, entries);
    ClosePackage(package);
}

TEST(LargeOffsets, SelfContainedPatchWhosePackageStartsBeyond2GiB) {
    TempFolder folder("qlm_large");
    const std::string path = folder.Path("patch.exe");
    const uint64_t imageLength = k2GiB + 4096 + 5;
    const std::vector<Placed> entries = {
        {.name = "data.bin", .dataOffset = 32, .content = Pattern(3000, 5), .compressed = true},
    };
    const uint32_t directoryOffset = 4000;
    const uint64_t packageEnd = imageLength + directoryOffset + kEntrySize;
    {
        SparseFile file(path, packageEnd + kTrailerSize);
        PlacePackage(file, imageLength, entries, directoryOffset);
        Bytes trailer = {0, 0, 0, 0, 'Q', 'L', 'M', 'R'};
        const uint32_t packageOffset = static_cast<uint32_t>(imageLength);
        std::memcpy(trailer.data(), &packageOffset, 4);
        file.Put(packageEnd, trailer);
    }
    Package package;
    ASSERT_EQ(OpenPackage(package, path.c_str(), true), static_cast<int64_t>(imageLength));
    ExpectEntriesLoad(package, entries);
    ClosePackage(package);
}

// Reads one byte of a file at a 64-bit offset.
int ByteAt(const std::string& path, uint64_t offset) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    uint8_t byte = 0;
    const ssize_t got = pread(fd, &byte, 1, static_cast<off_t>(offset));
    close(fd);
    return got == 1 ? byte : -1;
}

// Writes 2.5 GiB twice (the payload file, then the self-contained patch): not in the default
// run. QLM_LARGE_TESTS=1 ctest --preset host -R LargeOffsets
TEST(LargeOffsets, PayloadFileOf2Point5GiBLoadsAndBinds) {
    if (getenv("QLM_LARGE_TESTS") == nullptr) {
        GTEST_SKIP() << "writes 5 GiB; set QLM_LARGE_TESTS=1 to run it";
    }
    TempFolder folder("qlm_large");
    const std::string packagePath = folder.Path("package.dat");
    const uint32_t bigSize = (5u << 29);  // 2.5 GiB
    const uint32_t bigOffset = 32;
    // Bytes of the big file that are not zero, below, at and above 2^31.
    const uint64_t marks[] = {0, 1u << 20, k2GiB - 1, k2GiB, k2GiB + 1, bigSize - 1};
    const std::vector<Placed> entries = {
        {.name = "big.bin", .dataOffset = bigOffset, .content = {}, .size = bigSize},
        {.name = "after.bin",
         .dataOffset = bigOffset + bigSize,
         .content = Pattern(2000, 6),
         .compressed = true},
    };
    const uint32_t directoryOffset = bigOffset + bigSize + 4096;
    {
        SparseFile file(packagePath, directoryOffset + 2 * kEntrySize);
        PlacePackage(file, 0, entries, directoryOffset);
        for (const uint64_t mark : marks) {
            file.Put(bigOffset + mark, {static_cast<uint8_t>(mark % 251 + 1)});
        }
    }

    Package package;
    ASSERT_EQ(OpenPackage(package, packagePath.c_str(), false), 0);
    const std::string bigPath = folder.Path("big.bin");
    platform::File file = platform::CreateFileReadWrite(bigPath.c_str());
    platform::Mapping mapping = platform::CreateWriteMapping(file, bigSize);
    ASSERT_TRUE(mapping.valid());
    EXPECT_TRUE(LoadEntryToFile(package, package.directory[0], mapping));
    platform::CloseMapping(mapping);
    platform::CloseFile(file);
    ClosePackage(package);
    for (const uint64_t mark : marks) {
        EXPECT_EQ(ByteAt(bigPath, mark), static_cast<int>(mark % 251 + 1)) << mark;
        EXPECT_EQ(ByteAt(bigPath, mark + 3), mark + 3 < bigSize ? 0 : -1) << mark;
    }
    std::remove(bigPath.c_str());

    const std::string imagePath = folder.Path("PATCH.EXE");
    const std::string patchPath = folder.Path("bound.exe");  // not patch.exe: names fold case
    ASSERT_TRUE(pkgbuild::WriteFile(imagePath, Pattern(77824, 7)));
    ASSERT_TRUE(BindPackage(imagePath.c_str(), packagePath.c_str(), patchPath.c_str()));
    ASSERT_EQ(OpenPackage(package, patchPath.c_str(), true), 77824);
    ExpectEntriesLoad(package, entries);
    ClosePackage(package);
    for (const uint64_t mark : marks) {
        EXPECT_EQ(ByteAt(patchPath, 77824 + bigOffset + mark), static_cast<int>(mark % 251 + 1));
    }
}

}  // namespace
