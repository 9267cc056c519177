// The package reader on crafted packages: what it refuses, what it loads, through windows of any
// size, and embedded packages found behind the trailer of a plain or a signed executable.
#include "package/reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "package_builder.h"
#include "support.h"

using pkgbuild::Bytes;

namespace {

class Reader : public ::testing::Test {
  protected:
    void TearDown() override { ClosePackage(package_); }

    int64_t Open(const Bytes& bytes, bool embedded = false) {
        EXPECT_TRUE(pkgbuild::WriteFile(path_, bytes));
        return Reopen(path_, embedded);
    }
    int64_t Reopen(const std::string& path, bool embedded) {
        ClosePackage(package_);
        return OpenPackage(package_, path.c_str(), embedded);
    }

    // Loads the named entry into a buffer of exactly its size, a canary after it, and into a
    // new file of exactly its size, as payload files are written; both must agree.
    bool Load(const std::string& name, Bytes* content) {
        const int index = FindEntry(package_, name.c_str());
        if (index < 0) {
            return false;
        }
        const DirectoryEntry& entry = package_.directory[index];
        Bytes buffer(entry.size + 1, 0xEE);
        const bool loaded = LoadEntry(package_, entry, buffer.data());
        EXPECT_EQ(buffer.back(), 0xEE) << "wrote past the entry's size";
        buffer.pop_back();
        *content = buffer;
        if (entry.size > 0) {
            // A new name each time: rewriting a file just written makes ext4 flush it, slowly.
            const std::string path = folder_.Path("written" + std::to_string(++written_));
            platform::File file = platform::CreateFileReadWrite(path.c_str());
            platform::Mapping mapping = platform::CreateWriteMapping(file, entry.size);
            EXPECT_EQ(LoadEntryToFile(package_, entry, mapping), loaded) << name;
            platform::CloseMapping(mapping);
            platform::CloseFile(file);
            Bytes written;
            EXPECT_TRUE(!loaded || (pkgbuild::ReadFile(path, &written) && written == buffer));
            std::remove(path.c_str());
        }
        return loaded;
    }

