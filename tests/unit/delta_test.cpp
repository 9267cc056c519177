// Deltas: the file hash against its published vectors, suffix sorting against plain sorting,
// round trips of the differ and the decoder on hostile shapes of files (through small views
// and small blocks too), and the decoder's refusal of every damaged or crafted delta, with
// nothing written past its output.
#include "package/delta.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "delta_diff.h"
#include "package/file_hash.h"
#include "package_builder.h"
#include "suffix_array.h"
#include "support.h"

namespace {

using pkgbuild::Bytes;

// The published self-test of XXH64: a buffer filled from 2654435761 by multiplying by
// 11400714785074694797 and keeping each product's top byte, hashed whole at several lengths
// with seed 0 and with the seed 2654435761.
TEST(FileHash, GivesThePublishedValues) {
    Bytes buffer(256);
    uint64_t generator = 2654435761u;
    for (uint8_t& byte : buffer) {
        byte = static_cast<uint8_t>(generator >> 56);
        generator *= 11400714785074694797ull;
    }
    const std::tuple<size_t, uint64_t, uint64_t> cases[] = {
        {0, 0, 0xEF46DB3751D8E999ull},
        {0, 2654435761u, 0xAC75FDA2929B17EFull},
        {1, 0, 0xE934A84ADB052768ull},
        {1, 2654435761u, 0x5014607643A9B4C3ull},
        {4, 0, 0x9136A0DCA57457EEull},
        {14, 0, 0x8282DCC4994E35C8ull},
        {14, 2654435761u, 0xC3BD6BF63DEB6DF0ull},
        {222, 0, 0xB641AE8CB691C174ull},
        {222, 2654435761u, 0x20CB8AB7AE10C14Aull},
    };
    for (const auto& [length, seed, expected] : cases) {
        EXPECT_EQ(HashBytes(buffer.data(), length, seed), expected) << length;
        // The same fed in uneven pieces, across stripe boundaries.
        for (const size_t piece : {1, 7, 31, 33}) {
            FileHash hash;
            StartHash(hash, seed);
            for (size_t at = 0; at < length; at += piece) {
                AddToHash(hash, buffer.data() + at, std::min(piece, length - at));
            }
            EXPECT_EQ(FinishHash(hash), expected) << length << " in pieces of " << piece;
        }
    }
}

TEST(SuffixArray, SortsLikeComparingEverySuffix) {
    std::vector<Bytes> texts = {{}, {7}, {1, 1, 1, 1, 1, 1, 1}, {3, 2, 1, 0}, {0, 1, 2, 3, 0, 1}};
    uint64_t state = 12345;
    for (const uint32_t alphabet : {2u, 3u, 4u, 256u}) {
        for (const size_t length : {10, 100, 1000, 5000}) {
            Bytes text(length);
            for (uint8_t& byte : text) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                byte = static_cast<uint8_t>((state >> 33) % alphabet);
            }
            texts.push_back(text);
        }
    }
    for (const Bytes& text : texts) {
        std::vector<uint32_t> expected(text.size());
        std::iota(expected.begin(), expected.end(), 0u);
        std::sort(expected.begin(), expected.end(), [&text](uint32_t a, uint32_t b) {
            return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b,
                                                text.end());
        });
        std::vector<uint32_t> sorted(text.size() + 1, 0xABCDEF);
        ASSERT_TRUE(pkgbuild::SortSuffixes(text.data(), text.size(), sorted.data()));
        EXPECT_EQ(sorted.back(), 0xABCDEFu) << "wrote past the array";
        sorted.pop_back();
        EXPECT_EQ(sorted, expected) << "a text of " << text.size() << " bytes";
    }
}

// The old file as the installer has it: a read mapping (none when it is empty).
class OldFile {
  public:
    OldFile(const std::string& path, const Bytes& content) {
        pkgbuild::WriteFile(path, content);
        file_ = platform::OpenFileRead(path.c_str());
        length_ = content.size();
        if (length_ != 0) {
            mapping_ = platform::CreateReadMapping(file_);
        }
    }
    ~OldFile() {
        if (mapping_.valid()) {
            platform::CloseMapping(mapping_);
        }
        platform::CloseFile(file_);
    }
    OldFile(const OldFile&) = delete;
    OldFile& operator=(const OldFile&) = delete;

    platform::Mapping mapping() const { return mapping_; }
    uint64_t length() const { return length_; }

  private:
    platform::File file_;
    platform::Mapping mapping_;
    uint64_t length_ = 0;
};

