// Removal, the registry table and the patch-level stamp; and sections that cannot be used,
// which never let a run be stamped.
#include <fstream>
#include <set>
#include <sstream>

#include "fixture.h"

namespace {

using fixture::Installation;
using platform::RegistryRoot;

pkgbuild::Entry Damaged(pkgbuild::Entry entry) {
    entry.size = static_cast<uint32_t>(entry.content.size() + 100);  // the stream ends too early
    return entry;
}

std::set<std::string> KeyLines(const std::string& registryFile) {
    std::ifstream in(registryFile);
    std::set<std::string> keys;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] == '[') {
            keys.insert(line);
        }
    }
    return keys;
}

TEST(Removal, FilesAndEmptyFoldersGoFoldersWithContentStay) {
    Installation install;
    install.Register(0);
    install.MakeFolder("data\\old");
    install.Write("data\\other.txt", "other");
    install.Write("sub\\f.txt", "f");
    install.Write("gone.txt", "gone");
    const fixture::RunResult run = install.Run(fixture::PackageAtLevel(
        1, {fixture::Section(
               ":FilesToRemove",
               pkgbuild::StringList({"data\\old", "data", "sub", "sub\\f.txt", "gone.txt",
                                     "missing.txt", std::string(600, 'm')}))}));
    EXPECT_FALSE(install.Exists("data/old"));
    EXPECT_EQ(install.Read("data/other.txt"), "other");
    EXPECT_FALSE(install.Exists("sub/f.txt"));
    EXPECT_TRUE(install.Exists("sub"));
    EXPECT_FALSE(install.Exists("gone.txt"));
    EXPECT_TRUE(install.Exists(fixture::kProgramName));
    EXPECT_TRUE(fixture::InOrder(run.transcript, {fixture::Completed()}));
    EXPECT_EQ(install.InstalledLevel(), 1);
}

TEST(RegistryTable, RecordsWriteUnderBothRootsByType) {
    Installation install;
    install.Register(0);
    auto record = [](uint32_t operation, uint32_t root, const std::string& key, uint32_t type,
                     const std::string& name, const std::string& data) {
        return pkgbuild::RegistryRecord{operation, root, key, type, name, data};
    };
    const fixture::RunResult run = install.Run(fixture::PackageAtLevel(
        1, {fixture::Section(":RegistryTable",
                             pkgbuild::RegistryTableSection({
                                 record(1, 1, "Software\\Example", 1, "Level", "0x1F"),
                                 record(1, 0, "Software\\Example", 1, "Level", "0x1F"),
                                 record(1, 2, "Software\\Example2", 1, "Level", "-42"),
                                 record(1, 1, "Software\\Example", 2, "Text", "abc"),
                                 record(1, 1, "Software\\Example", 2, "", ""),
                                 record(1, 1, "Software\\KeyOnly0", 0, "Nothing", "1"),
                                 record(1, 1, "Software\\KeyOnly3", 3, "Nothing", "1"),
                                 record(5, 1, "Software\\Skipped", 2, "Skipped", "x"),
                                 record(1, 1, "Software\\AfterSkip", 2, "V", "after"),
                             }))}));
    struct Expected {
        RegistryRoot root;
        const char* key;
        const char* name;
        std::optional<fixture::RegistryValue> value;
    };
    const Expected expected[] = {
        {RegistryRoot::CurrentUser, "Software\\Example", "Level",
         fixture::RegistryValue{platform::kRegDword, fixture::Dword(31)}},
        {RegistryRoot::LocalMachine, "Software\\Example", "Level",
         fixture::RegistryValue{platform::kRegDword, fixture::Dword(31)}},
        {RegistryRoot::LocalMachine, "Software\\Example2", "Level",
         fixture::RegistryValue{platform::kRegDword, fixture::Dword(-42)}},
        {RegistryRoot::CurrentUser, "Software\\Example", "Text",
         fixture::RegistryValue{platform::kRegSz, std::string("abc", 4)}},
        {RegistryRoot::CurrentUser, "Software\\Example", "",
         fixture::RegistryValue{platform::kRegSz, std::string(1, '\0')}},
        {RegistryRoot::CurrentUser, "Software\\KeyOnly0", "Nothing", std::nullopt},
        {RegistryRoot::CurrentUser, "Software\\KeyOnly3", "Nothing", std::nullopt},
        {RegistryRoot::CurrentUser, "Software\\AfterSkip", "V",
         fixture::RegistryValue{platform::kRegSz, std::string("after", 6)}},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(std::string(e.key) + " " + e.name);
        EXPECT_TRUE(fixture::KeyExists(e.root, e.key));
        const auto value = fixture::ReadValue(e.root, e.key, e.name);
        ASSERT_EQ(value.has_value(), e.value.has_value());
        if (value) {
            EXPECT_EQ(value->type, e.value->type);
            EXPECT_EQ(value->data, e.value->data);
        }
    }
    EXPECT_FALSE(fixture::KeyExists(RegistryRoot::CurrentUser, "Software\\Skipped"));
    EXPECT_FALSE(fixture::KeyExists(RegistryRoot::LocalMachine, "Software\\Example\\Level"));
    EXPECT_TRUE(fixture::InOrder(run.transcript, {fixture::Completed()}));
    EXPECT_EQ(install.InstalledLevel(), 1);
}

