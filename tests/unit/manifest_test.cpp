// The package author's text: each manifest directive's section bytes, the fixed section order,
// payload folders and long names, errors with their line, sections decoded back, and the
// Windows-1251 codec shared by the programs. Narrow literals are UTF-8, what the manifest
// author writes; W("Привет") is the bytes the package must hold.
#include "manifest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "sections.h"
#include "support.h"
#include "text/codepage.h"

namespace {

using test::W;

class Manifest : public ::testing::Test {
  protected:
    Manifest() { test::Write(folder_.Path("src"), "x"); }

    // Parses the manifest, host paths counting from the test folder.
    bool Parse(const std::string& text) {
        package_ = {};
        error_.clear();
        return pkgbuild::ParseManifest(text, folder_.path(), &package_, &error_);
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const pkgbuild::Entry& entry : package_.entries) {
            names.push_back(entry.name);
        }
        return names;
    }
    // Content of the first entry of that name (payload files are read when built).
    std::string Content(const std::string& name) const {
        for (const pkgbuild::Entry& entry : package_.entries) {
            pkgbuild::Bytes content = entry.content;
            if (entry.name == name &&
                (entry.sourceFile.empty() || pkgbuild::ReadFile(entry.sourceFile, &content))) {
                return std::string(content.begin(), content.end());
            }
        }
        return "<missing>";
    }

    test::TempFolder folder_{"qlm_manifest"};
    pkgbuild::Package package_;
    std::string error_;
};

// Each directive gives the section the builder's own helpers make of the same records.
TEST_F(Manifest, EachDirectiveGivesItsSectionBytes) {
    using namespace pkgbuild;
    const std::tuple<const char*, const char*, Bytes> cases[] = {
        {R"(registry-keys SOFTWARE\\Vendor | Path | | Level | -2147483648)", ":RegistryKeys",
         RegistryKeysSection("SOFTWARE\\Vendor", "Path", "", "Level", INT32_MIN)},
        {R"(startup-msg Обновление | Установить?\r\nДа \| нет)", ":StartupMsg",
         StringList({W("Обновление"), W("Установить?\r\nДа | нет")})},
        {"folder bin\nfolder bin\\\\sub", ":Folders", StringList({"bin", "bin\\sub"})},
        {"remove old.dll\nremove Старое", ":FilesToRemove", StringList({"old.dll", W("Старое")})},
        {"command 0x07 | tools\\\\fix.exe | -q \"a b\"\ncommand 255 | x.exe", ":CommandsToExecute",
         CommandsSection({{7, "tools\\fix.exe", "-q \"a b\""}, {255, "x.exe", ""}})},
        {"registry 2 | hklm | K | 0 | | \nregistry 0x1 | HKCU | K | 2 | N | Текст",
         ":RegistryTable",
         RegistryTableSection({{2, 0, "K", 0, "", ""}, {1, 1, "K", 2, "N", W("Текст")}})},
        {R"(xlat TMP1 | a\\long\\path)", ":XlatNamesTable", StringList({"TMP1", "a\\long\\path"})},
        {"  folder   spaced name  \t", ":Folders", StringList({"spaced name"})},
        {R"(startup-msg \x20a \x3D b | c\x09\x7f)", ":StartupMsg",
         StringList({" a = b", "c\t\x7F"})},
        {"section :Custom | 00 ff\t0A", ":Custom", Bytes{0, 0xFF, 0x0A}},
        {"section :Empty |", ":Empty", Bytes{}},
    };
    for (const auto& [manifest, section, expected] : cases) {
        ASSERT_TRUE(Parse(manifest)) << manifest << ": " << error_;
        EXPECT_EQ(Names(), std::vector<std::string>{section}) << manifest;
        EXPECT_EQ(package_.entries[0].content, expected) << manifest;
    }
}

