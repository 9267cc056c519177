// Self-contained patches signed with the real osslsigncode: the binder's output, made from the
// real PATCH.EXE, is signed with a certificate made here, verifies, and still opens its
// package. qlmpatch cannot be signed (it is no PE file), but its reader is PATCH.EXE's.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "package/binder.h"
#include "package/reader.h"
#include "package_builder.h"
#include "temp_folder.h"

using pkgbuild::Bytes;

namespace {

const std::string kImage = std::string(QLM_BUILD_DIR) + "/../win32/PATCH.EXE";

class SigningTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kImage)) {
            GTEST_SKIP() << kImage << " is not built (cmake --build --preset win32)";
        }
        if (Run("osslsigncode --version") != 0) {
            GTEST_SKIP() << "osslsigncode is not installed (scripts/setup.sh installs it)";
        }
        ASSERT_EQ(Run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=qlm-patch test'"
                      " -keyout key.pem -out cert.pem"),
                  0)
            << output_;
        ASSERT_TRUE(pkgbuild::WriteFile(Path("pkg.dat"), pkgbuild::Build(SamplePackage())));
    }
    void TearDown() override { ClosePackage(package_); }

    static pkgbuild::Package SamplePackage() {
        pkgbuild::Package package;
        package.entries = {{.name = "data\\a.bin", .content = Bytes(100000, 'a')},
                           {.name = "b.txt", .content = pkgbuild::ToBytes("b")}};
        return package;
    }

    std::string Path(const std::string& name) const { return folder_.Path(name); }

    // Runs a shell command in the test folder; its output goes to output_.
    int Run(const std::string& command) {
        const std::string line = "cd '" + folder_.path() + "' && " + command + " > output.txt 2>&1";
        const int status = std::system(line.c_str());
        std::ifstream in(Path("output.txt"));
        std::stringstream text;
        text << in.rdbuf();
        output_ = text.str();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int Sign(const std::string& in, const std::string& out) {
        return Run("osslsigncode sign -certs cert.pem -key key.pem -in " + in + " -out " + out);
    }

    // Opens the embedded package and loads every entry of SamplePackage.
    void ExpectPackageAt(const std::string& name, int64_t offset) {
        ClosePackage(package_);
        ASSERT_EQ(OpenPackage(package_, Path(name).c_str(), true), offset) << name;
        for (const pkgbuild::Entry& expected : SamplePackage().entries) {
            const int index = FindEntry(package_, expected.name.c_str());
            ASSERT_GE(index, 0) << expected.name;
            Bytes loaded(package_.directory[index].size);
            EXPECT_TRUE(LoadEntry(package_, package_.directory[index], loaded.data()));
            EXPECT_EQ(loaded, expected.content) << name << ": " << expected.name;
        }
    }

    TempFolder folder_{"qlm_signing"};
    std::string output_;
    Package package_;
};

TEST_F(SigningTest, BoundPatchSignedAfterwardsVerifiesAndOpensItsPackage) {
    Bytes image;
    ASSERT_TRUE(pkgbuild::ReadFile(kImage, &image));
    ASSERT_TRUE(BindPackage(kImage.c_str(), Path("pkg.dat").c_str(), Path("bound.exe").c_str()));
    ASSERT_EQ(Sign("bound.exe", "signed.exe"), 0) << output_;
    ASSERT_EQ(Run("osslsigncode verify -CAfile cert.pem signed.exe"), 0) << output_;
    EXPECT_GT(std::filesystem::file_size(Path("signed.exe")),
              std::filesystem::file_size(Path("bound.exe")));
    ExpectPackageAt("bound.exe", static_cast<int64_t>(image.size()));
    ExpectPackageAt("signed.exe", static_cast<int64_t>(image.size()));
}

TEST_F(SigningTest, SignedImageIsBoundByteForByte) {
    ASSERT_EQ(Run("cp '" + kImage + "' image.exe"), 0);
    ASSERT_EQ(Sign("image.exe", "signed-image.exe"), 0) << output_;
    Bytes signedImage;
    ASSERT_TRUE(pkgbuild::ReadFile(Path("signed-image.exe"), &signedImage));
    ASSERT_TRUE(BindPackage(Path("signed-image.exe").c_str(), Path("pkg.dat").c_str(),
                            Path("bound.exe").c_str()));
    Bytes bound;
    ASSERT_TRUE(pkgbuild::ReadFile(Path("bound.exe"), &bound));
    ASSERT_GT(bound.size(), signedImage.size());
    EXPECT_TRUE(std::equal(signedImage.begin(), signedImage.end(), bound.begin()));
    // The image's table no longer ends the file: the trailer at the end is found.
    ExpectPackageAt("bound.exe", static_cast<int64_t>(signedImage.size()));

    // Signing again: osslsigncode 2.9 ignores the stale table inside the image; older
    // releases refuse a file whose table does not end it.
    if (Sign("bound.exe", "resigned.exe") != 0) {
        GTEST_SKIP() << "this osslsigncode refuses a stale signature inside the file:\n" << output_;
    }
    ASSERT_EQ(Run("osslsigncode verify -CAfile cert.pem resigned.exe"), 0) << output_;
    ExpectPackageAt("resigned.exe", static_cast<int64_t>(signedImage.size()));
}

}  // namespace
