// Self-contained patches signed with the real osslsigncode: made from the real PATCH.EXE by
// the binder, signed with a certificate made here, they verify and still open their package.
// qlmpatch cannot be signed (it is no PE file), but its reader is PATCH.EXE's.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

#include "package/binder.h"
#include "package/reader.h"
#include "package_builder.h"
#include "temp_folder.h"

using pkgbuild::Bytes;

namespace {

const std::string kImage = std::string(QLM_BUILD_DIR) + "/../win32/PATCH.EXE";

// Runs a shell command in `folder`; its output goes to output.txt there.
int Shell(const TempFolder& folder, const std::string& command) {
    const int status =
        std::system(("cd '" + folder.path() + "' && " + command + " > output.txt 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Output(const TempFolder& folder) {
    Bytes text;
    pkgbuild::ReadFile(folder.Path("output.txt"), &text);
    return std::string(text.begin(), text.end());
}

int Sign(const TempFolder& folder, const std::string& in, const std::string& out) {
    return Shell(folder,
                 "osslsigncode sign -certs cert.pem -key key.pem -in " + in + " -out " + out);
}

// The package offset embedded mode finds; the entry must load whole.
int64_t OpenEmbedded(const std::string& path) {
    Package package;
    const int64_t offset = OpenPackage(package, path.c_str(), true);
    Bytes content(offset >= 0 ? package.directory[0].size : 0);
    EXPECT_TRUE(offset < 0 || LoadEntry(package, package.directory[0], content.data())) << path;
    EXPECT_TRUE(offset < 0 || content == Bytes(100000, 'a')) << path;
    ClosePackage(package);
    return offset;
}

TEST(Signing, PatchesSignedAfterBindingVerifyAndOpenTheirPackage) {
    if (!std::filesystem::exists(kImage)) {
        GTEST_SKIP() << kImage << " is not built (cmake --build --preset win32)";
    }
    TempFolder folder("qlm_signing");
    ASSERT_EQ(Shell(folder,
                    "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=qlm"
                    " -keyout key.pem -out cert.pem"),
              0)
        << Output(folder);
    pkgbuild::Package package;
    package.entries = {{.name = "a.bin", .content = Bytes(100000, 'a')}};
    ASSERT_TRUE(pkgbuild::WriteFile(folder.Path("pkg.dat"), pkgbuild::Build(package)));
    Bytes image;
    ASSERT_TRUE(pkgbuild::ReadFile(kImage, &image));
    ASSERT_TRUE(pkgbuild::WriteFile(folder.Path("image.exe"), image));

    // The publisher's path: bind an unsigned PATCH.EXE, then sign and verify.
    ASSERT_TRUE(BindPackage(kImage.c_str(), folder.Path("pkg.dat").c_str(),
                            folder.Path("bound.exe").c_str()));
    ASSERT_EQ(Sign(folder, "bound.exe", "signed.exe"), 0) << Output(folder);
    ASSERT_EQ(Shell(folder, "osslsigncode verify -CAfile cert.pem signed.exe"), 0)
        << Output(folder);
    EXPECT_EQ(OpenEmbedded(folder.Path("signed.exe")), static_cast<int64_t>(image.size()));

    // A signed PATCH.EXE is bound byte for byte; its table inside the image ends nothing, so
    // the trailer at the end is found.
    ASSERT_EQ(Sign(folder, "image.exe", "signed-image.exe"), 0) << Output(folder);
    Bytes signedImage, bound;
    ASSERT_TRUE(pkgbuild::ReadFile(folder.Path("signed-image.exe"), &signedImage));
    ASSERT_TRUE(BindPackage(folder.Path("signed-image.exe").c_str(), folder.Path("pkg.dat").c_str(),
                            folder.Path("bound2.exe").c_str()));
    ASSERT_TRUE(pkgbuild::ReadFile(folder.Path("bound2.exe"), &bound));
    EXPECT_EQ(Bytes(bound.begin(), bound.begin() + signedImage.size()), signedImage);
    EXPECT_EQ(OpenEmbedded(folder.Path("bound2.exe")), static_cast<int64_t>(signedImage.size()));
}

}  // namespace