TEST_F(Manifest, SectionsComeInTheirFixedOrderBeforeThePayloadAndStorageIsChosen) {
    ASSERT_TRUE(
        Parse("file z.bin = src\nsection :Raw | 41\nregistry 1 | HKLM | K | 2 | N | D\n"
              "remove r\ncommand 0 | p.exe |\nfolder f\nxlat a | b\nstored-file a.bin = src\n"
              "startup-msg c | t\nregistry-keys k | f | p | l | 1\n"))
        << error_;
    EXPECT_EQ(Names(), (std::vector<std::string>{":RegistryKeys", ":StartupMsg", ":XlatNamesTable",
                                                 ":Folders", ":CommandsToExecute", ":FilesToRemove",
                                                 ":RegistryTable", "z.bin", ":Raw", "a.bin"}));
    EXPECT_EQ(Content("z.bin") + Content("a.bin"), "xx");

    using Flags = std::vector<bool>;  // each entry compressed
    const std::tuple<const char*, Flags, bool> cases[] = {
        {"folder a\nremove b", Flags{true, true}, true},
        {"stored\nfolder a\nremove b", Flags{false, false}, true},
        {"directory stored\nfolder a\nstored\nremove b", Flags{false, false}, false},
        {"file packed = src\nstored-file as-is = src", Flags{true, false}, true},
        {"stored\nfile packed = src\nstored-file as-is = src", Flags{false, false}, true},
    };
    for (const auto& [manifest, expected, directoryCompressed] : cases) {
        ASSERT_TRUE(Parse(manifest)) << manifest << ": " << error_;
        Flags compressed;
        for (const pkgbuild::Entry& entry : package_.entries) {
            compressed.push_back(entry.compressed);
        }
        EXPECT_EQ(compressed, expected) << manifest;
        EXPECT_EQ(package_.compressDirectory, directoryCompressed) << manifest;
    }
}

// Names longer than 31 Windows-1251 bytes are stored under placeholders, numbered across the
// payload and file directives, their pairs in the name table among the xlat lines' pairs.
TEST_F(Manifest, PayloadFolderIsSortedAndLongNamesGetPlaceholders) {
    const std::string long42 = "a\\very_long_folder_name\\long_file_name.dat";
    const std::string cyrillic31 = "ДлинноеИмяФайлаИзТридцатиОдной1";  // 62 bytes of UTF-8
    const std::string cyrillic32 = "ДлинноеИмяФайлаИзТридцатиДвухБук";
    // The names as the package holds them.
    const std::string stored31 = W(cyrillic31);
    const std::string stored32 = W(cyrillic32);
    test::Put(folder_.Path("files"), {{"b.txt", "b"},
                                      {"a/c.txt", "c"},
                                      {"a/exactly_twenty_nine_bytes.xyz", "31"},
                                      {"a/very_long_folder_name/long_file_name.dat", "long"},
                                      {std::string("Документы/отчёт.txt"), "report"},
                                      {cyrillic31, "31 letters"},
                                      {cyrillic32, "32 letters"},
                                      {"empty", "/"}});
    ASSERT_TRUE(Parse("payload files\nxlat S | R\nfile " + std::string(32, 'n') +
                      " = src\n"
                      "file z\\\\extra.txt = files/b.txt"))
        << error_;
    EXPECT_EQ(Names(), (std::vector<std::string>{
                           ":XlatNamesTable", "a\\c.txt", "a\\exactly_twenty_nine_bytes.xyz",
                           "TMP0000000000000001", "b.txt", "TMP0000000000000002", stored31,
                           W("Документы\\отчёт.txt"), "TMP0000000000000003", "z\\extra.txt"}));
    EXPECT_EQ(package_.entries[0].content,
              pkgbuild::StringList({"TMP0000000000000001", long42, "TMP0000000000000002", stored32,
                                    "S", "R", "TMP0000000000000003", std::string(32, 'n')}));
    EXPECT_EQ(Content("TMP0000000000000001"), "long");
    EXPECT_EQ(Content(W("Документы\\отчёт.txt")), "report");
    EXPECT_EQ(Content("z\\extra.txt"), "b");
}

