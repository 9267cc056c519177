// Control sections read back: each decoder stops at the section's end and says why, and the
// name table translates as the installer does.
#include "sections.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using pkgbuild::SectionKind;

TEST(Sections, DecodersStopAtTheSectionsEnd) {
    struct Case {
        SectionKind kind;
        std::string bytes;
        std::string problem;  // a part of it; empty when the section is whole
        size_t used;
    };
    const Case cases[] = {
        {SectionKind::Folders, std::string("a\0b\0\0tail", 9), "", 5},
        {SectionKind::Folders, std::string("a\0b", 3), "ends inside a string", 3},
        {SectionKind::Folders, std::string("a\0", 2), "ends before the closing empty string", 2},
        {SectionKind::StartupMsg, std::string("c\0t\0\0", 5), "", 4},
        {SectionKind::StartupMsg, std::string("c\0t", 3), "ends inside the text", 3},
        {SectionKind::RegistryKeys, std::string("K\0F\0P\0L\0\xFE\xFF\xFF\xFF\0", 13), "", 12},
        {SectionKind::RegistryKeys, std::string("K\0F\0P\0L\0\1\0\0", 11), "patch level", 8},
        {SectionKind::CommandsToExecute, std::string("\0\0", 2), "", 2},
        {SectionKind::CommandsToExecute, std::string("\x01p\0a\0\x07", 6), "inside a program", 6},
        {SectionKind::CommandsToExecute, std::string("\x01p\0a\0", 5), "closing record", 5},
        {SectionKind::CommandsToExecute, std::string("\x01", 1), "ends inside a program", 1},
        {SectionKind::RegistryTable, std::string("\0\0\0\0", 4), "", 4},
        {SectionKind::RegistryTable, std::string("\0\0\0", 3), "closing operation 0", 0},
        {SectionKind::RegistryTable, std::string("\5\0\0\0\1\0\0\0K\0\2\0\0", 13),
         "ends inside a record", 10},
        {SectionKind::Unknown, "anything", "", 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(pkgbuild::SectionName(c.kind) + std::string(" ") + c.problem);
        const pkgbuild::Decoding decoding = pkgbuild::DecodeSection(c.kind, c.bytes);
        EXPECT_EQ(decoding.used, c.used);
        if (c.problem.empty()) {
            EXPECT_EQ(decoding.problem, "");
        } else {
            EXPECT_NE(decoding.problem.find(c.problem), std::string::npos) << decoding.problem;
        }
    }
}

TEST(Sections, NameTableTranslatesLikeTheInstaller) {
    // Compiled with Windows-1251 literals: "Ф" and "ф" are one byte each.
    const std::vector<std::string> table = {"TMP1", "first", "tmp1", "second", "Ф", "cyr", "odd"};
    const std::pair<std::string, std::string> cases[] = {
        {"tmp1", "first"},               // ASCII case ignored, the first pair wins
        {"Ф", "cyr"},       {"ф", "ф"},  // Cyrillic case is not
        {"odd", "odd"},                  // a stored name without a real path
        {"other", "other"},
    };
    for (const auto& [name, path] : cases) {
        EXPECT_EQ(pkgbuild::RealPath(table, name), path) << name;
    }
    EXPECT_EQ(pkgbuild::KindOfSection(":registrykeys"), SectionKind::RegistryKeys);
    EXPECT_EQ(pkgbuild::KindOfSection(":RegistryKey"), SectionKind::Unknown);
}

}  // namespace
