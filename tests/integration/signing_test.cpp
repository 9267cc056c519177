// Self-contained patches signed with the real osslsigncode: made from the real PATCH.EXE by
// the binder, signed with a certificate made here, they verify and still open their package.
// qlmpatch cannot be signed (it is no PE file), but its reader is PATCH.EXE's.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "package/binder.h"
#include "package/reader.h"
#include "package_builder.h"
#include "support.h"

namespace {

const std::string kImage = std::string(QLM_BUILD_DIR) + "/../win32/PATCH.EXE";

// The package offset embedded mode finds; its entry must load whole.
int64_t OpenEmbedded(const std::string& path) {
    Package package;
    const int64_t offset = OpenPackage(package, path.c_str(), true);
    pkgbuild::Bytes content(offset >= 0 ? package.directory[0].size : 0);
    EXPECT_TRUE(offset < 0 || LoadEntry(package, package.directory[0], content.data())) << path;
    EXPECT_EQ(content, pkgbuild::Bytes(offset >= 0 ? 100000 : 0, 'a')) << path;
    ClosePackage(package);
    return offset;
}

TEST(Signing, PatchesSignedAfterBindingVerifyAndOpenTheirPackage) {
    if (!std::filesystem::exists(kImage)) {
        GTEST_SKIP() << kImage << " is not built (cmake --build --preset win32)";
    }
    test::TempFolder folder("qlm_signing");
    const auto shell = [&folder](const std::string& command) {
        return test::RunShell("cd " + test::Quote(folder.path()) + " && " + command);
    };
    const auto sign = [&shell](const std::string& in, const std::string& out) {
        return shell("osslsigncode sign -certs cert.pem -key key.pem -in " + in + " -out " + out);
    };
    test::Shell run = shell(
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=qlm"
        " -keyout key.pem -out cert.pem");
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_TRUE(pkgbuild::WriteFile(
        folder.Path("pkg.dat"),
        pkgbuild::Build(
            {.entries = {{.name = "a.bin", .content = pkgbuild::Bytes(100000, 'a')}}})));
    const std::string image = test::Read(kImage).value_or("");
    const auto bind = [&folder](const std::string& image, const std::string& output) {
        return BindPackage(image.c_str(), folder.Path("pkg.dat").c_str(),
                           folder.Path(output).c_str());
    };

    // The publisher's path: bind an unsigned PATCH.EXE, then sign and verify.
    ASSERT_TRUE(bind(kImage, "bound.exe"));
    ASSERT_EQ((run = sign("bound.exe", "signed.exe")).status, 0) << run.output;
    ASSERT_EQ((run = shell("osslsigncode verify -CAfile cert.pem signed.exe")).status, 0)
        << run.output;
    EXPECT_EQ(OpenEmbedded(folder.Path("signed.exe")), static_cast<int64_t>(image.size()));

    // A signed PATCH.EXE is bound byte for byte; its table inside the image ends nothing, so
    // the trailer at the end is found.
    test::Write(folder.Path("image.exe"), image);
    ASSERT_EQ((run = sign("image.exe", "signed-image.exe")).status, 0) << run.output;
    const std::string signedImage = test::Read(folder.Path("signed-image.exe")).value_or("");
    ASSERT_TRUE(bind(folder.Path("signed-image.exe"), "bound2.exe"));
    EXPECT_EQ(test::Read(folder.Path("bound2.exe")).value_or("").substr(0, signedImage.size()),
              signedImage);
    EXPECT_EQ(OpenEmbedded(folder.Path("bound2.exe")), static_cast<int64_t>(signedImage.size()));
}

}  // namespace