TEST_F(Manifest, ErrorsNameTheirLine) {
    test::Write(folder_.Path("dir/Readme.txt"), "r");
    const std::pair<std::string, std::string> cases[] = {
        {"bogus x", "line 1: unknown directive 'bogus'"},
        {"# comment\n\nfolder a | b", "line 3: wrong field count for folder: 2 given"},
        {"registry 1 | HKLM | K | 2 | N", "line 1: wrong field count for registry"},
        {"directory compressed", "line 1: expected: directory stored"},
        {"folder a\r\nbogus\r\n", "line 2: unknown directive 'bogus'"},
        {"command 256 | a.exe", "line 1: bad number '256' for FLAGS"},
        {"command 1 |", "line 1: PROGRAM is empty"},
        {"registry-keys K | F | P | L | 2147483648", "line 1: bad number '2147483648' for LEVEL"},
        {"registry-keys K | F | P | L | 1 2", "line 1: bad number '1 2' for LEVEL"},
        {"registry-keys K | F | P | L | 1\nregistry-keys K | F | P | L | 2",
         "line 2: registry-keys given twice (first on line 1)"},
        {"registry 1 | HKXX | K | 2 | N | D", "line 1: bad ROOT 'HKXX'"},
        {"registry 0 | HKLM | K | 2 | N | D", "line 1: OP 0 would end the registry table"},
        {"registry 1 | HKLM | K | 4294967296 | N | D", "line 1: bad number '4294967296' for TYPE"},
        {"folder a\\b", "line 1: unknown escape \\b"},
        {"folder a\\", "line 1: a backslash ends the field"},
        {"remove a\\nb", "line 1: PATH holds a line break"},
        {std::string("folder ok\nstartup-msg Заголовок | 日本"),
         "line 2: character U+65E5 has no Windows-1251 form"},
        {"folder a\xC3(", "line 1: malformed UTF-8"},
        {std::string("folder a\0b", 10), "line 1: a NUL character"},
        {"file a.txt=b", "line 1: expected: file NAME = SOURCE"},
        {"file a.txt = no_such_file_here", "line 1: cannot read"},
        {"payload src", "src is not a folder"},
        {"file a.txt = src\xC3(", "line 1: SOURCE is not valid UTF-8"},
        {"folder a\\x00", "line 1: \\x needs two hex digits of an ASCII code"},
        {"folder a\\x4", "line 1: \\x needs two hex digits"},
        {"section Custom | 00", "line 1: section name 'Custom' does not begin with ':'"},
        {"section :" + std::string(31, 'n') + " | 00", "line 1: section name ':nnn"},
        {"section :A | 0", "line 1: expected the section's bytes as pairs of hex digits"},
        {"folder x\nsection :Folders | 00",
         "section :Folders is given both by a section line and by other directives"},
        {"file :Custom = src", "line 1: entry name ':Custom' begins with ':'"},
        {"payload dir\nfile README.TXT = src", "line 2: entry name 'README.TXT' is used twice"},
        {"file TMP0000000000000001 = src\nfile " + std::string(40, 'x') + " = src",
         "line 2: placeholder TMP0000000000000001 is already an entry name"},
        {"# nothing but a comment\n", "the manifest gives no entry"},
    };
    for (const auto& [manifest, error] : cases) {
        EXPECT_FALSE(Parse(manifest)) << manifest;
        EXPECT_NE(error_.find(error), std::string::npos) << manifest << ": " << error_;
    }
}

