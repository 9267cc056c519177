// Embedded packages in signed executables: the trailer is found before a certificate table
// that the PE's security directory describes, and no header field is trusted on the way.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "package/reader.h"
#include "package_builder.h"
#include "temp_folder.h"

using pkgbuild::Bytes;

namespace {

constexpr uint32_t kImageSize = 1024;
constexpr uint32_t kNewHeader = 0x80;                  // e_lfanew
constexpr uint32_t kOptionalHeader = kNewHeader + 24;  // after "PE\0\0" and the file header

Bytes With(Bytes bytes, size_t at, uint32_t value, int size = 4) {
    for (int i = 0; i < size; ++i) {
        bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

// A PE image with no section, just the headers that lead to the data directories.
Bytes Image(uint16_t magic) {
    Bytes image(kImageSize, 0);
    std::memcpy(image.data(), "MZ", 2);
    std::memcpy(image.data() + kNewHeader, "PE\0\0", 4);
    image = With(image, 0x3C, kNewHeader);
    image = With(image, kNewHeader + 20, magic == 0x20B ? 240 : 224, 2);  // SizeOfOptionalHeader
    image = With(image, kOptionalHeader, magic, 2);
    return With(image, kOptionalHeader + (magic == 0x20B ? 108 : 92), 16);  // NumberOfRvaAndSizes
}

size_t SecurityEntry(uint16_t magic) {
    return kOptionalHeader + (magic == 0x20B ? 112 : 96) + 4 * 8;
}

// `patch`, `padding` zero bytes and a certificate table of 24 bytes, which the security
// directory says starts `offsetShift` bytes later and is `sizeShift` bytes longer.
Bytes Signed(Bytes patch, uint32_t padding, uint16_t magic = 0x10B, int offsetShift = 0,
             int sizeShift = 0) {
    patch.insert(patch.end(), padding, 0);
    const uint32_t tableOffset = static_cast<uint32_t>(patch.size());
    patch.insert(patch.end(), 24, 0x5A);
    patch = With(patch, SecurityEntry(magic), tableOffset + offsetShift);
    return With(patch, SecurityEntry(magic) + 4, 24 + sizeShift);
}

TEST(SignedPatch, TrailerBeforeACertificateTableThatEndsTheFile) {
    pkgbuild::Package package;
    package.entries = {{.name = "a.txt", .content = pkgbuild::ToBytes("content")}};
    const Bytes sample = pkgbuild::Build(package);
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
    TempFolder folder("qlm_signed");
    const std::string path = folder.Path("patch.exe");
    for (const Case& c : cases) {
        ASSERT_TRUE(pkgbuild::WriteFile(path, c.bytes));
        Package opened;
        EXPECT_EQ(OpenPackage(opened, path.c_str(), true), c.offset) << c.what;
        if (c.offset >= 0) {
            Bytes content(7);
            EXPECT_TRUE(LoadEntry(opened, opened.directory[0], content.data())) << c.what;
            EXPECT_EQ(content, pkgbuild::ToBytes("content")) << c.what;
        }
        ClosePackage(opened);
    }
}

}  // namespace
