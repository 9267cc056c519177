// External programs, played by the helper, which records its folder and arguments in the file
// $QLM_HELPER_RECORD names.
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "fixture.h"

namespace {

using namespace fixture;

class Commands : public ::testing::Test {
  protected:
    Commands() { setenv("QLM_HELPER_RECORD", record_.c_str(), 1); }
    ~Commands() override { unsetenv("QLM_HELPER_RECORD"); }

    // What the helper records when started in the installation folder with these arguments.
    std::string Expected(const std::vector<std::string>& argv) const {
        std::string text = "cwd=" + install_.Folder() + "\nargc=" + std::to_string(argv.size());
        for (size_t index = 0; index < argv.size(); ++index) {
            text += "\nargv[" + std::to_string(index) + "]=" + argv[index];
        }
        return text + "\n";
    }
    // What was recorded, once it is `expected` or after 10 s: a program started without
    // waiting records when it gets to it.
    std::optional<std::string> Recorded(const std::string& expected) const {
        std::optional<std::string> text;
        for (int attempt = 0; attempt < 500 && (text = test::Read(record_)) != expected;
             ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return text;
    }

    Installation install_;
    const std::string record_ = install_.Path("../record.txt");
};

// The flags shape the program's path and command line; a program that cannot start, or that
// leaves the error marker (or finds one left over), ends the list with the error box and leaves
// the run unstamped, while removal and the registry table still run.
TEST_F(Commands, FlagsShapeTheCommandAndAFailureEndsTheList) {
    using Commands = std::vector<pkgbuild::Command>;
    using Words = std::vector<std::string>;
    const std::string helper = QLM_HELPER;
    const std::string relative = "..\\" + std::filesystem::path(helper).filename().string();
    const pkgbuild::Command second = {0x01, helper, "second"};
    struct Case {
        const char* what;
        bool leftoverMarker;
        Commands commands;
        Words recorded;  // the arguments the first program was started with
        std::string transcript;
    };
    const Case cases[] = {
        {"wait, relative, program in the line", false, Commands{{0x07, relative, "x \"а б\""}},
         Words{install_.FolderText() + relative, "DUMMY", "x", U8(u8"а б")}, kCompleted},
        {"relative", false, Commands{{0x02, relative, "x"}}, Words{"DUMMY", "x"}, kCompleted},
        {"program in the line", false, Commands{{0x04, helper, "x"}}, Words{helper, "DUMMY", "x"},
         kCompleted},
        {"bits 3-7, no arguments", false, Commands{{0xF8, helper, ""}}, Words{"DUMMY"}, kCompleted},
        {"marker left over from before", true, Commands{{0x01, helper, "first"}, second},
         Words{"DUMMY", "first"}, kCommandError},
        {"marker made by the first program", false, Commands{{0x01, helper, "first fail"}, second},
         Words{"DUMMY", "first", "fail"}, kCommandError},
        {"second program cannot start", false,
         Commands{{0x01, helper, "first"}, {0x03, "no_such_program", ""}, second},
         Words{"DUMMY", "first"}, kCommandError},
    };
    std::filesystem::copy_file(
        helper, install_.Path("../" + std::filesystem::path(helper).filename().string()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(record_);
        install_.Register(0);
        install_.Put({{"gone.txt", "obsolete"}});
        if (c.leftoverMarker) {
            install_.Put({{"qlm_patch_apply_err.txt", ""}});
        }
        const RunResult run = install_.Run(PackageAtLevel(
            1, {Section(":CommandsToExecute", pkgbuild::CommandsSection(c.commands)),
                List(":FilesToRemove", {"gone.txt"}),
                Section(":RegistryTable", pkgbuild::RegistryTableSection(
                                              {{1, 0, "Software\\After", 2, "Ran", "y"}}))}));
        const std::string expected = Expected(c.recorded);
        EXPECT_EQ(Recorded(expected), expected);
        EXPECT_EQ(run.transcript, c.transcript);
        EXPECT_EQ(install_.Files(), Tree{});
        EXPECT_EQ(install_.OtherKeys(), "[HKEY_LOCAL_MACHINE\\Software\\After]\n\"Ran\"=\"y\"\n\n");
        EXPECT_EQ(install_.InstalledLevel(), c.transcript == kCompleted ? 1 : 0);
    }
}

}  // namespace
