#include "package/reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "package_builder.h"
#include "temp_folder.h"
#include "view_window.h"

using pkgbuild::Bytes;

namespace {

class ReaderTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(folder_.path().empty()); }
    void TearDown() override { ClosePackage(package_); }

    int64_t Open(const Bytes& bytes, bool embedded = false) {
        EXPECT_TRUE(pkgbuild::WriteFile(path_, bytes));
        ClosePackage(package_);
        return OpenPackage(package_, path_.c_str(), embedded);
    }

    // Loads the named entry into a buffer of exactly its size plus a canary after it.
    bool Load(const char* name, Bytes* content) {
        const int index = FindEntry(package_, name);
        if (index < 0) {
            return false;
        }
        const DirectoryEntry& entry = package_.directory[index];
        Bytes buffer(entry.size + 1, 0xEE);
        const bool loaded = LoadEntry(package_, entry, buffer.data());
        EXPECT_EQ(buffer.back(), 0xEE) << "wrote past the entry's size";
        buffer.pop_back();
        *content = buffer;
        return loaded;
    }

    // Loads the entry into a new file of exactly its size, as payload files are written.
    bool LoadToFile(const DirectoryEntry& entry, Bytes* content) {
        // A new name each time, for the same reason as above.
        const std::string path = folder_.Path("written" + std::to_string(++written_) + ".bin");
        platform::File file = platform::CreateFileReadWrite(path.c_str());
        platform::Mapping mapping = platform::CreateWriteMapping(file, entry.size);
        const bool loaded = mapping.valid() && LoadEntryToFile(package_, entry, mapping);
        platform::CloseMapping(mapping);
        platform::CloseFile(file);
        EXPECT_TRUE(pkgbuild::ReadFile(path, content));
        std::remove(path.c_str());
        return loaded;
    }

    TempFolder folder_{"qlm_reader"};
    const std::string path_ = folder_.Path("package.dat");
    int written_ = 0;
    Package package_;
};

pkgbuild::Package SamplePackage() {
    pkgbuild::Package package;
    package.entries.push_back({.name = ":RegistryKeys", .content = pkgbuild::ToBytes("keys")});
    package.entries.push_back(
        {.name = "data\\file.bin", .content = Bytes(5000, 'x'), .compressed = false});
    return package;
}

Bytes Patch(Bytes bytes, size_t at, std::initializer_list<uint8_t> values) {
    for (uint8_t value : values) {
        bytes.at(at++) = value;
    }
    return bytes;
}