class Delta : public ::testing::Test {
  protected:
    // Applies the delta to `old`: into memory of exactly the header's new size followed by a
    // canary that must stay untouched, or into a new file through views of its write mapping,
    // block by block, each through a walk of its own.
    bool Apply(const Bytes& delta, const Bytes& old, Bytes* out, bool toFile = false) {
        const OldFile oldFile(folder_.Path("old" + std::to_string(++files_)), old);
        Walk in = MemoryWalk(const_cast<uint8_t*>(delta.data()), delta.size());
        DeltaHeader header;
        if (!ReadDeltaHeader(in, &header)) {
            return false;
        }
        if (toFile) {
            return ApplyToFile(in, header, oldFile, out);
        }
        if (header.newSize > (64u << 20)) {
            // Never allocated: the decoder must refuse before it writes, at the old file.
            Walk nowhere = MemoryWalk(nullptr, 0);
            return ApplyDelta(in, header, oldFile.mapping(), oldFile.length(), nowhere);
        }
        Bytes buffer(header.newSize + 16, 0xEE);
        Walk to = MemoryWalk(buffer.data(), header.newSize);
        const bool applied = ApplyDelta(in, header, oldFile.mapping(), oldFile.length(), to);
        EXPECT_TRUE(std::all_of(buffer.end() - 16, buffer.end(), [](uint8_t b) {
            return b == 0xEE;
        })) << "wrote past the output";
        buffer.resize(header.newSize);
        *out = buffer;
        return applied;
    }

    bool ApplyToFile(Walk& in, const DeltaHeader& header, const OldFile& oldFile, Bytes* out) {
        const std::string path = folder_.Path("new" + std::to_string(++files_));
        const platform::File file = platform::CreateFileReadWrite(path.c_str());
        const platform::Mapping mapping = header.newSize == 0
                                              ? platform::Mapping{}
                                              : platform::CreateWriteMapping(file, header.newSize);
        DeltaApply apply;
        bool applied = StartDelta(apply, header, oldFile.mapping(), oldFile.length());
        while (applied && apply.length != 0) {
            Walk to = FileWalk(mapping, apply.done, apply.length);
            applied = ApplyDeltaBlock(apply, in, to) && WalkDone(to);
            EndWalk(to);
        }
        applied = applied && FinishDelta(apply, in);
        EndDelta(apply);
        if (mapping.valid()) {
            platform::CloseMapping(mapping);
        }
        platform::CloseFile(file);
        return pkgbuild::ReadFile(path, out) && applied;
    }

    test::TempFolder folder_{"qlm_delta"};
    int files_ = 0;
};

Bytes Noise(size_t size, uint64_t seed) {
    Bytes bytes(size);
    for (uint8_t& byte : bytes) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        byte = static_cast<uint8_t>(seed >> 56);
    }
    return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Slice(const Bytes& bytes, size_t from, size_t length) {
    return Bytes(bytes.begin() + static_cast<ptrdiff_t>(from),
                 bytes.begin() + static_cast<ptrdiff_t>(from + length));
}

// A program-like file: 32-bit values that each point a little further, so that inserting
// bytes shifts every value after it by the same amount.
Bytes Pointers(size_t count, uint32_t shiftFrom, uint32_t shift) {
    Bytes bytes;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t value = i * 40 + (i >= shiftFrom ? shift : 0);
        for (int k = 0; k < 4; ++k) {
            bytes.push_back(static_cast<uint8_t>(value >> (8 * k)));
        }
        bytes.push_back(0xE8);
        bytes.push_back(static_cast<uint8_t>(i * 7));
    }
    return bytes;
}