TEST(ManifestText, RebasedHostPathsCountFromTheNewFolder) {
    test::TempFolder folder("qlm_manifest");
    std::filesystem::create_directories(folder.Path("base"));
    std::filesystem::create_directories(folder.Path("out/deeper"));
    const std::pair<std::string, std::string> cases[] = {
        {"file a\\b.txt = data/b.txt\n", "file a\\b.txt = ../../base/data/b.txt\n"},
        {"stored-file data\\\\extra.bin = extra.bin\n",
         "stored-file data\\\\extra.bin = ../../base/extra.bin\n"},
        {"  payload   files  \r\n", "payload ../../base/files\n"},
        {"\xEF\xBB\xBFpayload files", "\xEF\xBB\xBFpayload ../../base/files\n"},
        {"file x = /abs/y.txt", "file x = /abs/y.txt"},
        {"file n = ../out/deeper/z", "file n = z\n"},
        {"file n = a\\x20b", "file n = ../../base/a b\n"},
        {"folder data/b.txt\n", "folder data/b.txt\n"},
        {"# file x = y\n", "# file x = y\n"},
        {"file broken\n", "file broken\n"},
    };
    for (const auto& [line, rebased] : cases) {
        EXPECT_EQ(pkgbuild::RebaseHostPaths(line, folder.Path("base"), folder.Path("out/deeper")),
                  rebased);
    }
}

// Every character of the upper half, in byte order 0x80 to 0xFF; 0x98 has none.
#define UPPER_HALF                                                                               \
    "\u0402\u0403\u201A\u0453\u201E\u2026\u2020\u2021\u20AC\u2030\u0409\u2039\u040A\u040C\u040B" \
    "\u040F\u0452\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u2122\u0459\u203A\u045A\u045C"       \
    "\u045B\u045F\u00A0\u040E\u045E\u0408\u00A4\u0490\u00A6\u00A7\u0401\u00A9\u0404\u00AB"       \
    "\u00AC\u00AD\u00AE\u0407\u00B0\u00B1\u0406\u0456\u0491\u00B5\u00B6\u00B7\u0451\u2116"       \
    "\u0454\u00BB\u0458\u0405\u0455\u0457"                                                       \
    "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя"

TEST(Windows1251, EveryCharacterBothWays) {
    std::string bytes;
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        if (byte != 0x98) {
            bytes.push_back(static_cast<char>(byte));
        }
    }
    // The list above, typed from the code page's table, against the codec's own table.
    const std::string utf8 = UPPER_HALF;
    std::string converted;
    std::string problem;
    ASSERT_TRUE(pkgbuild::Utf8ToWindows1251(utf8, &converted, &problem)) << problem;
    EXPECT_EQ(converted, bytes);
    EXPECT_EQ(pkgbuild::Windows1251ToUtf8(bytes), utf8);
    // The codec takes every byte, 0x98 and control bytes too, both ways.
    std::string all;
    for (int byte = 1; byte < 256; ++byte) {
        all.push_back(static_cast<char>(byte));
    }
    ASSERT_TRUE(codepage::Utf8ToCp1251Exact(codepage::Cp1251ToUtf8(all), &converted));
    EXPECT_EQ(converted, all);
    const std::string foreign = std::string("a漢b") + "\xC3";
    EXPECT_EQ(codepage::Utf8ToCp1251(foreign), "a?b?");
    EXPECT_TRUE(codepage::EqualFoldCp1251(W("ПаПкА Ёж ЇҐЎ"), W("папка ёЖ їґў")));
    EXPECT_FALSE(codepage::EqualFoldCp1251(W("файл"), W("фаил")));
    EXPECT_TRUE(codepage::EqualFoldUtf8("ПаПкА Ёж ЇҐЎ Łódź\xC3", "папка ёЖ їґў Łódź\xC3"));
    EXPECT_FALSE(codepage::EqualFoldUtf8("Łódź", "łódź"));  // no Windows-1251 letters
    // For display, control bytes and the unused byte are escaped.
    EXPECT_EQ(pkgbuild::Windows1251ToUtf8(std::string("a\x01\x98\x7F\0", 5)),
              "a\\x01\\x98\\x7F\\x00");
}

