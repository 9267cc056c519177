// The package layer on crafted packages: what the reader opens and refuses, separate or behind
// the trailer of a plain or a signed executable; what it loads, through windows of any size and
// at offsets beyond 2 GiB; the format's bytes as the builder writes them; and the binder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "delta_diff.h"
#include "package/binder.h"
#include "package/reader.h"
#include "package_builder.h"
#include "support.h"

namespace {

using pkgbuild::Bytes;
using Entry = pkgbuild::Entry;

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

    test::TempFolder folder_{"qlm_package"};
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

// A package whose header flags choose how its directory is stored.
Bytes Sample(uint32_t headerFlags = 2, std::optional<uint32_t> packedDirectorySize = {}) {
    return pkgbuild::Build(
        {.entries = {{.name = ":RegistryKeys", .content = pkgbuild::ToBytes("keys")},
                     {.name = "data\\file.bin", .content = Bytes(5000, 'x'), .compressed = false}},
         .compressDirectory = (headerFlags & 3) == 2,
         .headerFlags = headerFlags,
         .packedDirectorySize = packedDirectorySize});
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

// Each file opens as a package at the offset given, separate or embedded, and its entries
// load; or it is refused (-1). Nothing outside the file is read on the way.
TEST_F(Reader, OpensAPackageAtItsOffsetOrRefusesIt) {
    const Bytes good = Sample();
    const Bytes stored = Sample(0);
    const Bytes patch = pkgbuild::Bind(Bytes(100, 'M'), good);
    const size_t trailer = 100 + good.size();
    uint32_t packed = 0;
    std::memcpy(&packed, &good.at(28), 4);
    const Bytes pe = pkgbuild::Bind(Image(0x10B), good);
    const Bytes signedPe = Signed(pe, 3);
    Bytes deltas = good;
    std::memcpy(deltas.data(), "Quellmar deltas\x1A", 16);
    std::vector<std::tuple<std::string, Bytes, bool, int64_t>> cases = {
        {"directory storage 0", stored, false, 0},
        {"directory storage 3, packed size ignored", Sample(3, 0xDEADBEEF), false, 0},
        {"directory storage 6", Sample(6), false, 0},
        {"directory storage 0xFFFFFFF0", Sample(0xFFFFFFF0), false, 0},
        {"empty file", Bytes{}, false, -1},
        {"16th magic byte", With(good, 15, 0x1B, 1), false, -1},
        {"case of a magic letter", With(good, 0, 'q', 1), false, -1},
        {"the deltas magic", deltas, false, 0},
        {"the deltas magic, 16th byte", With(deltas, 15, 0x1A + 0x20, 1), false, -1},
        {"the deltas magic, a letter in another case", With(deltas, 14, 'S', 1), false, -1},
        {"the deltas magic, a NUL for its last letter", With(deltas, 14, 0, 1), false, -1},
        {"the two magics mixed", With(good, 10, 'e', 1), false, -1},
        {"the deltas magic behind a trailer", pkgbuild::Bind(Bytes(100, 'M'), deltas), true, 100},
        {"entryCount 0", With(good, 16, 0), false, -1},
        {"directoryOffset 0", With(good, 20, 0), false, -1},
        {"directory storage 1", With(good, 24, 1, 1), false, -1},
        {"shorter than a header", Bytes(good.begin(), good.begin() + 31), false, -1},
        {"stored directory past the end", With(stored, 16, 3, 1), false, -1},
        {"directory offset past the end", With(good, 20, 0x7FFFFFFF), false, -1},
        {"entryCount times 48 overflows", With(stored, 16, 0x10000000), false, -1},
        {"packed directory past the end", With(good, 28, 0xFFFF), false, -1},
        {"truncated zlib directory", With(good, 28, packed - 5), false, -1},
        {"zlib directory shorter than its entries", With(good, 16, 3, 1), false, -1},
        {"self-contained patch opened as a package file", patch, false, -1},
        {"embedded", patch, true, 100},
        {"no trailer", good, true, -1},
        {"file shorter than a trailer", pkgbuild::ToBytes("QLMR"), true, -1},
        {"trailer points past the end", With(patch, trailer, 0xFFFF), true, -1},
        {"trailer points at bytes that are not the magic", With(patch, trailer, 50), true, -1},
        // Signed after binding: the trailer comes before the certificate table.
        {"PE32+", Signed(pkgbuild::Bind(Image(0x20B), good), 5, 0x20B), true, kImageSize},
        {"unsigned PE", pe, true, kImageSize},
        {"signed before binding: the table is inside the image",
         pkgbuild::Bind(Signed(Image(0x10B), 0), good), true, kImageSize + 24},
        {"a table but no trailer before it", Signed(Image(0x10B), 0), true, -1},
        {"8 zero bytes before the table", Signed(pe, 8), true, -1},
        {"table ends before the end of the file", Signed(pe, 3, 0x10B, 0, -1), true, -1},
        {"table runs past the end of the file", Signed(pe, 3, 0x10B, 0, 1), true, -1},
        {"table starts past the end of the file", Signed(pe, 3, 0x10B, 1000), true, -1},
        {"table of size 0", Signed(pe, 3, 0x10B, 24, -24), true, -1},
        {"no MZ", With(signedPe, 0, 'Z', 1), true, -1},
        {"e_lfanew past the end", With(signedPe, 0x3C, 0xFFFFFFF0), true, -1},
        {"no PE signature", With(signedPe, kNewHeader + 1, 'X', 1), true, -1},
        {"unknown optional header magic", With(signedPe, kOptionalHeader, 0x107, 2), true, -1},
        {"optional header too short for entry 4",
         With(signedPe, kNewHeader + 20, 96 + 5 * 8 - 1, 2), true, -1},
        {"optional header past the end", With(signedPe, kNewHeader + 20, 0xFFFF, 2), true, -1},
        {"only 4 data directories", With(signedPe, kOptionalHeader + 92, 4), true, -1},
    };
    for (uint32_t padding = 0; padding <= 7; ++padding) {
        cases.push_back(
            {"padding " + std::to_string(padding), Signed(pe, padding), true, kImageSize});
    }
    for (const auto& [what, bytes, embedded, offset] : cases) {
        EXPECT_EQ(Open(bytes, embedded), offset) << what;
        Bytes keys;
        EXPECT_TRUE(offset < 0 ||
                    (Load(":RegistryKeys", &keys) && keys == pkgbuild::ToBytes("keys")))
            << what;
    }
    EXPECT_EQ(Reopen(folder_.Path("missing.dat"), false), -1);
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

// Each entry alone in a package with a stored directory, behind a small image and before the
// trailer: only content that lies within the package and decodes to exactly `size` bytes loads.
TEST_F(Reader, LoadsOnlyCompleteContent) {
    const Bytes content = pkgbuild::Pattern(3000, 1);
    // Header, data and directory take 3080 bytes: data from here runs 4 bytes into the trailer.
    const uint32_t intoTrailer = kHeaderSize + kEntrySize + 4;
    const Bytes stream = pkgbuild::Compress(content);
    Bytes badAdler = stream;
    badAdler.back() ^= 0x01;
    Bytes damaged = stream;
    damaged[stream.size() / 2] ^= 0x55;
    const uint32_t truncated = static_cast<uint32_t>(stream.size() - 5);
    const std::tuple<const char*, Entry, bool> cases[] = {
        {"stored", Entry{.content = content, .compressed = false}, true},
        {"stored, storedSize ignored",
         Entry{.content = content, .compressed = false, .storedSize = 0xFFFFFFFF}, true},
        {"compressed", Entry{.content = content}, true},
        {"flags 0x0001 compressed", Entry{.content = content, .entryFlags = 1}, true},
        {"stored size 0", Entry{.content = {}, .compressed = false}, true},
        {"compressed size 0", Entry{.content = {}}, true},
        {"damaged stream", Entry{.content = content, .storedData = damaged}, false},
        {"wrong Adler-32", Entry{.content = content, .storedData = badAdler}, false},
        {"truncated stream", Entry{.content = content, .storedSize = truncated}, false},
        {"overlong stream", Entry{.content = content, .size = 2999}, false},
        {"stream shorter than size", Entry{.content = content, .size = 3001}, false},
        {"stored data past the end",
         Entry{.content = content, .compressed = false, .size = 1000000}, false},
        {"stream past the end", Entry{.content = content, .storedSize = 0x7FFFFFFF}, false},
        {"data offset past the end",
         Entry{.content = content, .compressed = false, .dataOffset = 0xFFFFFFF0}, false},
        {"stored data running into the trailer",
         Entry{.content = content, .compressed = false, .dataOffset = intoTrailer}, false},
    };
    for (const auto& [what, entry, loads] : cases) {
        Entry named = entry;
        named.name = "a";
        const Bytes package = pkgbuild::Build({.entries = {named}, .compressDirectory = false});
        ASSERT_EQ(Open(pkgbuild::Bind(Bytes(13, 'M'), package), true), 13) << what;
        for (const uint32_t window : {0u, 13u, 64u}) {  // 0: the program's window
            test::ViewWindow small(window);
            Bytes loaded;
            EXPECT_EQ(Load("a", &loaded), loads) << what << ", window " << window;
            EXPECT_TRUE(!loads || loaded == entry.content) << what << ", window " << window;
        }
    }
}

// In a package of the deltas magic an entry flagged delta is never loaded as content, only
// started as a delta (its header read, its new size the entry's); a control section never
// is a delta; the other entries load as in any package.
TEST_F(Reader, DeltaEntriesAreStartedNeverLoaded) {
    const std::string before(3000, 'a');
    const std::string after = before + "b";
    Bytes delta;
    pkgbuild::DeltaReport report;
    ASSERT_TRUE(pkgbuild::EncodeDelta(reinterpret_cast<const uint8_t*>(before.data()),
                                      before.size(), reinterpret_cast<const uint8_t*>(after.data()),
                                      after.size(), {}, &delta, &report));
    const Entry deltaEntry = {.content = delta,
                              .compressed = false,
                              .size = static_cast<uint32_t>(after.size()),
                              .delta = pkgbuild::DeltaSource{}};
    const auto as = [&](const char* name, std::optional<uint16_t> flags = {}) {
        Entry entry = deltaEntry;
        entry.name = name;
        entry.entryFlags = flags;
        return entry;
    };
    const Entry plain = {.name = "plain", .content = pkgbuild::ToBytes("plain")};
    const Entry stored = {.name = "stored", .content = pkgbuild::ToBytes("s"), .compressed = false};
    ASSERT_EQ(Open(pkgbuild::Build({.entries = {as("delta"), as(":Folders"), as("both", 3),
                                                as("flags 0xFFFE", 0xFFFE), plain, stored}})),
              0);
    // Whether the entry loads, and whether it starts as a delta.
    const std::tuple<const char*, bool, bool> cases[] = {
        {"delta", false, true},        {":Folders", false, false}, {"both", false, false},
        {"flags 0xFFFE", false, true}, {"plain", true, false},     {"stored", true, false},
    };
    for (const auto& [name, loads, starts] : cases) {
        Bytes content;
        EXPECT_EQ(Load(name, &content), loads) << name;
        const DirectoryEntry& entry = package_.directory[FindEntry(package_, name)];
        Walk walk;
        DeltaHeader header;
        const bool started = StartDeltaEntry(package_, entry, &walk, &header);
        EXPECT_EQ(started, starts) << name;
        if (started) {
            EXPECT_EQ(header.newSize, after.size());
            EndWalk(walk);
        }
    }
}

// A write that fails after the file's space was reserved (here past a file-size limit) fails
// the load, whether it comes at the end of a window within the file or with its last bytes, for
// stored and inflated entries alike; with room for every byte the same load succeeds.
TEST_F(Reader, AWriteThatFailsFailsTheLoad) {
    const Bytes content = pkgbuild::Pattern(3000, 3);
    ASSERT_EQ(Open(pkgbuild::Build(
                  {.entries = {{.name = "stored", .content = content, .compressed = false},
                               {.name = "packed", .content = content}}})),
              0);
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto handler = signal(SIGXFSZ, SIG_IGN);
    // Windows of 64 bytes end at 2944 before the last; 0 is the program's window, one piece.
    const std::tuple<rlim_t, uint32_t, bool> cases[] = {
        {0, 0, false},     {2999, 0, false},  {3000, 0, true},  {100, 64, false},
        {2944, 64, false}, {2999, 64, false}, {3000, 64, true},
    };
    for (const char* name : {"stored", "packed"}) {
        const DirectoryEntry& entry = package_.directory[FindEntry(package_, name)];
        for (const auto& [limit, window, loads] : cases) {
            SCOPED_TRACE(testing::Message()
                         << name << ", limit " << limit << ", window " << window);
            test::ViewWindow small(window);
            const std::string path = folder_.Path("limited" + std::to_string(++written_));
            platform::File file = platform::CreateFileReadWrite(path.c_str());
            platform::Mapping mapping = platform::CreateWriteMapping(file, entry.size);
            ASSERT_TRUE(mapping.valid());
            rlimit limited = previous;
            limited.rlim_cur = limit;
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
            const bool loaded = LoadEntryToFile(package_, entry, mapping);
            setrlimit(RLIMIT_FSIZE, &previous);
            platform::CloseMapping(mapping);
            platform::CloseFile(file);
            EXPECT_EQ(loaded, loads);
            Bytes bytes;
            EXPECT_TRUE(!loads || (pkgbuild::ReadFile(path, &bytes) && bytes == content));
        }
    }
    signal(SIGXFSZ, handler);
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
                    EXPECT_TRUE(Load(expected.name, &loaded) && loaded == expected.content)
                        << expected.name;
                }
            }
        }
    }
}

