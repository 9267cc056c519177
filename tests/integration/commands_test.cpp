// External commands run by the helper program, which records what it was given.
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "fixture.h"

namespace {

using fixture::Installation;
using platform::RegistryRoot;

std::string Record(const std::string& folder, const std::vector<std::string>& argv) {
    std::string text = "cwd=" + folder + "\nargc=" + std::to_string(argv.size()) + "\n";
    for (size_t index = 0; index < argv.size(); ++index) {
        text += "argv[" + std::to_string(index) + "]=" + argv[index] + "\n";
    }
    return text;
}

// A program started without waiting records when it gets to it.
std::optional<std::string> AwaitRecord(const std::string& path, const std::string& expected) {
    std::optional<std::string> content;
    for (int attempt = 0; attempt < 500; ++attempt) {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            content = std::string(std::istreambuf_iterator<char>(in), {});
            if (*content == expected) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return content;
}

pkgbuild::Entry Commands(const std::vector<pkgbuild::Command>& commands) {
    return fixture::Section(":CommandsToExecute", pkgbuild::CommandsSection(commands));
}

TEST(Commands, FlagsShapeTheProgramPathAndCommandLine) {
    struct Case {
        uint8_t flags;
        bool copiedIntoInstallation;  // else the helper is named by its absolute path
        std::string arguments;
        std::vector<std::string> argvAfterProgram;  // what the helper sees after its path
        bool programInCommandLine;
    };
    const Case cases[] = {
        {0x07, true, "record=rec.txt \"a b\"", {"DUMMY", "record=rec.txt", "a b"}, true},
        {0x03, true, "record=rec.txt", {"DUMMY", "record=rec.txt"}, false},
        {0x05, false, "record=rec.txt", {"DUMMY", "record=rec.txt"}, true},
        {0x00, false, "record=rec.txt", {"DUMMY", "record=rec.txt"}, false},
        {0xF8, false, "record=rec.txt", {"DUMMY", "record=rec.txt"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.flags));
        Installation install;
        install.Register(0);
        std::string program = QLM_HELPER;
        if (c.copiedIntoInstallation) {
            install.MakeFolder("tools");
            std::filesystem::copy_file(QLM_HELPER, install.Path("tools/helper"));
            program = "tools\\helper";
        }
        const fixture::RunResult run =
            install.Run(fixture::PackageAtLevel(1, {Commands({{c.flags, program, c.arguments}})}));
        std::vector<std::string> argv;
        if (c.programInCommandLine) {
            argv.push_back(c.copiedIntoInstallation ? install.FolderText() + program : program);
        }
        argv.insert(argv.end(), c.argvAfterProgram.begin(), c.argvAfterProgram.end());
        const std::string expected = Record(install.Folder(), argv);
        EXPECT_EQ(AwaitRecord(install.Path("rec.txt"), expected), expected);
        EXPECT_EQ(run.transcript.find(fixture::CommandError()), std::string::npos);
        EXPECT_EQ(install.InstalledLevel(), 1);
    }
}

TEST(Commands, EmptyArgumentsLeaveOnlyTheWordDummy) {
    Installation install;
    install.Register(0);
    const std::string recordPath = install.Folder() + "/../environment.txt";
    setenv("QLM_HELPER_RECORD", recordPath.c_str(), 1);
    install.Run(fixture::PackageAtLevel(1, {Commands({{0x00, QLM_HELPER, ""}})}));
    unsetenv("QLM_HELPER_RECORD");
    const std::string expected = Record(install.Folder(), {"DUMMY"});
    EXPECT_EQ(AwaitRecord(recordPath, expected), expected);
    EXPECT_EQ(install.InstalledLevel(), 1);
}

TEST(Commands, ErrorMarkerStopsTheListAndIsDeleted) {
    struct Case {
        const char* name;
        bool markerBeforeThePhase;
        std::string firstArguments;
    };
    const Case cases[] = {
        {"marker left over from before", true, "record=first.txt"},
        {"marker made by the first program", false, "record=first.txt fail"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation install;
        install.Register(0);
        if (c.markerBeforeThePhase) {
            install.Write("qlm_patch_apply_err.txt", "");
        }
        const fixture::RunResult run = install.Run(
            fixture::PackageAtLevel(1, {Commands({{0x01, QLM_HELPER, c.firstArguments},
                                                  {0x01, QLM_HELPER, "record=second.txt"}})}));
        EXPECT_TRUE(install.Exists("first.txt"));
        EXPECT_FALSE(install.Exists("second.txt"));
        EXPECT_FALSE(install.Exists("qlm_patch_apply_err.txt"));
        EXPECT_EQ(fixture::Count(run.transcript, fixture::CommandError()), 1u);
        EXPECT_EQ(run.transcript.find(fixture::Completed()), std::string::npos);
        EXPECT_EQ(install.InstalledLevel(), 0);
        EXPECT_TRUE(run.waitForUser);
    }
}

TEST(Commands, AProgramThatCannotStartEndsTheListButNotTheRun) {
    Installation install;
    install.Register(0);
    install.Write("gone.txt", "obsolete");
    pkgbuild::RegistryRecord record;
    record.subKey = "SOFTWARE\\Quellmar\\After";
    record.valueName = "Ran";
    record.data = "yes";
    const fixture::RunResult run = install.Run(fixture::PackageAtLevel(
        1, {Commands({{0x01, QLM_HELPER, "record=first.txt"},
                      {0x03, "no_such_program", "record=second.txt"},
                      {0x01, QLM_HELPER, "record=third.txt"}}),
            fixture::Section(":FilesToRemove", pkgbuild::StringList({"gone.txt"})),
            fixture::Section(":RegistryTable", pkgbuild::RegistryTableSection({record}))}));
    EXPECT_TRUE(install.Exists("first.txt"));
    EXPECT_FALSE(install.Exists("third.txt"));
    EXPECT_EQ(fixture::Count(run.transcript, fixture::CommandError()), 1u);
    EXPECT_FALSE(install.Exists("gone.txt"));
    const auto value = fixture::ReadValue(RegistryRoot::LocalMachine, record.subKey, "Ran");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->data, std::string("yes", 4));
    EXPECT_EQ(install.InstalledLevel(), 0);
}

}  // namespace