TEST_F(Delta, RoundTripsEveryShapeOfFile) {
    const Bytes a = Noise(40000, 1);
    const Bytes b = Noise(40000, 2);
    Bytes endsChanged = a;
    endsChanged.front() ^= 1;
    endsChanged.back() ^= 1;
    Bytes repeated;
    for (int i = 0; i < 50; ++i) {
        repeated.insert(repeated.end(), a.begin(), a.begin() + 700);
    }
    Bytes repeatedChanged = repeated;
    repeatedChanged[12345] ^= 0x40;
    const std::tuple<const char*, Bytes, Bytes> cases[] = {
        {"both empty", {}, {}},
        {"old empty", {}, a},
        {"new empty", a, {}},
        {"identical", a, a},
        {"one byte", {1}, {2}},
        {"one byte changed at each end", a, endsChanged},
        {"data moved forward",
         Cat({Slice(a, 0, 10000), Slice(a, 20000, 20000), Slice(a, 10000, 10000)}), a},
        {"data moved back", a, Cat({Slice(a, 30000, 10000), Slice(a, 0, 30000)})},
        {"shrinks by half", a, Cat({Slice(a, 0, 10000), Slice(a, 30000, 10000)})},
        {"grows by half", a,
         Cat({Slice(a, 0, 20000), b.size() ? Slice(b, 0, 20000) : Bytes{},
              Slice(a, 20000, 20000)})},
        {"repeated blocks", repeated, repeatedChanged},
        {"unrelated", a, b},
        {"zeros", Bytes(30000, 0), Cat({Bytes(10000, 0), {1}, Bytes(25000, 0)})},
        {"shifted pointers", Pointers(8000, 0, 0), Pointers(8000, 3000, 96)},
    };
    for (const auto& [what, old, updated] : cases) {
        for (const auto& [blockSize, window, budget] :
             {std::tuple{kDeltaDefaultBlockSize, 0u, uint64_t{12} << 30},
              std::tuple{kDeltaMinBlockSize, 4096u, uint64_t{12} << 30},
              std::tuple{kDeltaMinBlockSize + 3, 100u, uint64_t{0}}}) {
            const test::ViewWindow small(window);
            const std::string label = std::string(what) + ", blocks of " +
                                      std::to_string(blockSize) + ", window " +
                                      std::to_string(window) + (budget == 0 ? ", block index" : "");
            Bytes delta;
            pkgbuild::DeltaReport report;
            ASSERT_TRUE(pkgbuild::EncodeDelta(
                old.data(), old.size(), updated.data(), updated.size(),
                {.blockSize = blockSize, .memoryBudget = budget}, &delta, &report))
                << label;
            EXPECT_EQ(report.deltaSize, delta.size()) << label;
            EXPECT_EQ(report.copied + report.added + report.literal, updated.size()) << label;
            Bytes inMemory;
            Bytes inFile;
            EXPECT_TRUE(Apply(delta, old, &inMemory)) << label;
            EXPECT_EQ(inMemory, updated) << label;
            EXPECT_TRUE(Apply(delta, old, &inFile, true)) << label;
            EXPECT_EQ(inFile, updated) << label;
        }
    }
}

// What the differ should find: an unchanged file costs a few dozen bytes, a shifted program
// little more than its shift, new data about its own size.
TEST_F(Delta, CarriesOnlyWhatChanged) {
    const Bytes a = Noise(200000, 3);
    const Bytes b = Noise(5000, 4);
    const std::tuple<const char*, Bytes, Bytes, size_t> cases[] = {
        {"identical", a, a, 100},
        {"5000 new bytes inserted", a, Cat({Slice(a, 0, 100000), b, Slice(a, 100000, 100000)}),
         5000 + 200},
        {"shifted pointers", Pointers(40000, 0, 0), Pointers(40000, 20000, 96), 600},
    };
    for (const auto& [what, old, updated, most] : cases) {
        Bytes delta;
        pkgbuild::DeltaReport report;
        ASSERT_TRUE(pkgbuild::EncodeDelta(old.data(), old.size(), updated.data(), updated.size(),
                                          {}, &delta, &report));
        EXPECT_LE(delta.size(), most) << what;
        EXPECT_TRUE(report.smallerThanWhole) << what;
    }
    Bytes delta;
    pkgbuild::DeltaReport report;
    const Bytes zeros(100000, 0);
    ASSERT_TRUE(
        pkgbuild::EncodeDelta(b.data(), b.size(), zeros.data(), zeros.size(), {}, &delta, &report));
    EXPECT_FALSE(report.smallerThanWhole) << "zeros compress better whole than as literals";
}

// --- crafted deltas --------------------------------------------------------------------------
// The bytes below are written here from docs/delta.md, not by the encoder: an independent
// oracle of the format.