// The byte examples of the format, as written by the package builder. The expected bytes are
// spelled out here on purpose, not taken from package/format.h: they are the independent
// check that the shared declaration lays the records out as the format says.
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
    // A delta entry: the second magic, flags 0x0002, `size` the new file's, `storedSize` the
    // delta's length.
    const Bytes delta = pkgbuild::Build({.entries = {{.name = "d",
                                                      .content = Bytes(70, 1),
                                                      .compressed = false,
                                                      .size = 4096,
                                                      .delta = pkgbuild::DeltaSource{}}},
                                         .compressDirectory = false});
    EXPECT_EQ(Bytes(delta.begin(), delta.begin() + 16), pkgbuild::ToBytes("Quellmar deltas\x1A"));
    EXPECT_EQ(Bytes(delta.end() - 16, delta.end()),
              (Bytes{0x20, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0x02, 0, 0x46, 0, 0, 0}));
    const Bytes patch = pkgbuild::Bind(Bytes(77824, 0), pkgbuild::ToBytes("pkg"));
    EXPECT_EQ(patch.size(), 77824u + 3 + 8);
    EXPECT_EQ(Bytes(patch.end() - 8, patch.end()),
              (Bytes{0x00, 0x30, 0x01, 0x00, 'Q', 'L', 'M', 'R'}));
}

