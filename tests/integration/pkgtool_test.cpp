// pkgtool run as a process: a manifest becomes a package the installer reads, and a package
// that cannot be read is described without being trusted.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "package/reader.h"
#include "package_builder.h"
#include "temp_folder.h"

using pkgbuild::Bytes;

namespace {

class PkgtoolTest : public ::testing::Test {
  protected:
    std::string Path(const std::string& name) const { return folder_.Path(name); }

    // Exit status of pkgtool with these arguments; its output goes to output_.
    int Pkgtool(const std::string& arguments) {
        const std::string command = std::string("'") + QLM_PKGTOOL + "' " + arguments + " > '" +
                                    Path("output.txt") + "' 2>&1";
        const int status = std::system(command.c_str());
        std::ifstream in(Path("output.txt"));
        std::stringstream text;
        text << in.rdbuf();
        output_ = text.str();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TempFolder folder_{"qlm_pkgtool"};
    std::string output_;
};

TEST_F(PkgtoolTest, BuildsAPackageTheReaderOpens) {
    std::filesystem::create_directories(Path("files/bin"));
    std::ofstream(Path("files/bin/a.dll")) << "library";
    std::ofstream(Path("patch.manifest"))
        << "registry-keys SOFTWARE\\\\Game | Folder | Program | Level | 7\n"
        << "payload files\n"
        << reinterpret_cast<const char*>(u8"folder Сохранения\n");  // manifests are UTF-8
    ASSERT_EQ(Pkgtool("build '" + Path("patch.manifest") + "' '" + Path("patch.pkg") + "'"), 0)
        << output_;

    Package package;
    ASSERT_EQ(OpenPackage(package, Path("patch.pkg").c_str(), false), 0);
    const int library = FindEntry(package, "BIN\\A.DLL");
    ASSERT_GE(library, 0);
    Bytes content(package.directory[library].size);
    EXPECT_TRUE(LoadEntry(package, package.directory[library], content.data()));
    EXPECT_EQ(content, pkgbuild::ToBytes("library"));
    const int folders = FindEntry(package, ":Folders");
    ASSERT_GE(folders, 0);
    Bytes list(package.directory[folders].size);
    EXPECT_TRUE(LoadEntry(package, package.directory[folders], list.data()));
    EXPECT_EQ(list, pkgbuild::StringList({"Сохранения"}));  // Windows-1251 bytes
    ClosePackage(package);

    EXPECT_EQ(Pkgtool("list '" + Path("patch.pkg") + "'"), 0);
    EXPECT_NE(output_.find("bin\\a.dll"), std::string::npos) << output_;
}

TEST_F(PkgtoolTest, RefusesWhatItCannotReadOrBuild) {
    pkgbuild::Package package;
    package.entries = {{.name = "a", .content = pkgbuild::ToBytes("data")}};
    Bytes brokenEntry = pkgbuild::Build(package);
    brokenEntry[32 + 4] ^= 0xFF;  // inside the entry's zlib stream
    Bytes wrongMagic = pkgbuild::Build(package);
    wrongMagic[0] = 'q';
    ASSERT_TRUE(pkgbuild::WriteFile(Path("broken.pkg"), brokenEntry));
    ASSERT_TRUE(pkgbuild::WriteFile(Path("magic.pkg"), wrongMagic));
    ASSERT_TRUE(pkgbuild::WriteFile(Path("empty.pkg"), {}));
    std::ofstream(Path("bad.manifest")) << "folder ok\nfolders typo\n";

    struct Case {
        std::string arguments;
        int status;
    };
    const Case cases[] = {
        {"list '" + Path("broken.pkg") + "'", 1},
        {"list '" + Path("magic.pkg") + "'", 1},
        {"list '" + Path("empty.pkg") + "'", 1},
        {"list '" + Path("none.pkg") + "'", 1},
        {"build '" + Path("bad.manifest") + "' '" + Path("out.pkg") + "'", 1},
        {"list", 2},
        {"frobnicate x", 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Pkgtool(c.arguments), c.status) << c.arguments << "\n" << output_;
    }
    EXPECT_FALSE(std::filesystem::exists(Path("out.pkg")));
}

}  // namespace