// Limits count characters, whatever their UTF-8 length.
TEST(Windows1251, CharactersAreCountedNotBytes) {
    const std::tuple<std::string, size_t, size_t> cases[] = {
        // text, characters, bytes of its first two characters
        {"", 0, 0},       {"ab", 2, 2}, {"Яю€", 3, 4},
        {"ゲーム", 3, 6}, {"😀x", 2, 5}, {"\xC3", 1, 1},  // a malformed byte is one character
    };
    for (const auto& [text, characters, prefix] : cases) {
        EXPECT_EQ(codepage::CountCharacters(text), characters) << text;
        EXPECT_EQ(codepage::CharacterPrefix(text, 2), prefix) << text;
    }
    EXPECT_EQ(codepage::CharacterRoom(codepage::TextBufferSize(511)), 511u);
    // Decoding into a buffer of three bytes a character is always enough.
    const std::string stored = W("№€Ё") + "\x98";
    char decoded[4 * codepage::kMaxCp1251Utf8Bytes + 1];
    EXPECT_EQ(codepage::DecodeCp1251(stored.data(), stored.size(), decoded), 10u);
    EXPECT_EQ(std::string(decoded), "№€Ё\u0098");
}

TEST(Windows1251, MalformedOrForeignTextIsRefused) {
    const std::pair<std::string, std::string> cases[] = {
        {std::string("é"), "character U+00E9 has no Windows-1251 form"},
        {std::string("😀"), "character U+1F600 has no Windows-1251 form"},
        {"\xC0\xAF", "malformed UTF-8 at byte 1"},        // overlong '/'
        {"ab\xED\xA0\x80", "malformed UTF-8 at byte 3"},  // surrogate
        {"\xD0", "malformed UTF-8"},                      // truncated
        {"\x80", "malformed UTF-8"},                      // lone continuation
        {"\xF4\x90\x80\x80", "malformed UTF-8"},          // beyond U+10FFFF
        {"\xD0\x41", "malformed UTF-8"},                  // continuation missing
    };
    for (const auto& [utf8, message] : cases) {
        std::string converted;
        std::string problem;
        EXPECT_FALSE(pkgbuild::Utf8ToWindows1251(utf8, &converted, &problem)) << utf8;
        EXPECT_EQ(problem.substr(0, message.size()), message) << utf8;
    }
}

TEST(Sections, DecodersStopAtTheSectionsEnd) {
    // The problem (a part of it; empty when the section is whole) and the bytes the installer
    // reads.
    const std::tuple<SectionKind, std::string, std::string, size_t> cases[] = {
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
        {SectionKind::CommandsToExecute, std::string("\x01p\0", 3), "inside the arguments", 3},
        {SectionKind::RegistryTable, std::string("\0\0\0\0", 4), "", 4},
        {SectionKind::RegistryTable, std::string("\0\0\0", 3), "closing operation 0", 0},
        {SectionKind::RegistryTable, std::string("\5\0\0\0\1\0\0\0K\0\2\0\0", 13),
         "ends inside a record", 10},
        {SectionKind::Unknown, "anything", "", 8},
    };
    for (const auto& [kind, bytes, problem, used] : cases) {
        const pkgbuild::Decoding decoding = pkgbuild::DecodeSection(kind, bytes);
        EXPECT_EQ(decoding.used, used) << SectionName(kind) << " " << problem;
        EXPECT_TRUE(problem.empty() ? decoding.problem.empty()
                                    : decoding.problem.find(problem) != std::string::npos)
            << SectionName(kind) << ": " << decoding.problem;
    }
    EXPECT_EQ(KindOfSection(":registrykeys"), SectionKind::RegistryKeys);
    EXPECT_EQ(KindOfSection(":RegistryKey"), SectionKind::Unknown);
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
}

}  // namespace
