// The installer's own small parsers: its command line, the run mode it chooses, and numbers in
// registry-table text, with the quirks packages and shortcuts rely on.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "package/numbers.h"
#include "shell/command_line.h"

namespace {

using Words = std::vector<std::string>;

Words Parse(const std::string& commandLine) {
    auto parsed = std::make_unique<CommandWords>();
    parsed->count = -1;
    ParseCommandLine(commandLine.c_str(), parsed.get());
    Words words;
    for (int32_t i = 0; i < parsed->count; ++i) {
        words.push_back((*parsed)[i]);
    }
    return words;
}

TEST(CommandLine, SplitsWordsLikeTheInstallerAlwaysDid) {
    const std::pair<std::string, Words> cases[] = {
        {"", Words{}},
        {"   \t ", Words{}},
        {"\"\" pkg.dat", Words{}},
        {"\"D:\\Games\\PATCH.EXE\"", Words{"D:\\Games\\PATCH.EXE"}},
        {"  \tPATCH.EXE \t\t pkg.dat   out.exe\t", Words{"PATCH.EXE", "pkg.dat", "out.exe"}},
        {"P \"D:\\My Games\\patch data.pkg\"", Words{"P", "D:\\My Games\\patch data.pkg"}},
        {"P \"\" pkg.dat", Words{"P"}},
        {"P \"", Words{"P"}},
        {"P ab\"xy", Words{"P", "ab\"xy"}},
        {"P \"abc\"def", Words{"P", "abc", "def"}},
        {"P \"pkg dat", Words{"P", "pkg dat"}},
        {"P a\\\"b", Words{"P", "a\\\"b"}},
        {"P \x01\x1F\x20x", Words{"P", "x"}},
        // National letters outside quotes are word bytes, so unquoted paths with them work.
        {"\xC8gra.exe D:\\\xC8\xE3\xF0\xFB\\p.dat \xFF",
         Words{"\xC8gra.exe", "D:\\\xC8\xE3\xF0\xFB\\p.dat", "\xFF"}},
    };
    for (const auto& [line, words] : cases) {
        EXPECT_EQ(Parse(line), words) << line;
    }
    std::string many;
    for (int i = 0; i < 300; ++i) {
        many += "w" + std::to_string(i) + " ";
    }
    const Words words = Parse(many);
    EXPECT_EQ(words.size(), 256u);
    EXPECT_EQ(words.back(), "w255");
}

TEST(CommandLine, RunModeCountsWordsAndMatchesTheKeywordExactly) {
    const std::pair<Words, RunMode> cases[] = {
        {Words{}, RunMode::Usage},
        {Words{"p"}, RunMode::Embedded},
        {Words{"p", "pkg"}, RunMode::PackageFile},
        {Words{"p", "pkg", "out"}, RunMode::PackageFile},
        {Words{"p", "pkg", "out", "MAKEEXE", "extra"}, RunMode::Binder},
        {Words{"p", "pkg", "out", "makeexe"}, RunMode::Usage},
        {Words{"p", "pkg", "out", "MAKEEXE1"}, RunMode::Usage},
        {Words{"p", "pkg", "out", "MAKEEX"}, RunMode::Usage},
        {Words{"p", "pkg", "out", "x", "MAKEEXE"}, RunMode::Usage},
    };
    for (const auto& [words, mode] : cases) {
        auto chosen = std::make_unique<CommandWords>();
        for (const std::string& word : words) {
            chosen->words[chosen->count].reset(new char[word.size() + 1]);
            std::memcpy(chosen->words[chosen->count++].get(), word.c_str(), word.size() + 1);
        }
        EXPECT_EQ(ChooseRunMode(*chosen), mode) << words.size() << " words";
    }
}

TEST(Numbers, ParseNumberAndParseHexDigits) {
    const std::tuple<int32_t (*)(const char*), const char*, int32_t> cases[] = {
        {ParseNumber, "  42", 42},        {ParseNumber, "-42", -42},
        {ParseNumber, "+7", 7},           {ParseNumber, "0X1f", 31},
        {ParseNumber, "-0x10", -16},      {ParseNumber, "0x-5", -5},
        {ParseNumber, "-0x-5", 5},        {ParseNumber, "12abc", 12},
        {ParseNumber, "0x", 0},           {ParseNumber, "abc", 0},
        {ParseNumber, "- 5", 0},          {ParseNumber, "0x 1", -255},
        {ParseNumber, "4294967295", -1},  {ParseNumber, "0xFFFFFFFF", -1},
        {ParseNumber, "Яя\t15", 15},  // Windows-1251 letters are skipped like blanks
        {ParseHexDigits, "FF", 255},      {ParseHexDigits, "-10", -16},
        {ParseHexDigits, "1-", 13},  // a '-' after the first character is a digit of value -3
        {ParseHexDigits, "z", 35},        {ParseHexDigits, " ", -16},
        {ParseHexDigits, "100000000", 0}, {ParseHexDigits, "80000000", INT32_MIN},
        {ParseHexDigits, "", 0},          {ParseHexDigits, "-", 0}};
    for (const auto& [parse, text, value] : cases) {
        EXPECT_EQ(parse(text), value)
            << (parse == ParseNumber ? "ParseNumber" : "ParseHexDigits") << "(\"" << text << "\")";
    }
}

}  // namespace