    test::TempFolder folder_{"qlm_reader"};
    const std::string path_ = folder_.Path("package.dat");
    int written_ = 0;
    Package package_;
};

// The bytes with a little-endian value of `size` bytes written at `at`.
Bytes With(Bytes bytes, size_t at, uint32_t value, int size = 4) {
    for (int i = 0; i < size; ++i) {
        bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

uint32_t At(const Bytes& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, &bytes.at(at + 3) - 3, 4);
    return value;
}

pkgbuild::Package Sample(bool compressDirectory = true) {
    return {
        .entries = {{.name = ":RegistryKeys", .content = pkgbuild::ToBytes("keys")},
                    {.name = "data\\file.bin", .content = Bytes(5000, 'x'), .compressed = false}},
        .compressDirectory = compressDirectory};
}

TEST_F(Reader, RejectsMalformedPackages) {
    const Bytes good = pkgbuild::Build(Sample());
    const Bytes stored = pkgbuild::Build(Sample(false));
    const Bytes patch = pkgbuild::Bind(Bytes(100, 'M'), good);
    const size_t trailer = 100 + good.size();
    struct Case {
        const char* what;
        Bytes bytes;
        bool embedded;
    };
    const Case cases[] = {
        {"empty file", {}, false},
        {"16th magic byte", With(good, 15, 0x1B, 1), false},
        {"case of a magic letter", With(good, 0, 'q', 1), false},
        {"entryCount 0", With(good, 16, 0), false},
        {"directoryOffset 0", With(good, 20, 0), false},
        {"directory storage 1", With(good, 24, 1, 1), false},
        {"shorter than a header", Bytes(good.begin(), good.begin() + 31), false},
        {"stored directory past the end", With(stored, 16, 3, 1), false},
        {"directory offset past the end", With(good, 20, 0x7FFFFFFF), false},
        {"entryCount times 48 overflows", With(stored, 16, 0x10000000), false},
        {"packed directory past the end", With(good, 28, 0xFFFF), false},
        {"truncated zlib directory", With(good, 28, At(good, 28) - 5), false},
        {"zlib directory shorter than its entries", With(good, 16, 3, 1), false},
        {"no trailer", good, true},
        {"file shorter than a trailer", pkgbuild::ToBytes("QLMR"), true},
        {"trailer points past the end", With(patch, trailer, 0xFFFF), true},
        {"trailer points at bytes that are not the magic", With(patch, trailer, 50), true},
        {"self-contained patch opened as a package file", patch, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Open(c.bytes, c.embedded), -1) << c.what;
    }
    EXPECT_EQ(Reopen(folder_.Path("missing.dat"), false), -1);
}

TEST_F(Reader, AcceptsEveryDirectoryStorageButOne) {
    for (const uint32_t flags : {0u, 2u, 3u, 6u, 0xFFFFFFF0u}) {
        pkgbuild::Package package = Sample((flags & 3) == 2);  // the low two bits: zlib
        package.headerFlags = flags;
        if (!package.compressDirectory) {
            package.packedDirectorySize = 0xDEADBEEF;  // ignored for a stored directory
        }
        ASSERT_EQ(Open(pkgbuild::Build(package)), 0) << "flags " << flags;
        Bytes content;
        EXPECT_TRUE(Load(":RegistryKeys", &content));
        EXPECT_EQ(content, pkgbuild::ToBytes("keys"));
    }
}

TEST_F(Reader, FindEntryFoldsOnlyAsciiLetters) {
    const std::string full32(32, 'n');  // no NUL inside the name field
    ASSERT_EQ(Open(pkgbuild::Build({.entries = {{.name = ":Folders"},
                                                {.name = ":FOLDERS"},
                                                {.name = "Файл.txt"},
                                                {.name = full32}}})),
              0);
    const std::pair<std::string, int> cases[] = {
        {":FoLdErS", 0},   {"Файл.TXT", 2}, {"ФАЙЛ.txt", -1},   {"файл.txt", -1}, {":Folder", -1},
        {":Folders2", -1}, {full32, 3},     {full32 + "n", -1}, {"", -1},
    };
    for (const auto& [name, index] : cases) {
        EXPECT_EQ(FindEntry(package_, name.c_str()), index) << name;
    }
}

TEST_F(Reader, LoadEntryLoadsOnlyCompleteContent) {
    const Bytes content = pkgbuild::Pattern(3000, 1);
    const Bytes stream = pkgbuild::Compress(content);
    Bytes badAdler = stream;
    badAdler.back() ^= 0x01;
    Bytes damaged = stream;
    damaged[stream.size() / 2] ^= 0x55;
    const uint32_t truncated = static_cast<uint32_t>(stream.size() - 5);
    struct Case {
        const char* what;
        pkgbuild::Entry entry;
        bool loads;
    };
    const Case cases[] = {
        {"stored", {.content = content, .compressed = false}, true},
        {"stored, storedSize ignored",
         {.content = content, .compressed = false, .storedSize = 0xFFFFFFFF},
         true},
        {"compressed", {.content = content}, true},
        {"flags 0x0001 compressed", {.content = content, .entryFlags = 1}, true},
        {"stored size 0", {.content = {}, .compressed = false}, true},
        {"compressed size 0", {.content = {}}, true},
        {"damaged stream", {.content = content, .storedData = damaged}, false},
        {"wrong Adler-32", {.content = content, .storedData = badAdler}, false},
        {"truncated stream", {.content = content, .storedSize = truncated}, false},
        {"overlong stream", {.content = content, .size = 2999}, false},
        {"stream shorter than size", {.content = content, .size = 3001}, false},
        {"stored data past the end",
         {.content = content, .compressed = false, .size = 1000000},
         false},
        {"stream past the end", {.content = content, .storedSize = 0x7FFFFFFF}, false},
        {"data offset past the end",
         {.content = content, .compressed = false, .dataOffset = 0xFFFFFFF0},
         false},
    };
    for (const Case& c : cases) {
        pkgbuild::Entry entry = c.entry;
        entry.name = "a";
        ASSERT_EQ(Open(pkgbuild::Build({.entries = {entry}})), 0) << c.what;
        for (const uint32_t window : {0u, 13u, 64u}) {  // 0: the program's window
            test::ViewWindow small(window);
            Bytes loaded;
            EXPECT_EQ(Load("a", &loaded), c.loads) << c.what << ", window " << window;
            EXPECT_TRUE(!c.loads || loaded == c.entry.content) << c.what << ", window " << window;
        }
    }
}

// Every entry loads the same, separate or embedded, through windows of any size: tiny ones,
// and ones that end exactly at, one byte before or one byte after the end of each entry's
// data, the directory, the header and the trailer, or each entry's size.
TEST_F(Reader, EverythingLoadsThroughWindowsOfAnySize) {
    pkgbuild::Package package = {
        .entries = {
            {.name = ":Folders", .content = pkgbuild::StringList({"bin", "data"})},
            {.name = "stored.bin", .content = pkgbuild::Pattern(300, 1), .compressed = false},
            {.name = "packed.bin", .content = pkgbuild::Pattern(2000, 2)},
            {.name = "zeros.bin", .content = Bytes(3000, 0)},
            {.name = "empty.bin", .content = {}}}};
    const uint64_t image = 1000;
    const std::string embeddedPath = folder_.Path("patch.exe");
    for (const bool compressDirectory : {true, false}) {
        package.compressDirectory = compressDirectory;
        const Bytes separate = pkgbuild::Build(package);
        ASSERT_TRUE(pkgbuild::WriteFile(embeddedPath, pkgbuild::Bind(Bytes(image, 'M'), separate)));
        ASSERT_EQ(Open(separate), 0);
        const PackageHeader& header = package_.header;
        std::set<uint64_t> ends = {4096, image + kHeaderSize / 2, image + separate.size(),
                                   image + separate.size() + 4};
        const auto inBoth = [&](uint64_t end) { ends.insert({end, image + end}); };
        inBoth(header.directoryOffset +
               (compressDirectory ? header.packedDirectorySize : header.entryCount * kEntrySize));
        for (uint32_t i = 0; i < header.entryCount; ++i) {
            const DirectoryEntry& entry = package_.directory[i];
            ends.insert(entry.size);
            inBoth(entry.dataOffset +
                   ((entry.entryFlags & kEntryCompressed) ? entry.storedSize : entry.size));
        }
        std::set<uint32_t> windows = {13, 64};
        for (const uint64_t end : ends) {
            if (end > 64) {  // smaller ones are crossed many times by the windows above
                windows.insert({static_cast<uint32_t>(end - 1), static_cast<uint32_t>(end),
                                static_cast<uint32_t>(end + 1)});
            }
        }
        for (const uint32_t window : windows) {
            test::ViewWindow small(window);
            for (const bool embedded : {false, true}) {
                SCOPED_TRACE(testing::Message() << "window " << window << ", embedded " << embedded
                                                << ", zlib directory " << compressDirectory);
                ASSERT_EQ(Reopen(embedded ? embeddedPath : path_, embedded), embedded ? 1000 : 0);
                for (const pkgbuild::Entry& expected : package.entries) {
                    Bytes loaded;
                    EXPECT_TRUE(Load(expected.name, &loaded)) << expected.name;
                    EXPECT_EQ(loaded, expected.content) << expected.name;
                }
            }
        }
    }
}

// The byte examples of the format, as written by the package builder.
TEST(PackageBuilder, WritesTheFormatsFieldsAtTheirBytes) {
    const Bytes header = pkgbuild::Build({.entries = {{.name = "x"}},
                                          .entryCount = 7,
                                          .directoryOffset = 161481,
                                          .packedDirectorySize = 174});
    EXPECT_EQ(Bytes(header.begin(), header.begin() + 32),
              pkgbuild::ToBytes(std::string(
                  "Quellmar data  \x1A\x07\0\0\0\xC9\x76\x02\0\x02\0\0\0\xAE\0\0\0", 32)));
    const Bytes entry = pkgbuild::Build({.entries = {{.name = ":RegistryKeys",
                                                      .content = Bytes(92, 0),
                                                      .dataOffset = 139,
                                                      .storedSize = 94}},
                                         .compressDirectory = false});
    EXPECT_EQ(Bytes(entry.end() - 16, entry.end()),
              (Bytes{0x8B, 0, 0, 0, 0x5C, 0, 0, 0, 0, 0, 0x11, 0, 0x5E, 0, 0, 0}));
    const Bytes patch = pkgbuild::Bind(Bytes(77824, 0), pkgbuild::ToBytes("pkg"));
    EXPECT_EQ(patch.size(), 77824u + 3 + 8);
    EXPECT_EQ(Bytes(patch.end() - 8, patch.end()),
              (Bytes{0x00, 0x30, 0x01, 0x00, 'Q', 'L', 'M', 'R'}));
}

// A PE image with no section, just the headers that lead to the data directories; PE32+ when
// `magic` is 0x20B.
constexpr uint32_t kImageSize = 1024;
constexpr uint32_t kNewHeader = 0x80;                  // e_lfanew
constexpr uint32_t kOptionalHeader = kNewHeader + 24;  // after "PE\0\0" and the file header

Bytes Image(uint16_t magic) {
    Bytes image(kImageSize, 0);
    std::memcpy(image.data(), "MZ", 2);
    std::memcpy(image.data() + kNewHeader, "PE\0\0", 4);
    image = With(With(image, 0x3C, kNewHeader), kNewHeader + 20, magic == 0x20B ? 240 : 224, 2);
    return With(With(image, kOptionalHeader, magic, 2),
                kOptionalHeader + (magic == 0x20B ? 108 : 92), 16);  // NumberOfRvaAndSizes
}

// `patch`, `padding` zero bytes and a certificate table of 24 bytes, which the security
// directory says starts `offsetShift` bytes later and is `sizeShift` bytes longer.
Bytes Signed(Bytes patch, uint32_t padding, uint16_t magic = 0x10B, int offsetShift = 0,
             int sizeShift = 0) {
    const size_t security = kOptionalHeader + (magic == 0x20B ? 112 : 96) + 4 * 8;
    patch.insert(patch.end(), padding, 0);
    const uint32_t table = static_cast<uint32_t>(patch.size());
    patch.insert(patch.end(), 24, 0x5A);
    return With(With(patch, security, table + offsetShift), security + 4, 24 + sizeShift);
}

TEST_F(Reader, FindsTheTrailerBeforeACertificateTableThatEndsTheFile) {
    const Bytes sample = pkgbuild::Build({.entries = {{.name = "a", .content = Bytes(7, 'c')}}});
    const Bytes patch = pkgbuild::Bind(Image(0x10B), sample);
    const Bytes signedPatch = Signed(patch, 3);
    struct Case {
        std::string what;
        Bytes bytes;
        int64_t offset;  // of the package, or -1: no package
    };
    std::vector<Case> cases = {
        {"PE32+", Signed(pkgbuild::Bind(Image(0x20B), sample), 5, 0x20B), kImageSize},
        {"unsigned", patch, kImageSize},
        {"not a PE at all", pkgbuild::Bind(Bytes(500, 'M'), sample), 500},
        {"signed before binding: the table is inside the image",
         pkgbuild::Bind(Signed(Image(0x10B), 0), sample), kImageSize + 24},
        {"a table but no trailer before it", Signed(Image(0x10B), 0), -1},
        {"8 zero bytes before the table", Signed(patch, 8), -1},
        {"table ends before the end of the file", Signed(patch, 3, 0x10B, 0, -1), -1},
        {"table runs past the end of the file", Signed(patch, 3, 0x10B, 0, 1), -1},
        {"table starts past the end of the file", Signed(patch, 3, 0x10B, 1000), -1},
        {"table of size 0", Signed(patch, 3, 0x10B, 24, -24), -1},
        {"no MZ", With(signedPatch, 0, 'Z', 1), -1},
        {"e_lfanew past the end", With(signedPatch, 0x3C, 0xFFFFFFF0), -1},
        {"no PE signature", With(signedPatch, kNewHeader + 1, 'X', 1), -1},
        {"unknown optional header magic", With(signedPatch, kOptionalHeader, 0x107, 2), -1},
        {"optional header too short for entry 4",
         With(signedPatch, kNewHeader + 20, 96 + 5 * 8 - 1, 2), -1},
        {"optional header past the end", With(signedPatch, kNewHeader + 20, 0xFFFF, 2), -1},
        {"only 4 data directories", With(signedPatch, kOptionalHeader + 92, 4), -1},
    };
    for (uint32_t padding = 0; padding <= 7; ++padding) {
        cases.push_back({"padding " + std::to_string(padding), Signed(patch, padding), kImageSize});
    }
    for (const Case& c : cases) {
        EXPECT_EQ(Open(c.bytes, true), c.offset) << c.what;
        Bytes content;
        EXPECT_TRUE(c.offset < 0 || (Load("a", &content) && content == Bytes(7, 'c'))) << c.what;
    }
}

}  // namespace
