// qlmpatch run as a process: the usage text for whatever cannot be run, the binder, and a
// self-contained patch that applies itself.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "package_builder.h"
#include "support.h"

namespace {

using pkgbuild::Bytes;
using test::Quote;

class QlmpatchProcess : public ::testing::Test {
  protected:
    // Runs qlmpatch (or `program`) in the test folder with the test's registry store.
    test::Shell Run(const std::string& arguments, const std::string& program = QLM_QLMPATCH) {
        return test::RunShell("cd " + Quote(folder_.path()) + " && QLM_REGISTRY=registry.reg " +
                              program + " " + arguments);
    }

    test::TempFolder folder_{"qlm_process"};
    const Bytes package_ = pkgbuild::Build(
        {.entries = {{.name = ":RegistryKeys",
                      .content = pkgbuild::RegistryKeysSection("SOFTWARE\\Test", "Folder",
                                                               "Program", "Level", 3)},
                     {.name = "new.txt", .content = pkgbuild::ToBytes("new content")}}});
};

TEST_F(QlmpatchProcess, WhatCannotBeRunShowsTheUsageText) {
    Bytes wrongMagic = package_;
    wrongMagic[15] = 0x1B;
    struct Case {
        const char* what;
        std::string arguments;
        Bytes package;
    };
    const Case cases[] = {
        {"missing file", "none.dat", {}},
        {"empty file", "pkg.dat", {}},
        {"not a package", "pkg.dat", wrongMagic},
        {"self-contained patch as a package file", "pkg.dat",
         pkgbuild::Bind(Bytes(64, 'M'), package_)},
        {"wrong keyword", "pkg.dat out.exe makeexe", package_},
        {"no package appended to the program", "", {}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(pkgbuild::WriteFile(folder_.Path("pkg.dat"), c.package));
        const test::Shell run = Run(c.arguments);
        EXPECT_EQ(run.status, 0) << c.what;
        EXPECT_EQ(run.output, "Usage: PATCH.EXE resource_nm [output_nm MAKEEXE]\n[OK]\n") << c.what;
        EXPECT_FALSE(std::filesystem::exists(folder_.Path("out.exe"))) << c.what;
    }
}

TEST_F(QlmpatchProcess, BindsASelfContainedPatchThatAppliesItself) {
    ASSERT_TRUE(pkgbuild::WriteFile(folder_.Path("pkg.dat"), package_));
    const test::Shell bind = Run("pkg.dat patch.run MAKEEXE");
    EXPECT_EQ(bind.status, 0);
    EXPECT_EQ(bind.output, "") << "a binder run ends at once, without a word";
    Bytes program;
    ASSERT_TRUE(pkgbuild::ReadFile(QLM_QLMPATCH, &program));
    const Bytes patch = pkgbuild::Bind(program, package_);
    ASSERT_EQ(test::Read(folder_.Path("patch.run")), std::string(patch.begin(), patch.end()));
    chmod(folder_.Path("patch.run").c_str(), 0755);

    test::Write(folder_.Path("Game/game.exe"), "game");
    test::Write(folder_.Path("registry.reg"),
                "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"Folder\"=\"" +
                    folder_.Path("Game") + "\"\n\"Program\"=\"game.exe\"\n");
    // Started through PATH, its first word names no file: it finds itself all the same.
    const test::Shell apply = Run("", "PATH=\"" + folder_.path() + ":$PATH\" patch.run");
    EXPECT_EQ(apply.status, 0);
    EXPECT_NE(apply.output.find(test::U8(u8"Обновление успешно установлено!\n")), std::string::npos)
        << apply.output;
    EXPECT_EQ(test::Read(folder_.Path("Game/new.txt")), "new content");
    EXPECT_NE(test::Read(folder_.Path("registry.reg")).value_or("").find("=dword:00000003"),
              std::string::npos);
}

}  // namespace
