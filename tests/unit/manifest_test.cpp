// The manifest: each directive's section bytes, the fixed section order, payload folders and
// long names, escapes, errors with their line, and the UTF-8 to Windows-1251 conversion.
// This file is compiled with Windows-1251 narrow literals: "Привет" here is the bytes the
// package must hold, and u8"Привет" is what the manifest author writes.
#include "manifest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "package/reader.h"
#include "platform/posix/text.h"
#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;

std::string FromU8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// A string as a section stores it: its bytes and a NUL.
std::string Z(const std::string& text) {
    return text + '\0';
}

std::string U32(uint32_t value) {
    std::string out;
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>(value >> (8 * i)));
    }
    return out;
}

std::string AsString(const pkgbuild::Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> Names(const pkgbuild::Package& package) {
    std::vector<std::string> names;
    for (const pkgbuild::Entry& entry : package.entries) {
        names.push_back(entry.name);
    }
    return names;
}

// Content of the first entry of that name, or "<missing>".
std::string Content(const pkgbuild::Package& package, const std::string& name) {
    for (const pkgbuild::Entry& entry : package.entries) {
        if (entry.name == name) {
            pkgbuild::Bytes content = entry.content;  // payload files are read when built
            return entry.sourceFile.empty() || pkgbuild::ReadFile(entry.sourceFile, &content)
                       ? AsString(content)
                       : "<unreadable>";
        }
    }
    return "<missing>";
}

bool Parse(const std::string& text, pkgbuild::Package* package, std::string* error,
           const std::string& base = "") {
    return pkgbuild::ParseManifest(text, base, package, error);
}

// Writes a file under the folder, making the folders on its way.
void WriteUnder(const TempFolder& folder, const fs::path& relative, const std::string& content) {
    const fs::path path = fs::path(folder.path()) / relative;
    fs::create_directories(path.parent_path());
    ASSERT_TRUE(pkgbuild::WriteFile(path.string(), pkgbuild::ToBytes(content)));
}

struct SectionCase {
    const char8_t* manifest;
    const char* section;
    std::string expected;
};

TEST(Manifest, EachDirectiveGivesItsSectionBytes) {
    const SectionCase cases[] = {
        {u8R"(registry-keys SOFTWARE\\Vendor\\Prog | ProgramPath | ProgramName | PatchLevel | 11)",
         ":RegistryKeys",
         Z("SOFTWARE\\Vendor\\Prog") + Z("ProgramPath") + Z("ProgramName") + Z("PatchLevel") +
             U32(11) + '\0'},
        {u8"registry-keys K | | P | L | -2", ":RegistryKeys",
         Z("K") + Z("") + Z("P") + Z("L") + U32(0xFFFFFFFE) + '\0'},
        {u8"registry-keys K | F | P | L | -2147483648", ":RegistryKeys",
         Z("K") + Z("F") + Z("P") + Z("L") + U32(0x80000000) + '\0'},
        {u8R"(startup-msg Обновление | Установить?\r\nДа \| нет)", ":StartupMsg",
         Z("Обновление") + Z("Установить?\r\nДа | нет") + '\0'},
        {u8"folder bin\nfolder bin\\\\sub", ":Folders", Z("bin") + Z("bin\\sub") + '\0'},
        {u8"remove old.dll\nremove Старое", ":FilesToRemove", Z("old.dll") + Z("Старое") + '\0'},
        {u8R"(command 0x07 | tools\\fix.exe | -q "a b")", ":CommandsToExecute",
         "\x07" + Z("tools\\fix.exe") + Z("-q \"a b\"") + std::string(2, '\0')},
        {u8"command 3 | run.exe\ncommand 255 | x.exe |", ":CommandsToExecute",
         "\x03" + Z("run.exe") + Z("") + "\xFF" + Z("x.exe") + Z("") + std::string(2, '\0')},
        {u8R"(registry 1 | HKCU | Software\\Example | 1 | Level | 0x1F)", ":RegistryTable",
         U32(1) + U32(1) + Z("Software\\Example") + U32(1) + Z("Level") + Z("0x1F") + U32(0)},
        {u8"registry 2 | hklm | K | 0 | | \nregistry 0x1 | 7 | K | 2 | N | Текст", ":RegistryTable",
         U32(2) + U32(0) + Z("K") + U32(0) + Z("") + Z("") + U32(1) + U32(7) + Z("K") + U32(2) +
             Z("N") + Z("Текст") + U32(0)},
        {u8R"(xlat TMP1 | a\\long\\path)", ":XlatNamesTable",
         Z("TMP1") + Z("a\\long\\path") + '\0'},
        {u8"  folder   spaced name  \t", ":Folders", Z("spaced name") + '\0'},
        {u8R"(startup-msg \x20a \x3D b | c\x09\x7f)", ":StartupMsg",
         Z(" a = b") + Z("c\t\x7F") + '\0'},
        {u8"section :Custom | 00 ff\t0A", ":Custom", std::string("\0\xFF\x0A", 3)},
        {u8"section :Empty |", ":Empty", ""},
    };
    for (const SectionCase& c : cases) {
        SCOPED_TRACE(FromU8(c.manifest));
        pkgbuild::Package package;
        std::string error;
        ASSERT_TRUE(Parse(FromU8(c.manifest), &package, &error)) << error;
        ASSERT_EQ(package.entries.size(), 1u);
        EXPECT_EQ(package.entries[0].name, c.section);
        EXPECT_EQ(AsString(package.entries[0].content), c.expected);
    }
}

TEST(Manifest, SectionsComeInTheirFixedOrderBeforeThePayload) {
    TempFolder folder("qlm_manifest");
    WriteUnder(folder, "second.bin", "2");
    WriteUnder(folder, "first.bin", "1");
    const std::string manifest =
        "file z.bin = second.bin\n"
        "section :Raw | 41\n"
        "registry 1 | HKLM | K | 2 | N | D\n"
        "remove r\n"
        "command 0 | p.exe |\n"
        "folder f\n"
        "xlat a | b\n"
        "file a.bin = first.bin\n"
        "startup-msg c | t\n"
        "registry-keys k | f | p | l | 1\n";
    pkgbuild::Package package;
    std::string error;
    ASSERT_TRUE(Parse(manifest, &package, &error, folder.path())) << error;
    const std::vector<std::string> expected = {
        ":RegistryKeys",  ":StartupMsg",    ":XlatNamesTable", ":Folders", ":CommandsToExecute",
        ":FilesToRemove", ":RegistryTable", "z.bin",           ":Raw",     "a.bin"};
    EXPECT_EQ(Names(package), expected);
    EXPECT_EQ(Content(package, "z.bin"), "2");
    EXPECT_EQ(Content(package, "a.bin"), "1");
}

TEST(Manifest, StorageDirectives) {
    struct Case {
        const char* manifest;
        bool entriesCompressed;
        bool directoryCompressed;
    };
    const Case cases[] = {
        {"folder a\nremove b", true, true},
        {"stored\nfolder a\nremove b", false, true},
        {"folder a\nremove b\ndirectory stored", true, false},
        {"directory stored\nfolder a\nstored\nremove b", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manifest);
        pkgbuild::Package package;
        std::string error;
        ASSERT_TRUE(Parse(c.manifest, &package, &error)) << error;
        ASSERT_EQ(package.entries.size(), 2u);
        for (const pkgbuild::Entry& entry : package.entries) {
            EXPECT_EQ(entry.compressed, c.entriesCompressed) << entry.name;
        }
        EXPECT_EQ(package.compressDirectory, c.directoryCompressed);
    }

    // stored-file stores its one entry whatever else is compressed; `stored` stores them all.
    TempFolder folder("qlm_manifest");
    WriteUnder(folder, "src", "x");
    for (const bool allStored : {false, true}) {
        pkgbuild::Package package;
        std::string error;
        ASSERT_TRUE(Parse(
            std::string(allStored ? "stored\n" : "") + "file packed = src\nstored-file as-is = src",
            &package, &error, folder.path()))
            << error;
        ASSERT_EQ(Names(package), (std::vector<std::string>{"packed", "as-is"}));
        EXPECT_EQ(package.entries[0].compressed, !allStored);
        EXPECT_FALSE(package.entries[1].compressed);
        EXPECT_EQ(Content(package, "as-is"), "x");
    }
}

TEST(Manifest, PayloadFolderIsSortedAndLongNamesGetPlaceholders) {
    TempFolder folder("qlm_manifest");
    WriteUnder(folder, "files/b.txt", "b");
    WriteUnder(folder, "files/a/c.txt", "c");
    WriteUnder(folder, fs::path(u8"files/Документы/отчёт.txt"), "report");
    WriteUnder(folder, "files/a/very_long_folder_name/long_file_name.dat",
               "long");                                                 // an entry name of 42 bytes
    WriteUnder(folder, "files/a/exactly_twenty_nine_bytes.xyz", "31");  // an entry name of 31 bytes
    fs::create_directories(folder.Path("files/empty"));
    pkgbuild::Package package;
    std::string error;
    ASSERT_TRUE(
        Parse("payload files\nfile z\\\\extra.txt = files/b.txt", &package, &error, folder.path()))
        << error;

    const std::vector<std::string> expected = {
        ":XlatNamesTable",     "a\\c.txt", "a\\exactly_twenty_nine_bytes.xyz",
        "TMP0000000000000001", "b.txt",    "Документы\\отчёт.txt",
        "z\\extra.txt"};
    EXPECT_EQ(Names(package), expected);
    EXPECT_EQ(Content(package, ":XlatNamesTable"),
              Z("TMP0000000000000001") + Z("a\\very_long_folder_name\\long_file_name.dat") + '\0');
    EXPECT_EQ(Content(package, "TMP0000000000000001"), "long");
    EXPECT_EQ(Content(package, "Документы\\отчёт.txt"), "report");
    EXPECT_EQ(Content(package, "z\\extra.txt"), "b");
    // The Windows-1251 bytes themselves: Д is 0xC4, ё is 0xB8.
    EXPECT_EQ(static_cast<uint8_t>(package.entries[5].name[0]), 0xC4);
    EXPECT_EQ(static_cast<uint8_t>(package.entries[5].name[13]), 0xB8);
}

TEST(Manifest, EntryNameLengthCountsWindows1251Bytes) {
    TempFolder folder("qlm_manifest");
    WriteUnder(folder, "src", "x");
    struct Case {
        const char8_t* name;  // as written in the manifest
        bool placeholder;
    };
    const Case cases[] = {
        {u8"0123456789012345678901234567890", false},  // 31 bytes
        {u8"01234567890123456789012345678901", true},  // 32 bytes
        {u8"ДлинноеИмяФайлаИзТридцатиОдной1", false},  // 31 letters, 62 bytes of UTF-8
        {u8"ДлинноеИмяФайлаИзТридцатиДвухБук", true},  // 32 letters
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(FromU8(c.name));
        pkgbuild::Package package;
        std::string error;
        ASSERT_TRUE(Parse("file " + FromU8(c.name) + " = src", &package, &error, folder.path()))
            << error;
        if (c.placeholder) {
            ASSERT_EQ(package.entries.size(), 2u);
            EXPECT_EQ(package.entries[1].name, "TMP0000000000000001");
        } else {
            ASSERT_EQ(package.entries.size(), 1u);
            EXPECT_EQ(package.entries[0].name.size(), 31u);
        }
    }
}

TEST(Manifest, PlaceholdersCountAcrossDirectivesAndJoinExtraPairs) {
    TempFolder folder("qlm_manifest");
    WriteUnder(folder, "src", "x");
    const std::string longA(40, 'a');
    const std::string longB(40, 'b');
    pkgbuild::Package package;
    std::string error;
    ASSERT_TRUE(Parse("file " + longA + " = src\nxlat S | R\nfile " + longB + " = src", &package,
                      &error, folder.path()))
        << error;
    EXPECT_EQ(Content(package, ":XlatNamesTable"), Z("TMP0000000000000001") + Z(longA) + Z("S") +
                                                       Z("R") + Z("TMP0000000000000002") +
                                                       Z(longB) + '\0');
}

struct ErrorCase {
    std::string manifest;
    std::string error;  // a part of the message
};

TEST(Manifest, ErrorsNameTheirLine) {
    const ErrorCase cases[] = {
        {"bogus x", "line 1: unknown directive 'bogus'"},
        {"# comment\n\nfolder a | b", "line 3: wrong field count for folder: 2 given"},
        {"folder", "line 1: wrong field count for folder: 0 given"},
        {"registry-keys a | b | c | d", "line 1: wrong field count for registry-keys"},
        {"registry 1 | HKLM | K | 2 | N", "line 1: wrong field count for registry"},
        {"command 1", "line 1: wrong field count for command"},
        {"command 1 | a | b | c", "line 1: wrong field count for command"},
        {"xlat a", "line 1: wrong field count for xlat"},
        {"stored now", "line 1: wrong field count for stored"},
        {"directory compressed", "line 1: expected: directory stored"},
        {"folder a\r\nbogus\r\n", "line 2: unknown directive 'bogus'"},
        {"command 256 | a.exe", "line 1: bad number '256' for FLAGS"},
        {"command -1 | a.exe", "line 1: bad number '-1' for FLAGS"},
        {"command 0x | a.exe", "line 1: bad number '0x' for FLAGS"},
        {"command 1 |", "line 1: PROGRAM is empty"},
        {"registry-keys K | F | P | L | 2147483648", "line 1: bad number '2147483648' for LEVEL"},
        {"registry-keys K | F | P | L | 0x10", "line 1: bad number '0x10' for LEVEL"},
        {"registry-keys K | F | P | L | 1 2", "line 1: bad number '1 2' for LEVEL"},
        {"registry-keys K | F | P | L | 1\nregistry-keys K | F | P | L | 2",
         "line 2: registry-keys given twice (first on line 1)"},
        {"startup-msg a | b\n\nstartup-msg a | b", "line 3: startup-msg given twice"},
        {"registry 1 | HKXX | K | 2 | N | D", "line 1: bad ROOT 'HKXX'"},
        {"registry 0 | HKLM | K | 2 | N | D", "line 1: OP 0 would end the registry table"},
        {"registry 1 | HKLM | K | 0x1G | N | D", "line 1: bad number '0x1G' for TYPE"},
        {"registry 1 | HKLM | K | 4294967296 | N | D", "line 1: bad number '4294967296' for TYPE"},
        {"xlat | b", "line 1: STORED is empty"},
        {"folder a\\b", "line 1: unknown escape \\b"},
        {"folder a\\", "line 1: a backslash ends the field"},
        {"remove a\\nb", "line 1: PATH holds a line break"},
        {FromU8(u8"folder ok\nstartup-msg Заголовок | 日本"),
         "line 2: character U+65E5 has no Windows-1251 form"},
        {"folder \xC2\x99", "line 1: character U+0099 has no Windows-1251 form"},
        {"folder a\xC3(", "line 1: malformed UTF-8"},
        {std::string("folder a\0b", 10), "line 1: a NUL character"},
        {"file a.txt", "line 1: expected: file NAME = SOURCE"},
        {"file a.txt=b", "line 1: expected: file NAME = SOURCE"},
        {"stored-file a.txt", "line 1: expected: stored-file NAME = SOURCE"},
        {"file a.txt = no_such_file_here", "line 1: cannot read"},
        {"payload no_such_folder_here", "no_such_folder_here is not a folder"},
        {"folder a\\x00", "line 1: \\x needs two hex digits of an ASCII code"},
        {"folder a\\x80", "line 1: \\x needs two hex digits"},
        {"folder a\\x4", "line 1: \\x needs two hex digits"},
        {"section Custom | 00", "line 1: section name 'Custom' does not begin with ':'"},
        {"section :" + std::string(31, 'n') + " | 00", "line 1: section name ':nnn"},
        {"section :A | 0", "line 1: expected the section's bytes as pairs of hex digits"},
        {"section :A | zz", "line 1: expected the section's bytes as pairs of hex digits"},
        {"section :A | 00\nsection :a | 01", "line 2: section ':a' is given twice"},
        {"folder x\nsection :Folders | 00",
         "section :Folders is given both by a section line and by other directives"},
        {"", "the manifest gives no entry"},
        {"# nothing but a comment\n", "the manifest gives no entry"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.manifest);
        pkgbuild::Package package;
        std::string error;
        EXPECT_FALSE(Parse(c.manifest, &package, &error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(Manifest, PayloadNameErrors) {
    TempFolder folder("qlm_manifest");
    WriteUnder(folder, "src", "x");
    WriteUnder(folder, "dir/Readme.txt", "r");
    const ErrorCase cases[] = {
        {"file :Custom = src", "line 1: entry name ':Custom' begins with ':'"},
        {"payload dir\nfile README.TXT = src", "line 2: entry name 'README.TXT' is used twice"},
        {"file TMP0000000000000001 = src\nfile " + std::string(40, 'x') + " = src",
         "line 2: placeholder TMP0000000000000001 is already an entry name"},
        {"payload src", "src is not a folder"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.manifest);
        pkgbuild::Package package;
        std::string error;
        EXPECT_FALSE(Parse(c.manifest, &package, &error, folder.path()));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

// What EscapeField writes reads back as the very bytes it was given, in a text field and as a
// payload name (where " = " would otherwise end the name).
TEST(Manifest, EscapedFieldsReadBackExactly) {
    TempFolder folder("qlm_manifest");
    WriteUnder(folder, "src", "x");
    const std::string texts[] = {
        " lead",        "trail ", "\tx\t", "a|b\\c",   "x = y",   "=",
        "\x01\x1F\x7F", "\x98",   "#hash", "Ёж \\x41", "a  =  b", "line\r\nbreak",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const std::string field = pkgbuild::EscapeField(platform::posix::Cp1251ToUtf8(text));
        // A line break is refused in a name, never in a text.
        const bool name = text.find('\n') == std::string::npos;
        pkgbuild::Package package;
        std::string error;
        ASSERT_TRUE(Parse("startup-msg " + field + " | " + field +
                              (name ? "\nfile " + field + " = src" : std::string()),
                          &package, &error, folder.path()))
            << field << ": " << error;
        EXPECT_EQ(Content(package, ":StartupMsg"), Z(text) + Z(text) + '\0');
        EXPECT_EQ(Content(package, text), name ? "x" : "<missing>");
    }
}

TEST(Manifest, RebasedHostPathsCountFromTheNewFolder) {
    TempFolder folder("qlm_manifest");
    const std::string from = folder.Path("base");
    const std::string to = folder.Path("out/deeper");
    fs::create_directories(from);
    fs::create_directories(to);
    struct Case {
        std::string line;
        std::string rebased;
    };
    const Case cases[] = {
        {"file a\\b.txt = data/b.txt\n", "file a\\b.txt = ../../base/data/b.txt\n"},
        {"  payload   files  \r\n", "payload ../../base/files\n"},
        {"file x = /abs/y.txt", "file x = /abs/y.txt"},
        {"file n = ../out/deeper/z", "file n = z\n"},
        {"file n = a\\x20b", "file n = ../../base/a b\n"},
        {"folder data/b.txt\n", "folder data/b.txt\n"},
        {"# file x = y\n", "# file x = y\n"},
        {"file broken\n", "file broken\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(pkgbuild::RebaseHostPaths(c.line, from, to), c.rebased);
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

TEST(Windows1251, EveryCharacterOfTheUpperHalf) {
    std::string bytes;
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        if (byte != 0x98) {
            bytes.push_back(static_cast<char>(byte));
        }
    }
    // The compiler's own conversion of the same characters checks the list above.
    ASSERT_EQ(std::string(UPPER_HALF), bytes);
    const std::string utf8 = FromU8(u8"" UPPER_HALF);
    std::string converted;
    std::string problem;
    ASSERT_TRUE(pkgbuild::Utf8ToWindows1251(utf8, &converted, &problem)) << problem;
    EXPECT_EQ(converted, bytes);
    EXPECT_EQ(pkgbuild::Windows1251ToUtf8(bytes), utf8);
}

TEST(Windows1251, Conversions) {
    struct Case {
        std::string utf8;
        bool ok;
        std::string result;  // the bytes, or the start of the problem
    };
    const Case cases[] = {
        {"plain ASCII \t~", true, "plain ASCII \t~"},
        {FromU8(u8"Ёжик №5 — «ок»"), true,
         "\xA8\xE6\xE8\xEA \xB9"
         "5 \x97 \xAB\xEE\xEA\xBB"},
        {"", true, ""},
        {FromU8(u8"日"), false, "character U+65E5 has no Windows-1251 form"},
        {FromU8(u8"é"), false, "character U+00E9 has no Windows-1251 form"},
        {FromU8(u8"😀"), false, "character U+1F600 has no Windows-1251 form"},
        {"\xC0\xAF", false, "malformed UTF-8 at byte 1"},        // overlong '/'
        {"ab\xED\xA0\x80", false, "malformed UTF-8 at byte 3"},  // surrogate
        {"\xD0", false, "malformed UTF-8"},                      // truncated
        {"\x80", false, "malformed UTF-8"},                      // lone continuation
        {"\xF4\x90\x80\x80", false, "malformed UTF-8"},          // beyond U+10FFFF
        {"\xD0\x41", false, "malformed UTF-8"},                  // continuation missing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        std::string converted;
        std::string problem;
        ASSERT_EQ(pkgbuild::Utf8ToWindows1251(c.utf8, &converted, &problem), c.ok) << problem;
        if (c.ok) {
            EXPECT_EQ(converted, c.result);
        } else {
            EXPECT_EQ(problem.substr(0, c.result.size()), c.result);
        }
    }
}

TEST(Windows1251, DisplayEscapesControlBytesAndTheUnusedByte) {
    EXPECT_EQ(pkgbuild::Windows1251ToUtf8(std::string("a\x01\x98\x7F\0", 5)),
              "a\\x01\\x98\\x7F\\x00");
    EXPECT_EQ(pkgbuild::Windows1251ToUtf8("Файл"), FromU8(u8"Файл"));
}

// The manifest's package as the installer reads it: the Cyrillic and placeholder names are
// found, and their content loads whole.
TEST(Manifest, BuiltPackageReadsBackThroughTheReader) {
    TempFolder folder("qlm_manifest");
    WriteUnder(folder, fs::path(u8"files/Данные/карта.dat"), std::string(5000, 'k'));
    WriteUnder(folder, "files/a_folder_with_a_long_name/some_long_file.txt", "long");
    pkgbuild::Package built;
    std::string error;
    ASSERT_TRUE(
        Parse(FromU8(u8"startup-msg Патч | Текст\npayload files"), &built, &error, folder.path()))
        << error;
    const std::string packagePath = folder.Path("out.pkg");
    ASSERT_TRUE(pkgbuild::WriteFile(packagePath, pkgbuild::Build(built)));

    Package package;
    ASSERT_EQ(OpenPackage(package, packagePath.c_str(), false), 0);
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {":StartupMsg", Z("Патч") + Z("Текст") + '\0'},
        {":XlatNamesTable",
         Z("TMP0000000000000001") + Z("a_folder_with_a_long_name\\some_long_file.txt") + '\0'},
        {"tmp0000000000000001", "long"},
        {"Данные\\карта.dat", std::string(5000, 'k')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int index = FindEntry(package, c.name);
        ASSERT_GE(index, 0);
        const DirectoryEntry& entry = package.directory[index];
        ASSERT_EQ(entry.size, c.content.size());
        std::string loaded(entry.size, '\0');
        ASSERT_TRUE(LoadEntry(package, entry, loaded.data()));
        EXPECT_EQ(loaded, c.content);
    }
    ClosePackage(package);
}

}  // namespace
