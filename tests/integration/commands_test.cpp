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

TEST_F(Commands, FlagsShapeTheProgramPathAndCommandLine) {
    std::filesystem::create_directory(install_.Path("tools"));
    std::filesystem::copy_file(QLM_HELPER, install_.Path("tools/helper"));
    struct Case {
        uint8_t flags;
        std::string arguments;
        std::vector<std::string> words;  // what the helper sees after "DUMMY"
    };
    const Case cases[] = {
        {0x07, "x \"a b\"", {"x", "a b"}},
        {0x03, "x", {"x"}},
        {0x05, "x", {"x"}},
        {0xF8, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.flags));
        std::filesystem::remove(record_);
        install_.Register(0);
        const std::string program = (c.flags & 2) ? "tools\\helper" : QLM_HELPER;
        const RunResult run = install_.Run(PackageAtLevel(
            1, {Section(":CommandsToExecute",
                        pkgbuild::CommandsSection({{c.flags, program, c.arguments}}))}));
        std::vector<std::string> argv;
        if (c.flags & 4) {
            argv.push_back((c.flags & 2) ? install_.FolderText() + program : program);
        }
        argv.push_back("DUMMY");
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        EXPECT_EQ(Recorded(Expected(argv)), Expected(argv));
        EXPECT_EQ(run.transcript, kCompleted);
        EXPECT_EQ(install_.InstalledLevel(), 1);
    }
}

// A program that cannot start, or that leaves the error marker (or finds one left over), ends
// the list with the error box and leaves the run unstamped; removal and the registry table
// still run.
TEST_F(Commands, AFailureEndsTheListButNotTheRun) {
    struct Case {
        const char* what;
        bool leftoverMarker;
        std::string first;  // the first program's arguments, which it records
        std::vector<pkgbuild::Command> more;
    };
    const pkgbuild::Command second = {0x01, QLM_HELPER, "second"};
    const Case cases[] = {
        {"marker left over from before", true, "first", {second}},
        {"marker made by the first program", false, "first fail", {second}},
        {"second program cannot start", false, "first", {{0x03, "no_such_program", ""}, second}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(record_);
        install_.Register(0);
        install_.Put({{"gone.txt", "obsolete"}});
        if (c.leftoverMarker) {
            install_.Put({{"qlm_patch_apply_err.txt", ""}});
        }
        std::vector<pkgbuild::Command> commands = {{0x01, QLM_HELPER, c.first}};
        commands.insert(commands.end(), c.more.begin(), c.more.end());
        const RunResult run = install_.Run(PackageAtLevel(
            1, {Section(":CommandsToExecute", pkgbuild::CommandsSection(commands)),
                Section(":FilesToRemove", pkgbuild::StringList({"gone.txt"})),
                Section(":RegistryTable", pkgbuild::RegistryTableSection(
                                              {{1, 0, "Software\\After", 2, "Ran", "y"}}))}));
        EXPECT_EQ(
            test::Read(record_),
            Expected(c.first == "first" ? std::vector<std::string>{"DUMMY", "first"}
                                        : std::vector<std::string>{"DUMMY", "first", "fail"}));
        EXPECT_EQ(run.transcript, kCommandError);
        EXPECT_TRUE(run.waitForUser);
        EXPECT_EQ(install_.Files(), Tree{});
        EXPECT_EQ(install_.OtherKeys(), "[HKEY_LOCAL_MACHINE\\Software\\After]\n\"Ran\"=\"y\"\n\n");
        EXPECT_EQ(install_.InstalledLevel(), 0);
    }
}

}  // namespace