// --- offsets beyond 2 GiB, on sparse files: only the bytes that matter take disk space -----

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
        directory[i].entryFlags = placed.compressed ? kCompressedEntryFlags : 0;
        directory[i].storedSize = placed.compressed ? static_cast<uint32_t>(data.size()) : 0;
        Put(fd, packageOffset + placed.dataOffset, data.data(), data.size());
    }
    PackageHeader header{};
    std::memcpy(header.magic, kPackageMagic, kMagicSize);
    header.entryCount = static_cast<uint32_t>(entries.size());
    header.directoryOffset = directoryOffset;
    Put(fd, packageOffset, &header, kHeaderSize);
    Put(fd, packageOffset + directoryOffset, directory.data(), directory.size() * kEntrySize);
    PackageTrailer trailer = {static_cast<uint32_t>(packageOffset), {}};
    std::memcpy(trailer.trailerMagic, kTrailerMagic, sizeof kTrailerMagic);
    Put(fd, length - kTrailerSize, &trailer, kTrailerSize);
    close(fd);
}

// Opens the package and loads every entry that has content; the package offset.
int64_t OpenAndLoad(const std::string& path, bool embedded, const std::vector<Placed>& entries) {
    Package package;
    const int64_t offset = OpenPackage(package, path.c_str(), embedded);
    for (const Placed& placed : entries) {
        const int index = offset < 0 ? -1 : FindEntry(package, placed.name.c_str());
        Bytes loaded(placed.content.size());
        EXPECT_TRUE(index >= 0 && (placed.content.empty() ||
                                   (LoadEntry(package, package.directory[index], loaded.data()) &&
                                    loaded == placed.content)))
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

// --- the binder -------------------------------------------------------------------------------

class Binder : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pkgbuild::WriteFile(image_, imageBytes_));
        ASSERT_TRUE(pkgbuild::WriteFile(package_, packageBytes_));
    }
    static bool Bind(const std::string& image, const std::string& package,
                     const std::string& output) {
        return BindPackage(image.c_str(), package.c_str(), output.c_str());
    }
    static Bytes Read(const std::string& path) {
        Bytes bytes;
        EXPECT_TRUE(pkgbuild::ReadFile(path, &bytes)) << path;
        return bytes;
    }

    test::TempFolder folder_{"qlm_binder"};
    const std::string image_ = folder_.Path("PATCH.EXE");
    const std::string package_ = folder_.Path("pkg.dat");
    const std::string output_ = folder_.Path("out.exe");
    const Bytes imageBytes_ = Bytes(77824, 'M');
    const Bytes packageBytes_ = pkgbuild::ToBytes("any bytes at all: the binder never looks");
};