void PutVarint(Bytes& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

Bytes Varints(std::initializer_list<uint64_t> values) {
    Bytes out;
    for (const uint64_t value : values) {
        PutVarint(out, value);
    }
    return out;
}

struct Block {
    Bytes instructions{}, zeroRuns{}, byteRuns{}, addBytes{}, literals{};
};

// A block with every stream stored as it is.
Bytes StoredBlock(const Block& block) {
    Bytes out;
    for (const Bytes* stream : {&block.instructions, &block.zeroRuns, &block.byteRuns,
                                &block.addBytes, &block.literals}) {
        PutVarint(out, stream->size());
        PutVarint(out, stream->size());
    }
    for (const Bytes* stream : {&block.instructions, &block.zeroRuns, &block.byteRuns,
                                &block.addBytes, &block.literals}) {
        out.insert(out.end(), stream->begin(), stream->end());
    }
    return out;
}

Bytes Header(const DeltaHeader& header) {
    Bytes out(kDeltaHeaderSize);
    EncodeDeltaHeader(header, out.data());
    return out;
}

// Instruction heads.
uint64_t Head(DeltaOp op, uint64_t length) {
    return (length - 1) << 2 | static_cast<uint64_t>(op);
}

TEST_F(Delta, RefusesEveryDamagedOrCraftedDelta) {
    const Bytes old = Noise(3000, 5);
    // New: old bytes 1000..1999 with 1 added to every fourth, then "new!", then old 0..99.
    Bytes updated = Slice(old, 1000, 1000);
    for (size_t i = 0; i < updated.size(); i += 4) {
        ++updated[i];
    }
    updated.insert(updated.end(), {'n', 'e', 'w', '!'});
    updated.insert(updated.end(), old.begin(), old.begin() + 100);
    const DeltaHeader header{.oldSize = old.size(),
                             .oldHash = HashBytes(old.data(), old.size()),
                             .newSize = updated.size(),
                             .newHash = HashBytes(updated.data(), updated.size()),
                             .blockSize = 1024};
    Bytes zeroRuns;
    Bytes byteRuns;
    Bytes addBytes;
    for (int i = 0; i < 250; ++i) {  // 1000 added bytes: 1, then 3 zeros, each time
        PutVarint(zeroRuns, i == 0 ? 0 : 3);
        PutVarint(byteRuns, 1);
        addBytes.push_back(1);
    }
    PutVarint(zeroRuns, 3);
    PutVarint(byteRuns, 0);
    const Block first{Varints({Head(DeltaOp::Add, 1000), 2000, Head(DeltaOp::Literal, 4),
                               Head(DeltaOp::Copy, 20), 2 * 2000 - 1}),
                      zeroRuns,
                      byteRuns,
                      addBytes,
                      {'n', 'e', 'w', '!'}};
    const Block second{Varints({Head(DeltaOp::Copy, 80), 0}), {}, {}, {}, {}};
    const Bytes good = Cat({Header(header), StoredBlock(first), StoredBlock(second)});

    Bytes applied;
    ASSERT_TRUE(Apply(good, old, &applied)) << "the crafted delta itself";
    ASSERT_EQ(applied, updated);

    auto with = [&header](auto change) {
        DeltaHeader changed = header;
        change(changed);
        return changed;
    };
    auto withBlocks = [&](const Block& a, const Block& b) {
        return Cat({Header(header), StoredBlock(a), StoredBlock(b)});
    };
    auto firstWith = [&first](auto change) {
        Block changed = first;
        change(changed);
        return changed;
    };
    Bytes badMagic = good;
    badMagic[0] = 'q';
    Bytes badCheck = good;
    badCheck[kDeltaHeaderSize - 1] ^= 1;
    Bytes badVersion = Header(header);
    badVersion[8] = 2;
    Bytes packed = Cat({Header(header), StoredBlock(first)});
    {  // the second block's one stream as a zlib stream
        Bytes stream = pkgbuild::Compress(second.instructions);
        Bytes block = Varints({second.instructions.size(), stream.size(), 0, 0, 0, 0, 0, 0, 0, 0});
        packed = Cat({packed, block, stream});
    }
    Bytes packedTruncated = packed;
    packedTruncated.pop_back();
    Bytes differentOld = old;
    differentOld[2999] ^= 0xFF;

    const std::tuple<const char*, Bytes, Bytes> cases[] = {
        {"magic", badMagic, old},
        {"version", badVersion, old},
        {"header check", badCheck, old},
        {"block size too small", Header(with([](DeltaHeader& h) { h.blockSize = 1023; })), old},
        {"block size too large",
         Header(with([](DeltaHeader& h) { h.blockSize = kDeltaMaxBlockSize + 1; })), old},
        {"old size",
         Cat({Header(with([](DeltaHeader& h) { h.oldSize -= 1; })), StoredBlock(first)}), old},
        {"old hash",
         Cat({Header(with([](DeltaHeader& h) { h.oldHash ^= 1; })), StoredBlock(first)}), old},
        {"new size shorter",
         Cat({Header(with([](DeltaHeader& h) { h.newSize -= 1; })), StoredBlock(first),
              StoredBlock(second)}),
         old},
        {"new size of 2^64 - 1",
         Cat({Header(with([](DeltaHeader& h) { h.newSize = UINT64_MAX; })), StoredBlock(first)}),
         old},
        {"new hash",
         Cat({Header(with([](DeltaHeader& h) { h.newHash ^= 1; })), StoredBlock(first),
              StoredBlock(second)}),
         old},
        {"the wrong old file, same size", good, differentOld},
        {"the old file shorter", good, Slice(old, 0, 2999)},
        {"no old file", good, {}},
        {"truncated", Slice(good, 0, good.size() - 1), old},
        {"only the header", Header(header), old},
        {"overlong", Cat({good, {0}}), old},
        {"a third block", Cat({good, StoredBlock(second)}), old},
        {"zlib stream truncated", packedTruncated, old},
        {"zlib stream with a byte after it",
         Cat({Slice(packed, 0, packed.size() - 1), {packed.back(), 0}}), old},
        {"copy past the old file's end",
         withBlocks(first, {Varints({Head(DeltaOp::Copy, 80), 2 * 2901}), {}, {}, {}}), old},
        {"copy before the old file's start",
         withBlocks(first, {Varints({Head(DeltaOp::Copy, 80), 2 * 21 - 1}), {}, {}, {}}), old},
        {"offset of 2^63 forward",
         withBlocks(first, {Varints({Head(DeltaOp::Copy, 80), uint64_t{1} << 63}), {}, {}, {}}),
         old},
        {"offset of 2^63 back",
         withBlocks(first, {Varints({Head(DeltaOp::Copy, 80), UINT64_MAX}), {}, {}, {}}), old},
        {"varint of 11 bytes",
         withBlocks(first,
                    {Cat({Varints({Head(DeltaOp::Copy, 80)}),
                          Bytes{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0}}),
                     {},
                     {},
                     {}}),
         old},
        {"varint over 64 bits",
         withBlocks(first,
                    {Cat({Varints({Head(DeltaOp::Copy, 80)}),
                          Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}}),
                     {},
                     {},
                     {}}),
         old},
        {"length over 32 bits",
         withBlocks(first, {Varints({Head(DeltaOp::Copy, uint64_t{1} << 32), 0}), {}, {}, {}}),
         old},
        {"length of 2^62",
         withBlocks(first, {Varints({Head(DeltaOp::Copy, uint64_t{1} << 62), 0}), {}, {}, {}}),
         old},
        {"instructions past the block",
         withBlocks(first,
                    {Varints({Head(DeltaOp::Copy, 80), 0, Head(DeltaOp::Copy, 1), 0}), {}, {}, {}}),
         old},
        {"instructions short of the block",
         withBlocks(first, {Varints({Head(DeltaOp::Copy, 79), 0}), {}, {}, {}}), old},
        {"instruction cut in its offset",
         withBlocks(first, {Varints({Head(DeltaOp::Copy, 80)}), {}, {}, {}}), old},
        {"kind 3", withBlocks(first, {Varints({(79u << 2) | 3, 0}), {}, {}, {}}), old},
        {"literal past its stream",
         withBlocks(firstWith([](Block& b) { b.literals.pop_back(); }), second), old},
        {"literal byte left over",
         withBlocks(firstWith([](Block& b) { b.literals.push_back('?'); }), second), old},
        {"added bytes short",
         withBlocks(firstWith([](Block& b) {
                        b.zeroRuns.pop_back();
                        b.byteRuns.pop_back();
                    }),
                    second),
         old},
        {"a zero run without its byte run",
         withBlocks(firstWith([](Block& b) { b.byteRuns.pop_back(); }), second), old},
        {"a byte run without its zero run",
         withBlocks(firstWith([](Block& b) { b.zeroRuns.pop_back(); }), second), old},
        {"added runs past the block",
         withBlocks(firstWith([](Block& b) {
                        b.zeroRuns.push_back(100);
                        b.byteRuns.push_back(0);
                    }),
                    second),
         old},
        {"added runs of 2^32 zeros",
         withBlocks(firstWith([](Block& b) {
                        b.zeroRuns = Cat({b.zeroRuns, Varints({uint64_t{1} << 32})});
                        b.byteRuns.push_back(0);
                    }),
                    second),
         old},
        {"added non-zero bytes missing",
         withBlocks(firstWith([](Block& b) { b.addBytes.pop_back(); }), second), old},
        {"added non-zero byte left over",
         withBlocks(firstWith([](Block& b) { b.addBytes.push_back(9); }), second), old},
        {"stream length over the limit",
         Cat({Header(header),
              Varints({kDeltaMaxInstructionBytes + 1, kDeltaMaxInstructionBytes + 1})}),
         old},
        {"empty stream with a stored length",
         Cat({Header(header), Varints({0, 5, 0, 0, 0, 0, 0, 0, 0, 0})}), old},
        {"stored length with no content",
         Cat({Header(header), Varints({5, 0, 0, 0, 0, 0, 0, 0, 0, 0})}), old},
        {"block header varint over 32 bits",
         Cat({Header(header), Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x1F}}), old},
    };
    for (const auto& [what, delta, oldBytes] : cases) {
        for (const uint32_t window : {0u, 64u}) {
            const test::ViewWindow small(window);
            Bytes out;
            EXPECT_FALSE(Apply(delta, oldBytes, &out)) << what << ", window " << window;
        }
    }
}

