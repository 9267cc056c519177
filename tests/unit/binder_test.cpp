#include "package/binder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "package_builder.h"
#include "temp_folder.h"
#include "view_window.h"

using pkgbuild::Bytes;

namespace {

class BinderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pkgbuild::WriteFile(image_, imageBytes_));
        ASSERT_TRUE(pkgbuild::WriteFile(package_, packageBytes_));
    }

    std::string Path(const char* name) const { return folder_.Path(name); }
    static Bytes Read(const std::string& path) {
        Bytes bytes;
        EXPECT_TRUE(pkgbuild::ReadFile(path, &bytes)) << path;
        return bytes;
    }

    TempFolder folder_{"qlm_binder"};
    const std::string image_ = Path("PATCH.EXE");
    const std::string package_ = Path("pkg.dat");
    const std::string output_ = Path("out.exe");
    const Bytes imageBytes_ = Bytes(77824, 'M');
    const Bytes packageBytes_ = pkgbuild::ToBytes("any bytes at all: the binder never looks");
};

TEST_F(BinderTest, WritesImagePackageAndTrailer) {
    // 0 is the program's window; the image is 19 windows of 4096 bytes, so with that window the
    // package starts exactly at a boundary; with 77825 the trailer crosses one.
    for (const uint32_t window : {0u, 1000u, 4096u, 77825u}) {
        ViewWindowForTest small(window);
        ASSERT_TRUE(pkgbuild::WriteFile(output_, Bytes(1 << 20, 'o')));  // replaced, not extended
        ASSERT_TRUE(BindPackage(image_.c_str(), package_.c_str(), output_.c_str())) << window;
        EXPECT_EQ(Read(output_), pkgbuild::Bind(imageBytes_, packageBytes_)) << window;
    }
}

TEST_F(BinderTest, BindsAnAlreadyBoundImageAgain) {
    ASSERT_TRUE(BindPackage(image_.c_str(), package_.c_str(), output_.c_str()));
    const std::string twice = Path("twice.exe");
    ASSERT_TRUE(BindPackage(output_.c_str(), package_.c_str(), twice.c_str()));
    EXPECT_EQ(Read(twice), pkgbuild::Bind(Read(output_), packageBytes_));
}

TEST_F(BinderTest, FailedBindLeavesNoOutputAndInputsIntact) {
    const std::string empty = Path("empty.dat");
    ASSERT_TRUE(pkgbuild::WriteFile(empty, {}));
    struct Case {
        const char* what;
        std::string image, package, output;
        bool outputRemains;  // an output that names an input is that input, untouched
    };
    const Case cases[] = {
        {"package of length 0", image_, empty, output_, false},
        {"missing package", image_, Path("none.dat"), output_, false},
        {"output in a missing folder", image_, package_, Path("no/such/out.exe"), false},
        {"output names the image", image_, package_, image_, true},
        {"output names the package", image_, package_, package_, true},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(BindPackage(c.image.c_str(), c.package.c_str(), c.output.c_str())) << c.what;
        EXPECT_EQ(std::filesystem::exists(c.output), c.outputRemains) << c.what;
        EXPECT_EQ(Read(image_), imageBytes_) << c.what;
        EXPECT_EQ(Read(package_), packageBytes_) << c.what;
    }
}

TEST_F(BinderTest, ImageFallsBackToTheProgramsOwnFile) {
    ASSERT_TRUE(BindPackage("no-such-program", package_.c_str(), output_.c_str()));
    EXPECT_EQ(Read(output_), pkgbuild::Bind(Read("/proc/self/exe"), packageBytes_));
}

}  // namespace
