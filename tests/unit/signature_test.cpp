// Embedded packages in signed executables: the reader finds the trailer before a certificate
// table that the PE's security directory describes, and trusts no header field it follows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "package/reader.h"
#include "package_builder.h"
#include "temp_folder.h"

using pkgbuild::Bytes;

namespace {

// Where the crafted image keeps its headers.
constexpr uint32_t kImageSize = 1024;
constexpr uint32_t kNewHeader = 0x80;                  // e_lfanew
constexpr uint32_t kOptionalHeader = kNewHeader + 24;  // after "PE\0\0" and the file header

struct PeShape {
    uint16_t magic = 0x10B;  // PE32; 0x20B is PE32+
    uint16_t optionalSize = 224;
    uint32_t directoryCount = 16;
};

void Put16(Bytes& bytes, size_t at, uint16_t value) {
    bytes.at(at) = static_cast<uint8_t>(value);
    bytes.at(at + 1) = static_cast<uint8_t>(value >> 8);
}

void Put32(Bytes& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Offset of the security directory entry (entry 4) in a file made by Image.
size_t SecurityEntry(const PeShape& shape) {
    return kOptionalHeader + (shape.magic == 0x20B ? 112 : 96) + 4 * 8;
}

// A PE image with no section: just the headers that lead to the data directories.
Bytes Image(const PeShape& shape) {
    Bytes image(kImageSize, 0);
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3C, kNewHeader);
    std::memcpy(image.data() + kNewHeader, "PE\0\0", 4);
    Put16(image, kNewHeader + 4 + 16, shape.optionalSize);
    Put16(image, kOptionalHeader, shape.magic);
    Put32(image, kOptionalHeader + (shape.magic == 0x20B ? 108 : 92), shape.directoryCount);
    return image;
}

// A certificate table as signing tools write it: a WIN_CERTIFICATE header, then the data.
Bytes CertificateTable() {
    Bytes table(24, 0x5A);
    Put32(table, 0, static_cast<uint32_t>(table.size()));
    Put16(table, 4, 0x0200);  // revision 2
    Put16(table, 6, 0x0002);  // PKCS#7 signed data
    return table;
}

// `patch` followed by `padding` zero bytes and a certificate table, which the security
// directory describes as starting `offsetShift` bytes later and `sizeShift` bytes longer.
Bytes Signed(Bytes patch, const PeShape& shape, uint32_t padding, int64_t offsetShift = 0,
             int64_t sizeShift = 0) {
    patch.insert(patch.end(), padding, 0);
    const Bytes table = CertificateTable();
    const uint32_t tableOffset = static_cast<uint32_t>(patch.size());
    patch.insert(patch.end(), table.begin(), table.end());
    Put32(patch, SecurityEntry(shape), static_cast<uint32_t>(tableOffset + offsetShift));
    Put32(patch, SecurityEntry(shape) + 4, static_cast<uint32_t>(table.size() + sizeShift));
    return patch;
}

class SignedPatchTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(folder_.path().empty()); }
    void TearDown() override { ClosePackage(package_); }

    // The package offset that embedded mode finds, or -1; the one entry must load whole.
    int64_t OpenEmbedded(const Bytes& bytes) {
        EXPECT_TRUE(pkgbuild::WriteFile(path_, bytes));
        ClosePackage(package_);
        const int64_t offset = OpenPackage(package_, path_.c_str(), true);
        if (offset >= 0) {
            Bytes content(package_.directory[0].size);
            EXPECT_TRUE(LoadEntry(package_, package_.directory[0], content.data()));
            EXPECT_EQ(content, pkgbuild::ToBytes("content"));
        }
        return offset;
    }

    TempFolder folder_{"qlm_signed"};
    const std::string path_ = folder_.Path("patch.exe");
    Package package_;
};

Bytes SamplePackage() {
    pkgbuild::Package package;
    package.entries = {{.name = "a.txt", .content = pkgbuild::ToBytes("content")}};
    return pkgbuild::Build(package);
}

TEST_F(SignedPatchTest, TrailerIsFoundBeforeACertificateTableAndItsPadding) {
    const PeShape pe32;
    const PeShape pe32plus{.magic = 0x20B, .optionalSize = 240};
    for (const PeShape& shape : {pe32, pe32plus}) {
        const Bytes patch = pkgbuild::Bind(Image(shape), SamplePackage());
        for (uint32_t padding = 0; padding <= 7; ++padding) {
            EXPECT_EQ(OpenEmbedded(Signed(patch, shape, padding)), kImageSize)
                << "magic " << shape.magic << ", padding " << padding;
        }
    }
}

TEST_F(SignedPatchTest, HeadersThatDoNotLeadToATableAtTheEndLeaveNoPackage) {
    const PeShape pe32;
    const Bytes patch = pkgbuild::Bind(Image(pe32), SamplePackage());
    const Bytes signedPatch = Signed(patch, pe32, 3);
    const uint32_t newHeader = 0x3C;
    struct Case {
        const char* what;
        Bytes bytes;
    };
    auto with16 = [](Bytes bytes, size_t at, uint16_t value) {
        Put16(bytes, at, value);
        return bytes;
    };
    auto with32 = [](Bytes bytes, size_t at, uint32_t value) {
        Put32(bytes, at, value);
        return bytes;
    };
    const Case cases[] = {
        {"more than 7 zero bytes before the table", Signed(patch, pe32, 8)},
        {"table starts after its real start", Signed(patch, pe32, 3, 1, -1)},
        {"table ends before the end of the file", Signed(patch, pe32, 3, 0, -1)},
        {"table runs past the end of the file", Signed(patch, pe32, 3, 0, 1)},
        {"table starts past the end of the file", Signed(patch, pe32, 3, 1000, 0)},
        {"table of size 0", Signed(patch, pe32, 3, 24, -24)},
        {"no MZ", with16(signedPatch, 0, 0x4D5A)},
        {"e_lfanew past the end", with32(signedPatch, newHeader, 0xFFFFFFF0)},
        {"e_lfanew at the last bytes",
         with32(signedPatch, newHeader, static_cast<uint32_t>(signedPatch.size() - 2))},
        {"no PE signature", with16(signedPatch, kNewHeader, 0x4551)},
        {"unknown optional header magic", with16(signedPatch, kOptionalHeader, 0x107)},
        {"optional header too short for entry 4",
         with16(signedPatch, kNewHeader + 20, 96 + 4 * 8 + 7)},
        {"optional header runs past the end of the file",
         with16(signedPatch, kNewHeader + 20, 0xFFFF)},
        {"only 4 data directories", with32(signedPatch, kOptionalHeader + 92, 4)},
        {"a table but no trailer before it", Signed(Image(pe32), pe32, 0)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OpenEmbedded(c.bytes), -1) << c.what;
    }
}

TEST_F(SignedPatchTest, TrailerAtTheEndStillCountsWhenNoTableEndsThere) {
    const PeShape pe32;
    // An image signed before binding: its table lies inside the image, and the file ends in
    // the trailer of the package bound after it.
    const Bytes signedImage = Signed(Image(pe32), pe32, 0);
    EXPECT_EQ(OpenEmbedded(pkgbuild::Bind(signedImage, SamplePackage())),
              static_cast<int64_t>(signedImage.size()));
    EXPECT_EQ(OpenEmbedded(pkgbuild::Bind(Image(pe32), SamplePackage())), kImageSize);
    EXPECT_EQ(OpenEmbedded(pkgbuild::Bind(Bytes(500, 'M'), SamplePackage())), 500);
}

}  // namespace
