// Discovery, the opening message and the version gate: each stop leaves the installation
// untouched, and only the declined questions close the window at once.
#include <cstdint>
#include <filesystem>
#include <functional>

#include "fixture.h"

namespace {

using fixture::Installation;
using platform::RegistryRoot;

TEST(Discovery, EachCauseOfNotFoundStopsBeforeAnyChange) {
    struct Case {
        const char* name;
        bool withRegistryKeys;
        std::function<void(const Installation&)> setUp;
        std::vector<std::string> texts;
    };
    const std::string program(fixture::kProgramName);
    const Case cases[] = {
        {"no :RegistryKeys",
         false,
         [](const Installation& i) { i.Register(); },
         {fixture::NotFound()}},
        {"missing key",
         true,
         [](const Installation&) {},
         {fixture::KeyError(fixture::kSubKey), fixture::KeyError(fixture::kSubKey),
          fixture::NotFound()}},
        {"missing program value",
         true,
         [](const Installation& i) {
             fixture::SetString(RegistryRoot::LocalMachine, fixture::kSubKey, "ProgramPath",
                                i.Folder());
         },
         {fixture::ValueError("ProgramName"), fixture::NotFound()}},
        {"program value of 512 bytes without a terminator",
         true,
         [](const Installation& i) {
             i.Register();
             fixture::SetRaw(RegistryRoot::LocalMachine, fixture::kSubKey, "ProgramName",
                             platform::kRegSz, std::string(512, 'a'));
         },
         {fixture::ValueError("ProgramName"), fixture::NotFound()}},
        {"missing program file",
         true,
         [program](const Installation& i) {
             i.Register();
             std::filesystem::remove(i.Path(program));
         },
         {fixture::NotFound()}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation install;
        c.setUp(install);
        pkgbuild::Package package = fixture::PackageAtLevel(
            1, {fixture::Section(":StartupMsg", pkgbuild::StringList({"Caption", "Text"})),
                fixture::Payload("new.txt", "new")});
        if (!c.withRegistryKeys) {
            package.entries.erase(package.entries.begin());
        }
        const fixture::RunResult run = install.Run(package);
        EXPECT_TRUE(run.waitForUser);
        EXPECT_TRUE(fixture::InOrder(run.transcript, c.texts));
        EXPECT_EQ(fixture::Count(run.transcript, fixture::NotFound()), 1u);
        EXPECT_EQ(run.transcript.find("[Caption]"), std::string::npos) << "no question is asked";
        EXPECT_FALSE(install.Exists("new.txt"));
        if (c.withRegistryKeys) {
            EXPECT_EQ(run.transcript.find(fixture::Completed()), std::string::npos);
        }
    }
}

TEST(Discovery, RegistryTextsAreTerminatedAndTheFolderGetsOneBackslash) {
    struct Case {
        const char* name;
        std::function<std::string(const Installation&)> folderData;  // REG_SZ bytes as stored
        std::function<std::string(const Installation&)> target;
    };
    const Case cases[] = {
        {"without a terminator", [](const Installation& i) { return i.Folder(); },
         [](const Installation& i) { return i.Folder() + "\\new.txt"; }},
        {"ending in a backslash",
         [](const Installation& i) { return i.Folder() + std::string("\\", 2); },
         [](const Installation& i) { return i.Folder() + "\\new.txt"; }},
        {"ending in two backslashes",
         [](const Installation& i) { return i.Folder() + std::string("\\\\", 3); },
         [](const Installation& i) { return i.Folder() + "\\\\new.txt"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation install;
        install.Register();
        fixture::SetRaw(RegistryRoot::LocalMachine, fixture::kSubKey, "ProgramPath",
                        platform::kRegSz, c.folderData(install));
        const fixture::RunResult run =
            install.Run(fixture::PackageAtLevel(1, {fixture::Payload("new.txt", "new")}));
        EXPECT_TRUE(fixture::InOrder(run.transcript,
                                     {fixture::Updated(c.target(install)), fixture::Completed()}));
        EXPECT_EQ(install.Read("new.txt"), "new");
    }
}

TEST(Discovery, AnEmptyFolderTextResolvesAgainstTheCurrentFolder) {
    Installation install;
    install.Register(0);
    fixture::SetRaw(RegistryRoot::LocalMachine, fixture::kSubKey, "ProgramPath", platform::kRegSz,
                    std::string(1, '\0'));
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(install.Folder());
    const fixture::RunResult run =
        install.Run(fixture::PackageAtLevel(1, {fixture::Payload("bin\\new.txt", "new")}));
    std::filesystem::current_path(previous);
    EXPECT_TRUE(
        fixture::InOrder(run.transcript, {fixture::Updated("bin\\new.txt"), fixture::Completed()}));
    EXPECT_EQ(install.Read("bin/new.txt"), "new");
    EXPECT_EQ(install.InstalledLevel(), 1);
}

TEST(Discovery, OpeningMessageDecidesWhetherTheRunGoesOn) {
    struct Case {
        const char* answers;
        bool goesOn;
    };
    const Case cases[] = {{"\n", true}, {"ok\n", true}, {"cancel\n", false}, {"", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers);
        Installation install;
        install.Register(0);
        const fixture::RunResult run = install.Run(
            fixture::PackageAtLevel(
                1,
                {fixture::Section(":StartupMsg", pkgbuild::StringList({"Патч 1", "Строка\r\nдве"})),
                 fixture::Payload("new.txt", "new")}),
            c.answers);
        EXPECT_TRUE(fixture::InOrder(run.transcript, {reinterpret_cast<const char*>(
                                                         u8"[Патч 1] Строка\nдве\n(OK/Cancel)")}));
        EXPECT_EQ(run.waitForUser, c.goesOn);
        EXPECT_EQ(install.Exists("new.txt"), c.goesOn);
        EXPECT_EQ(install.InstalledLevel(), c.goesOn ? 1 : 0);
        EXPECT_EQ(run.transcript.find(fixture::LevelQuestion()), std::string::npos);
    }
}

TEST(Discovery, VersionGateAsksUnlessThePackageIsNewer) {
    struct Case {
        const char* name;
        std::function<void()> storeLevel;  // under the registered key
        int32_t packageLevel;
        const char* answers;
        bool asks;
        bool installs;
    };
    auto dword = [](int32_t level) {
        return [level] {
            fixture::SetDword(RegistryRoot::LocalMachine, fixture::kSubKey, "PatchLevel", level);
        };
    };
    const Case cases[] = {
        {"installed above, declined", dword(12), 11, "cancel\n", true, false},
        {"installed equal, accepted", dword(11), 11, "ok\n", true, true},
        {"installed below", dword(10), 11, "", false, true},
        {"level stored as text",
         [] {
             fixture::SetString(RegistryRoot::LocalMachine, fixture::kSubKey, "PatchLevel", "12");
         },
         11, "", false, true},
        {"no level, package level 0", [] {}, 0, "cancel\n", true, false},
        {"most negative installed level", dword(INT32_MIN), INT32_MIN + 1, "", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation install;
        install.Register();
        c.storeLevel();
        const fixture::RunResult run = install.Run(
            fixture::PackageAtLevel(c.packageLevel, {fixture::Payload("new.txt", "new")}),
            c.answers);
        EXPECT_EQ(fixture::Count(run.transcript, fixture::LevelQuestion()), c.asks ? 1u : 0u);
        EXPECT_EQ(run.waitForUser, c.installs);
        EXPECT_EQ(install.Exists("new.txt"), c.installs);
        EXPECT_EQ(run.transcript.find(fixture::KeyError(fixture::kSubKey)), std::string::npos);
        EXPECT_EQ(run.transcript.find(fixture::ValueError("PatchLevel")), std::string::npos);
        if (c.installs) {
            EXPECT_EQ(install.InstalledLevel(), c.packageLevel);
        }
    }
}

}  // namespace
