// qlmpatch run as a process: the usage text for every package that cannot be opened, the
// binder, and a self-contained patch that applies itself.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "package_builder.h"
#include "temp_folder.h"

using pkgbuild::Bytes;

namespace {

std::string Utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

const std::string kUsage = "Usage: PATCH.EXE resource_nm [output_nm MAKEEXE]\n";

struct Outcome {
    int status = -1;
    std::string output;
};

class QlmpatchProcessTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("QLM_REGISTRY", Path("registry.reg").c_str(), 1); }
    void TearDown() override { unsetenv("QLM_REGISTRY"); }

    std::string Path(const std::string& name) const { return folder_.Path(name); }

    // Runs `program` with `arguments` (already quoted) in the test folder, `input` on stdin.
    Outcome Start(const std::string& program, const std::string& arguments,
                  const std::string& input = "") {
        std::ofstream(Path("stdin.txt")) << input;
        const std::string command = "cd '" + folder_.path() + "' && '" + program + "' " +
                                    arguments + " < stdin.txt > stdout.txt 2>&1";
        Outcome run;
        const int status = std::system(command.c_str());
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream in(Path("stdout.txt"));
        std::stringstream text;
        text << in.rdbuf();
        run.output = text.str();
        return run;
    }

    Bytes Read(const std::string& name) {
        Bytes bytes;
        EXPECT_TRUE(pkgbuild::ReadFile(Path(name), &bytes)) << name;
        return bytes;
    }

    TempFolder folder_{"qlm_process"};
};

pkgbuild::Package GoodPackage() {
    pkgbuild::Package package;
    package.entries.push_back({.name = ":RegistryKeys",
                               .content = pkgbuild::RegistryKeysSection("SOFTWARE\\Test", "Folder",
                                                                        "Program", "Level", 3)});
    package.entries.push_back({.name = "new.txt", .content = pkgbuild::ToBytes("new content")});
    return package;
}

TEST_F(QlmpatchProcessTest, EveryPackageThatCannotBeOpenedShowsTheUsageText) {
    const Bytes good = pkgbuild::Build(GoodPackage());
    Bytes wrongMagic = good;
    wrongMagic[15] = 0x1B;
    Bytes badStorage = good;
    badStorage[24] = 1;
    Bytes directoryOutside = good;
    directoryOutside[23] = 0x7F;
    Bytes truncated(good.begin(), good.end() - 3);

    struct Case {
        const char* what;
        std::string arguments;
        Bytes package;
    };
    const Case cases[] = {
        {"missing file", "none.dat", {}},
        {"empty file", "pkg.dat", {}},
        {"wrong magic", "pkg.dat", wrongMagic},
        {"directory storage 1", "pkg.dat", badStorage},
        {"directory outside the file", "pkg.dat", directoryOutside},
        {"truncated directory", "pkg.dat", truncated},
        {"self-contained patch as a package file", "pkg.dat", pkgbuild::Bind(Bytes(64, 'M'), good)},
        {"wrong keyword", "pkg.dat out.exe makeexe", good},
        {"no package appended to the program", "", {}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(pkgbuild::WriteFile(Path("pkg.dat"), c.package));
        const Outcome run = Start(QLM_QLMPATCH, c.arguments);
        EXPECT_EQ(run.status, 0) << c.what;
        EXPECT_EQ(run.output, kUsage + "[OK]\n") << c.what;
        EXPECT_FALSE(std::filesystem::exists(Path("out.exe"))) << c.what;
    }
}

TEST_F(QlmpatchProcessTest, BindsASelfContainedPatchThatAppliesItself) {
    const Bytes package = pkgbuild::Build(GoodPackage());
    ASSERT_TRUE(pkgbuild::WriteFile(Path("pkg.dat"), package));
    const Outcome bind = Start(QLM_QLMPATCH, "pkg.dat patch.run MAKEEXE");
    EXPECT_EQ(bind.status, 0);
    EXPECT_EQ(bind.output, "") << "a binder run ends at once, without a word";
    Bytes program;
    ASSERT_TRUE(pkgbuild::ReadFile(QLM_QLMPATCH, &program));
    ASSERT_EQ(Read("patch.run"), pkgbuild::Bind(program, package));
    chmod(Path("patch.run").c_str(), 0755);

    const std::string game = Path("Game");
    std::filesystem::create_directories(game);
    std::ofstream(game + "/game.exe") << "game";
    std::ofstream(Path("registry.reg"))
        << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"Folder\"=\"" << game
        << "\"\n\"Program\"=\"game.exe\"\n";

    // Started through PATH, its first word names no file: it finds itself all the same.
    const Outcome apply = Start("/bin/sh", "-c 'PATH=\"" + folder_.path() + ":$PATH\" patch.run'");
    EXPECT_EQ(apply.status, 0);
    EXPECT_NE(apply.output.find(Utf8(u8"Обновление успешно установлено!\n")), std::string::npos)
        << apply.output;
    EXPECT_EQ(Read("Game/new.txt"), pkgbuild::ToBytes("new content"));
    std::ifstream registry(Path("registry.reg"));
    std::stringstream text;
    text << registry.rdbuf();
    EXPECT_NE(text.str().find("=dword:00000003"), std::string::npos) << text.str();
}

}  // namespace