// Old positions past 4 GiB: a copy that crosses 2^32 in an old file of 4 GiB and 4 KiB
// (sparse: zeros but for a marker on each side of 2^32).
TEST_F(Delta, CopiesFromBeyondFourGiB) {
    const uint64_t size = (uint64_t{4} << 30) + 4096;
    const std::string path = folder_.Path("large");
    {
        std::ofstream out(path, std::ios::binary);
        out.seekp(static_cast<std::streamoff>((uint64_t{4} << 30) - 4));
        out.write("ABCDEFGH", 8);
    }
    std::filesystem::resize_file(path, size);
    FileHash hash;
    StartHash(hash);
    const Bytes zeros(1 << 20, 0);
    for (uint64_t at = 0; at < size; at += zeros.size()) {
        const uint64_t length = std::min<uint64_t>(zeros.size(), size - at);
        if (at == (uint64_t{4} << 30) - (1 << 20)) {
            Bytes piece = zeros;
            std::memcpy(piece.data() + piece.size() - 4, "ABCD", 4);
            AddToHash(hash, piece.data(), length);
        } else if (at == (uint64_t{4} << 30)) {
            Bytes piece(length, 0);
            std::memcpy(piece.data(), "EFGH", 4);
            AddToHash(hash, piece.data(), length);
        } else {
            AddToHash(hash, zeros.data(), length);
        }
    }
    const Bytes updated = pkgbuild::ToBytes("ABCDEFGH");
    const DeltaHeader header{.oldSize = size,
                             .oldHash = FinishHash(hash),
                             .newSize = updated.size(),
                             .newHash = HashBytes(updated.data(), updated.size()),
                             .blockSize = kDeltaMinBlockSize};
    const Bytes delta =
        Cat({Header(header),
             StoredBlock(
                 {Varints({Head(DeltaOp::Copy, 8), ((uint64_t{4} << 30) - 4) * 2}), {}, {}, {}})});
    const platform::File file = platform::OpenFileRead(path.c_str());
    const platform::Mapping mapping = platform::CreateReadMapping(file);
    Walk in = MemoryWalk(const_cast<uint8_t*>(delta.data()), delta.size());
    DeltaHeader read;
    ASSERT_TRUE(ReadDeltaHeader(in, &read));
    Bytes out(8);
    Walk to = MemoryWalk(out.data(), out.size());
    EXPECT_TRUE(ApplyDelta(in, read, mapping, size, to));
    EXPECT_EQ(out, updated);
    platform::CloseMapping(mapping);
    platform::CloseFile(file);
}

TEST_F(Delta, TellsWhetherAFileIsTheOneRecorded) {
    const Bytes content = Noise(5000, 6);
    const uint64_t hash = HashBytes(content.data(), content.size());
    const OldFile file(folder_.Path("file"), content);
    const OldFile empty(folder_.Path("empty"), {});
    for (const uint32_t window : {0u, 100u}) {
        const test::ViewWindow small(window);
        EXPECT_TRUE(FileHasSizeAndHash(file.mapping(), file.length(), 5000, hash));
        EXPECT_FALSE(FileHasSizeAndHash(file.mapping(), file.length(), 4999, hash));
        EXPECT_FALSE(FileHasSizeAndHash(file.mapping(), file.length(), 5000, hash ^ 1));
        EXPECT_TRUE(FileHasSizeAndHash(empty.mapping(), 0, 0, HashBytes(nullptr, 0)));
        EXPECT_FALSE(FileHasSizeAndHash(empty.mapping(), 0, 1, hash));
    }
}

}  // namespace
