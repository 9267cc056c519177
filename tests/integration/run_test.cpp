// Discovery, the opening message, the version gate and control sections that cannot be used:
// where each run stops and what it says. A stop leaves the installation as it was, and a run
// that met a section it could not use is never stamped.
#include <filesystem>
#include <functional>

#include "fixture.h"

namespace {

using namespace fixture;
using pkgbuild::Package;
using pkgbuild::StringList;
using platform::kRegDword;
using platform::kRegSz;

const Entry kNewTxt = Payload("new.txt", "new");
const Tree kNewTxtInstalled = {{"new.txt", "new"}};

// Every run starts registered at level 0, with a package of level 1 that installs new.txt.
TEST(Run, StopsAndUnusableSectionsLeaveTheLevelAsItWas) {
    using Change = std::function<void(const Installation&, Package&)>;
    const auto add = [](Entry entry) -> Change {
        return [entry](const Installation&, Package& p) { p.entries.push_back(entry); };
    };
    const auto keys = [](Entry entry) -> Change {
        return [entry](const Installation&, Package& p) { p.entries[0] = entry; };
    };
    const std::string installed = Installed("new.txt");
    struct Case {
        const char* what;
        Change change;
        std::string transcript;
        bool waits;
        bool installs;
    };
    const Case cases[] = {
        {"no :RegistryKeys",
         [](const Installation&, Package& p) { p.entries.erase(p.entries.begin()); }, kNotFound,
         true, false},
        {":RegistryKeys without its level",
         keys(Section(":RegistryKeys", StringList({kSubKey, "ProgramPath", "ProgramName", "L"}))),
         kNotFound, true, false},
        {"damaged :RegistryKeys", keys(Damaged(RegistryKeys(1))), kNotFound, true, false},
        {"missing key",
         [](const Installation& i, Package&) { std::filesystem::remove(i.RegistryFile()); },
         KeyError(kSubKey) + KeyError(kSubKey) + kNotFound, true, false},
        {"missing program value",
         [](const Installation& i, Package&) {
             std::filesystem::remove(i.RegistryFile());
             i.Set("ProgramPath", kRegSz, i.Folder());
         },
         ValueError("ProgramName") + kNotFound, true, false},
        {"program value of 512 bytes without a NUL",
         [](const Installation& i, Package&) {
             i.Set("ProgramName", kRegSz, std::string(512, 'a'));
         },
         ValueError("ProgramName") + kNotFound, true, false},
        {"missing program file",
         [](const Installation& i, Package&) { std::filesystem::remove(i.Path(kProgramName)); },
         kNotFound, true, false},
        {"damaged :StartupMsg", add(Damaged(Section(":StartupMsg", StringList({"C", "T"})))), "",
         false, false},
        {"damaged :XlatNamesTable",
         add(Damaged(Section(":XlatNamesTable", StringList({"a", "b"})))), "", true, false},
        {"damaged :Folders", add(Damaged(Section(":Folders", StringList({"f"})))), installed, true,
         true},
        {"damaged :CommandsToExecute",
         add(Damaged(Section(":CommandsToExecute", pkgbuild::CommandsSection({})))),
         installed + kCommandError, true, true},
        {":CommandsToExecute of one byte", add(Section(":CommandsToExecute", {0})),
         installed + kCommandError, true, true},
        {":CommandsToExecute cut inside a record", add(Section(":CommandsToExecute", {1, 'x'})),
         installed + kCommandError, true, true},
        {"damaged :FilesToRemove", add(Damaged(Section(":FilesToRemove", StringList({"f"})))),
         installed, true, true},
        {"damaged :RegistryTable",
         add(Damaged(Section(":RegistryTable", pkgbuild::RegistryTableSection({})))), installed,
         true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation install;
        install.Register(0);
        Package package = PackageAtLevel(1, {kNewTxt});
        c.change(install, package);
        const std::optional<int32_t> level = install.InstalledLevel();
        const RunResult run = install.Run(package);
        EXPECT_EQ(run.transcript, c.transcript);
        EXPECT_EQ(run.waitForUser, c.waits);
        EXPECT_EQ(install.Files(), c.installs ? kNewTxtInstalled : Tree{});
        EXPECT_EQ(install.InstalledLevel(), level);
    }
}

// The opening message and the version gate: a question answered OK lets the run go on; a
// declined one ends it at once, without waiting for the user.
TEST(Run, QuestionsDecideWhetherTheRunGoesOn) {
    const Entry message = Section(":StartupMsg", StringList({"Патч 1", "Строка\r\nдве"}));
    const std::string opening = U8(u8"[Патч 1] Строка\nдве\n(OK/Cancel) > \n");
    struct Case {
        const char* what;
        uint32_t type;
        std::string installed;  // the PatchLevel value; none when empty
        int32_t packageLevel;
        std::vector<Entry> more;
        const char* answers;
        std::string questions;
        bool goesOn;
    };
    const Case cases[] = {
        {"opening message accepted", kRegDword, Dword(0), 1, {message}, "\n", opening, true},
        {"opening message declined", kRegDword, Dword(0), 1, {message}, "cancel\n", opening, false},
        {"installed level above, declined",
         kRegDword,
         Dword(12),
         11,
         {},
         "cancel\n",
         kLevelQuestion,
         false},
        {"installed level equal, accepted",
         kRegDword,
         Dword(11),
         11,
         {},
         "ok\n",
         kLevelQuestion,
         true},
        {"installed level below", kRegDword, Dword(10), 11, {}, "", "", true},
        {"level stored as text", kRegSz, std::string("12", 3), 11, {}, "", "", true},
        {"no level, package level 0", kRegDword, "", 0, {}, "cancel\n", kLevelQuestion, false},
        {"most negative installed level",
         kRegDword,
         Dword(INT32_MIN),
         INT32_MIN + 1,
         {},
         "",
         "",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation install;
        install.Register(std::nullopt);
        if (!c.installed.empty()) {
            install.Set("PatchLevel", c.type, c.installed);
        }
        std::vector<Entry> entries = c.more;
        entries.push_back(kNewTxt);
        const std::optional<int32_t> level = install.InstalledLevel();
        const RunResult run = install.Run(PackageAtLevel(c.packageLevel, entries), c.answers);
        EXPECT_EQ(run.transcript,
                  c.questions + (c.goesOn ? Installed("new.txt") + kCompleted : ""));
        EXPECT_EQ(run.waitForUser, c.goesOn);
        EXPECT_EQ(install.Files(), c.goesOn ? kNewTxtInstalled : Tree{});
        EXPECT_EQ(install.InstalledLevel(), c.goesOn ? c.packageLevel : level);
    }
}

// The folder text is read with or without its NUL and gets one backslash unless it ends in
// one; an empty one leaves paths relative to the current folder.
TEST(Run, FolderTextGetsOneBackslash) {
    struct Case {
        bool folder;         // the text starts with the installation folder
        std::string suffix;  // and goes on with these bytes
        std::string target;
    };
    const Case cases[] = {
        {true, "", "<game>\\new.txt"},
        {true, std::string("\\", 2), "<game>\\new.txt"},
        {true, std::string("\\\\", 3), "<game>\\\\new.txt"},
        {false, std::string(1, '\0'), "new.txt"},
    };
    const std::filesystem::path previous = std::filesystem::current_path();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        Installation install;
        install.Register(0);
        install.Set("ProgramPath", kRegSz, (c.folder ? install.Folder() : "") + c.suffix);
        std::filesystem::current_path(install.Folder());
        const RunResult run = install.Run(PackageAtLevel(1, {kNewTxt}));
        std::filesystem::current_path(previous);
        EXPECT_EQ(run.transcript, Updating("new.txt") + Updated(c.target) + kCompleted);
        EXPECT_EQ(install.Files(), kNewTxtInstalled);
    }
}

}  // namespace