Bytes SetUint32(Bytes bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

uint32_t GetUint32(const Bytes& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

TEST_F(ReaderTest, RejectsMalformedPackages) {
    const Bytes good = pkgbuild::Build(SamplePackage());
    pkgbuild::Package stored = SamplePackage();
    stored.compressDirectory = false;
    const Bytes goodStored = pkgbuild::Build(stored);
    const Bytes image(100, 'M');

    struct Case {
        const char* what;
        Bytes bytes;
        bool embedded;
    };
    const Case cases[] = {
        {"empty file", {}, false},
        {"16th magic byte", Patch(good, 15, {0x1B}), false},
        {"case of a magic letter", Patch(good, 0, {'q'}), false},
        {"entryCount 0", Patch(good, 16, {0, 0, 0, 0}), false},
        {"directoryOffset 0", Patch(good, 20, {0, 0, 0, 0}), false},
        {"directory storage 1", Patch(good, 24, {1}), false},
        {"shorter than a header", Bytes(good.begin(), good.begin() + 31), false},
        {"stored directory past the end", Patch(goodStored, 16, {3}), false},
        {"directory offset past the end", Patch(good, 20, {0xFF, 0xFF, 0xFF, 0x7F}), false},
        {"entryCount times 48 overflows", Patch(goodStored, 16, {0x00, 0x00, 0x00, 0x10}), false},
        {"packed directory past the end", Patch(good, 28, {0xFF, 0xFF, 0, 0}), false},
        {"truncated zlib directory", SetUint32(good, 28, GetUint32(good, 28) - 5), false},
        {"zlib directory shorter than its entries", Patch(good, 16, {3}), false},
        {"no trailer", good, true},
        {"file shorter than a trailer", pkgbuild::ToBytes("QLMR"), true},
        {"trailer points past the end",
         Patch(pkgbuild::Bind(image, good), 100 + good.size(), {0xFF, 0xFF, 0, 0}), true},
        {"trailer points at bytes that are not the magic",
         Patch(pkgbuild::Bind(image, good), 100 + good.size(), {50, 0, 0, 0}), true},
        {"self-contained patch opened as a package file", pkgbuild::Bind(image, good), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Open(c.bytes, c.embedded), -1) << c.what;
    }
}

TEST_F(ReaderTest, MissingFileFailsAndCloseReleasesEverything) {
    EXPECT_EQ(OpenPackage(package_, folder_.Path("none.dat").c_str(), false), -1);
    ClosePackage(package_);
    EXPECT_FALSE(package_.packageFile.valid());
    EXPECT_EQ(package_.directory, nullptr);
    EXPECT_FALSE(package_.packageWindow.mapping.valid());
}

TEST_F(ReaderTest, AcceptsEveryDirectoryStorageButOne) {
    struct Case {
        bool compress;
        uint32_t flags;
    };
    const Case cases[] = {{false, 0}, {true, 2}, {false, 3}, {true, 6}, {false, 0xFFFFFFF0}};
    for (const Case& c : cases) {
        pkgbuild::Package package = SamplePackage();
        package.compressDirectory = c.compress;
        package.headerFlags = c.flags;
        if (!c.compress) {
            package.packedDirectorySize = 0xDEADBEEF;  // ignored for a stored directory
        }
        ASSERT_EQ(Open(pkgbuild::Build(package)), 0) << "flags " << c.flags;
        Bytes content;
        EXPECT_TRUE(Load(":RegistryKeys", &content));
        EXPECT_EQ(content, pkgbuild::ToBytes("keys"));
    }
}

TEST_F(ReaderTest, OpensEmbeddedPackageThroughTrailer) {
    const Bytes image(77824, 'M');
    ASSERT_EQ(Open(pkgbuild::Bind(image, pkgbuild::Build(SamplePackage())), true), 77824);
    Bytes content;
    ASSERT_TRUE(Load("DATA\\FILE.BIN", &content));
    EXPECT_EQ(content, Bytes(5000, 'x'));
}

TEST_F(ReaderTest, FindEntryFoldsOnlyAsciiLetters) {
    pkgbuild::Package package;
    const std::string full32(32, 'n');  // no NUL inside the name field
    package.entries = {{.name = ":Folders", .content = pkgbuild::ToBytes("first")},
                       {.name = ":FOLDERS", .content = pkgbuild::ToBytes("second")},
                       {.name = "Файл.txt", .content = {}},
                       {.name = full32, .content = pkgbuild::ToBytes("long")}};
    ASSERT_EQ(Open(pkgbuild::Build(package)), 0);
    struct Case {
        const char* name;
        int index;
    };
    const Case cases[] = {
        {":folders", 0}, {":FoLdErS", 0}, {"Файл.txt", 2},   {"ФАЙЛ.txt", -1},    {"файл.TXT", -1},
        {"Файл.TXT", 2}, {":Folder", -1}, {":Folders2", -1}, {full32.c_str(), 3}, {"", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindEntry(package_, c.name), c.index) << c.name;
    }
    EXPECT_EQ(FindEntry(package_, (full32 + "n").c_str()), -1);
}

TEST_F(ReaderTest, LoadEntryLoadsOnlyCompleteContent) {
    const Bytes content(3000, 'c');
    const Bytes stream = pkgbuild::Compress(content);
    Bytes badAdler = stream;
    badAdler.back() ^= 0x01;
    Bytes damaged = stream;
    damaged[stream.size() / 2] ^= 0x55;

    struct Case {
        const char* what;
        pkgbuild::Entry entry;
        bool loads;
        Bytes expected;
    };
    const Case cases[] = {
        {"stored", {.name = "a", .content = content, .compressed = false}, true, content},
        {"stored, storedSize ignored",
         {.name = "a", .content = content, .compressed = false, .storedSize = 0xFFFFFFFF},
         true,
         content},
        {"compressed", {.name = "a", .content = content}, true, content},
        {"flags 0x0001 compressed",
         {.name = "a", .content = content, .entryFlags = 1},
         true,
         content},
        {"stored size 0", {.name = "a", .content = {}, .compressed = false}, true, {}},
        {"compressed size 0", {.name = "a", .content = {}}, true, {}},
        {"damaged stream", {.name = "a", .content = content, .storedData = damaged}, false, {}},
        {"wrong Adler-32", {.name = "a", .content = content, .storedData = badAdler}, false, {}},
        {"truncated stream",
         {.name = "a", .content = content, .storedSize = static_cast<uint32_t>(stream.size() - 5)},
         false,
         {}},
        {"overlong stream", {.name = "a", .content = content, .size = 2999}, false, {}},
        {"stream shorter than size", {.name = "a", .content = content, .size = 3001}, false, {}},
        {"stored data past the end",
         {.name = "a", .content = content, .compressed = false, .size = 1000000},
         false,
         {}},
        {"stream past the end",
         {.name = "a", .content = content, .storedSize = 0x7FFFFFFF},
         false,
         {}},
        {"data offset past the end",
         {.name = "a", .content = content, .compressed = false, .dataOffset = 0xFFFFFFF0},
         false,
         {}},
    };
    for (const Case& c : cases) {
        pkgbuild::Package package;
        package.entries = {c.entry};
        ASSERT_EQ(Open(pkgbuild::Build(package)), 0) << c.what;
        for (const uint32_t window : {0u, 13u, 64u}) {  // 0: the program's window
            ViewWindowForTest small(window);
            Bytes loaded;
            EXPECT_EQ(Load("a", &loaded), c.loads) << c.what << ", window " << window;
            if (c.loads) {
                EXPECT_EQ(loaded, c.expected) << c.what << ", window " << window;
            }
            if (package_.directory[0].size != 0) {
                EXPECT_EQ(LoadToFile(package_.directory[0], &loaded), c.loads) << c.what;
            }
        }
    }
}

// Every entry loads the same, into memory and into a file, through windows of any size:
// tiny ones, and ones that end exactly at, one byte before or one byte after the end of
// each entry's data, the directory, the header and the trailer, or each entry's size.
TEST_F(ReaderTest, EverythingLoadsThroughWindowsOfAnySize) {
    pkgbuild::Package package;
    package.entries = {
        {.name = ":Folders", .content = pkgbuild::StringList({"bin", "data"})},
        {.name = "stored.bin", .content = pkgbuild::Pattern(300, 1), .compressed = false},
        {.name = "packed.bin", .content = pkgbuild::Pattern(2000, 2)},
        {.name = "zeros.bin", .content = Bytes(3000, 0)},
        {.name = "empty.bin", .content = {}},
    };
    const Bytes image(1000, 'M');
    for (const bool compressDirectory : {true, false}) {
        package.compressDirectory = compressDirectory;
        const Bytes separate = pkgbuild::Build(package);
        const Bytes embedded = pkgbuild::Bind(image, separate);
        // Written once: rewriting a file just written makes ext4 flush it, slowly.
        const std::string embeddedPath = folder_.Path("patch.exe");
        ASSERT_TRUE(pkgbuild::WriteFile(embeddedPath, embedded));
        ASSERT_EQ(Open(separate), 0);
        std::set<uint32_t> windows = {13, 64};
        std::set<uint64_t> ends = {4096, image.size() + kHeaderSize / 2,
                                   embedded.size() - kTrailerSize, embedded.size() - 4};
        const PackageHeader& header = package_.header;
        const uint64_t directoryEnd =
            header.directoryOffset +
            (compressDirectory ? header.packedDirectorySize : header.entryCount * kEntrySize);
        ends.insert({directoryEnd, image.size() + directoryEnd});
        for (uint32_t i = 0; i < header.entryCount; ++i) {
            const DirectoryEntry& entry = package_.directory[i];
            const uint64_t dataEnd =
                entry.dataOffset +
                ((entry.entryFlags & kEntryCompressed) ? entry.storedSize : entry.size);
            ends.insert({dataEnd, image.size() + dataEnd, entry.size});
        }
        for (const uint64_t end : ends) {
            if (end > 64) {  // smaller ones are crossed many times by the windows above
                windows.insert({static_cast<uint32_t>(end - 1), static_cast<uint32_t>(end),
                                static_cast<uint32_t>(end + 1)});
            }
        }
        for (const uint32_t window : windows) {
            ViewWindowForTest small(window);
            for (const bool isEmbedded : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << "window " << window << ", embedded " << isEmbedded
                             << ", zlib directory " << compressDirectory);
                ClosePackage(package_);
                ASSERT_EQ(OpenPackage(package_, isEmbedded ? embeddedPath.c_str() : path_.c_str(),
                                      isEmbedded),
                          isEmbedded ? 1000 : 0);
                for (const pkgbuild::Entry& expected : package.entries) {
                    Bytes loaded;
                    EXPECT_TRUE(Load(expected.name.c_str(), &loaded)) << expected.name;
                    EXPECT_EQ(loaded, expected.content) << expected.name;
                    if (!expected.content.empty()) {
                        const DirectoryEntry& entry =
                            package_.directory[FindEntry(package_, expected.name.c_str())];
                        EXPECT_TRUE(LoadToFile(entry, &loaded)) << expected.name;
                        EXPECT_EQ(loaded, expected.content) << expected.name;
                    }
                }
            }
        }
    }
}

// The byte examples of the format, as written by the package builder.
TEST(PackageBuilderTest, WritesTheFormatsFieldsAtTheirBytes) {
    pkgbuild::Package header;
    header.entries = {{.name = "x", .content = {}}};
    header.entryCount = 7;
    header.directoryOffset = 161481;
    header.packedDirectorySize = 174;
    const Bytes headerBytes = pkgbuild::Build(header);
    EXPECT_EQ(Bytes(headerBytes.begin() + 16, headerBytes.begin() + 32),
              (Bytes{0x07, 0, 0, 0, 0xC9, 0x76, 0x02, 0, 0x02, 0, 0, 0, 0xAE, 0, 0, 0}));
    EXPECT_EQ(Bytes(headerBytes.begin(), headerBytes.begin() + 16),
              pkgbuild::ToBytes(std::string("Quellmar data  \x1A", 16)));

    pkgbuild::Package entry;
    entry.compressDirectory = false;
    entry.entries = {
        {.name = ":RegistryKeys", .content = Bytes(92, 0), .dataOffset = 139, .storedSize = 94}};
    const Bytes entryBytes = pkgbuild::Build(entry);
    const size_t record = entryBytes.size() - kEntrySize;
    EXPECT_EQ(Bytes(entryBytes.begin() + record + 32, entryBytes.end()),
              (Bytes{0x8B, 0, 0, 0, 0x5C, 0, 0, 0, 0, 0, 0x11, 0, 0x5E, 0, 0, 0}));

    const Bytes patch = pkgbuild::Bind(Bytes(77824, 0), pkgbuild::ToBytes("pkg"));
    EXPECT_EQ(Bytes(patch.end() - 8, patch.end()),
              (Bytes{0x00, 0x30, 0x01, 0x00, 'Q', 'L', 'M', 'R'}));
    EXPECT_EQ(patch.size(), 77824u + 3 + 8);
}

}  // namespace
