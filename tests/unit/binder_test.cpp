#include "package/binder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "package_builder.h"
#include "support.h"

using pkgbuild::Bytes;

namespace {

class Binder : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pkgbuild::WriteFile(image_, imageBytes_));
        ASSERT_TRUE(pkgbuild::WriteFile(package_, packageBytes_));
    }
    bool Bind(const std::string& image, const std::string& package, const std::string& output) {
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

TEST_F(Binder, FailedBindLeavesNoOutputAndInputsIntact) {
    const std::string empty = folder_.Path("empty.dat");
    ASSERT_TRUE(pkgbuild::WriteFile(empty, {}));
    struct Case {
        const char* what;
        std::string image, package, output;
        bool outputRemains;  // an output that names an input is that input, untouched
    };
    const Case cases[] = {
        {"package of length 0", image_, empty, output_, false},
        {"missing package", image_, folder_.Path("none.dat"), output_, false},
        {"output in a missing folder", image_, package_, folder_.Path("no/such/out.exe"), false},
        {"output names the image", image_, package_, image_, true},
        {"output names the package", image_, package_, package_, true},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(Bind(c.image, c.package, c.output)) << c.what;
        EXPECT_EQ(std::filesystem::exists(c.output), c.outputRemains) << c.what;
        EXPECT_EQ(Read(image_), imageBytes_) << c.what;
        EXPECT_EQ(Read(package_), packageBytes_) << c.what;
    }
}

}  // namespace