TEST_F(Binder, WritesImagePackageAndTrailer) {
    // 0 is the program's window; the image is 19 windows of 4096 bytes, so with that window the
    // package starts exactly at a boundary; with 77825 the trailer crosses one.
    for (const uint32_t window : {0u, 1000u, 4096u, 77825u}) {
        test::ViewWindow small(window);
        ASSERT_TRUE(pkgbuild::WriteFile(output_, Bytes(1 << 20, 'o')));  // replaced, not extended
        ASSERT_TRUE(Bind(image_, package_, output_)) << window;
        EXPECT_EQ(Read(output_), pkgbuild::Bind(imageBytes_, packageBytes_)) << window;
    }
    // A bound patch binds again; without an image, the program's own file is the image.
    ASSERT_TRUE(Bind(output_, package_, folder_.Path("twice.exe")));
    EXPECT_EQ(Read(folder_.Path("twice.exe")), pkgbuild::Bind(Read(output_), packageBytes_));
    ASSERT_TRUE(Bind("no-such-program", package_, output_));
    EXPECT_EQ(Read(output_), pkgbuild::Bind(Read("/proc/self/exe"), packageBytes_));
}

// An output that names an input is that input, untouched; any other failure leaves no output.
TEST_F(Binder, FailedBindLeavesNoOutputAndInputsIntact) {
    const std::string empty = folder_.Path("empty.dat");
    ASSERT_TRUE(pkgbuild::WriteFile(empty, {}));
    const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
        {"package of length 0", image_, empty, output_},
        {"missing package", image_, folder_.Path("none.dat"), output_},
        {"output in a missing folder", image_, package_, folder_.Path("no/such/out.exe")},
        {"output names the image", image_, package_, image_},
        {"output names the package", image_, package_, package_},
    };
    for (const auto& [what, image, package, output] : cases) {
        EXPECT_FALSE(Bind(image, package, output)) << what;
        EXPECT_EQ(std::filesystem::exists(output), output == image_ || output == package_) << what;
        EXPECT_EQ(Read(image_), imageBytes_) << what;
        EXPECT_EQ(Read(package_), packageBytes_) << what;
    }
}

}  // namespace