TEST(RegistryTable, TheWalkEndsAtItsTerminatorOrARecordCutShort) {
    const pkgbuild::RegistryRecord applied{1, 1, "Software\\Applied", 2, "V", "v"};
    pkgbuild::Bytes table = pkgbuild::RegistryTableSection({applied});
    table.resize(table.size() - 4);  // without its terminator
    pkgbuild::Bytes cut = pkgbuild::RegistryTableSection({{1, 1, "Software\\Cut", 2, "N", "data"}});
    cut.resize(cut.size() - 4);
    struct Case {
        const char* name;
        pkgbuild::Bytes section;
        bool appliedWritten;
    };
    auto withCut = [&](size_t keep) {
        pkgbuild::Bytes bytes = table;
        bytes.insert(bytes.end(), cut.begin(), cut.begin() + static_cast<std::ptrdiff_t>(keep));
        return bytes;
    };
    const Case cases[] = {
        {"only the terminator", {0, 0, 0, 0}, false},
        {"empty section", {}, false},
        {"cut inside the operation", withCut(2), true},
        {"cut inside the sub-key", withCut(10), true},
        {"cut before the last NUL", withCut(cut.size() - 1), true},
        {"no terminator after a whole record", withCut(cut.size()), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation install;
        install.Register(0);
        const std::set<std::string> keysBefore = KeyLines(install.RegistryFile());
        const fixture::RunResult run = install.Run(
            fixture::PackageAtLevel(1, {fixture::Section(":RegistryTable", c.section)}));
        EXPECT_EQ(fixture::KeyExists(RegistryRoot::CurrentUser, "Software\\Applied"),
                  c.appliedWritten);
        const bool wholeCutRecord = std::string(c.name) == "no terminator after a whole record";
        EXPECT_EQ(fixture::KeyExists(RegistryRoot::CurrentUser, "Software\\Cut"), wholeCutRecord);
        if (!c.appliedWritten) {
            EXPECT_EQ(KeyLines(install.RegistryFile()), keysBefore);
        }
        EXPECT_EQ(install.InstalledLevel(), 1);
    }
}

TEST(Stamp, OnlyARunWithoutFailureIsStamped) {
    struct Case {
        const char* name;
        bool fileFails;
        int32_t levelAfter;
        bool secondRunAsks;
    };
    const Case cases[] = {{"every file installed", false, 3, true},
                          {"a file failed", true, 2, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation install;
        install.Register(2);
        pkgbuild::Entry file = fixture::Payload("data.txt", "new");
        const pkgbuild::Package package =
            fixture::PackageAtLevel(3, {c.fileFails ? Damaged(file) : file});
        const fixture::RunResult first = install.Run(package);
        EXPECT_EQ(fixture::Count(first.transcript, fixture::Completed()), c.fileFails ? 0u : 1u);
        EXPECT_EQ(install.InstalledLevel(), c.levelAfter);
        const fixture::RunResult second = install.Run(package, "cancel\n");
        EXPECT_EQ(fixture::Count(second.transcript, fixture::LevelQuestion()),
                  c.secondRunAsks ? 1u : 0u);
        EXPECT_EQ(second.waitForUser, !c.secondRunAsks);
        EXPECT_EQ(install.InstalledLevel(), c.levelAfter);
    }
}

TEST(Sections, ASectionThatCannotBeUsedNeverLetsTheRunBeStamped) {
    struct Case {
        const char* name;
        pkgbuild::Entry section;
        bool found;
        bool goesOn;
        bool installsPayload;
        bool commandError;
    };
    using fixture::Section;
    const Case cases[] = {
        {"damaged :RegistryKeys",
         Damaged(Section(":RegistryKeys",
                         pkgbuild::RegistryKeysSection(fixture::kSubKey, "ProgramPath",
                                                       "ProgramName", "PatchLevel", 1))),
         false, true, false, false},
        {":RegistryKeys without its level",
         Section(":RegistryKeys", pkgbuild::StringList({fixture::kSubKey, "ProgramPath",
                                                        "ProgramName", "PatchLevel"})),
         false, true, false, false},
        {"damaged :StartupMsg", Damaged(Section(":StartupMsg", pkgbuild::StringList({"C", "T"}))),
         true, false, false, false},
        {"damaged :XlatNamesTable",
         Damaged(Section(":XlatNamesTable", pkgbuild::StringList({"a", "b"}))), true, true, false,
         false},
        {"damaged :Folders", Damaged(Section(":Folders", pkgbuild::StringList({"f"}))), true, true,
         true, false},
        {"damaged :CommandsToExecute",
         Damaged(Section(":CommandsToExecute", pkgbuild::CommandsSection({}))), true, true, true,
         true},
        {":CommandsToExecute of one byte", Section(":CommandsToExecute", {0}), true, true, true,
         true},
        {":CommandsToExecute cut inside a record", Section(":CommandsToExecute", {1, 'x'}), true,
         true, true, true},
        {"damaged :FilesToRemove", Damaged(Section(":FilesToRemove", pkgbuild::StringList({"f"}))),
         true, true, true, false},
        {"damaged :RegistryTable",
         Damaged(Section(":RegistryTable", pkgbuild::RegistryTableSection({}))), true, true, true,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation install;
        install.Register(0);
        pkgbuild::Package package =
            fixture::PackageAtLevel(1, {fixture::Payload("new.txt", "new")});
        if (c.section.name == ":RegistryKeys") {
            package.entries[0] = c.section;
        } else {
            package.entries.push_back(c.section);
        }
        const fixture::RunResult run = install.Run(package);
        EXPECT_EQ(run.waitForUser, c.goesOn);
        EXPECT_EQ(fixture::Count(run.transcript, fixture::NotFound()), c.found ? 0u : 1u);
        EXPECT_EQ(install.Exists("new.txt"), c.installsPayload);
        EXPECT_EQ(fixture::Count(run.transcript, fixture::CommandError()),
                  c.commandError ? 1u : 0u);
        EXPECT_EQ(run.transcript.find(fixture::Completed()), std::string::npos);
        EXPECT_EQ(install.InstalledLevel(), 0);
    }
}

}  // namespace
