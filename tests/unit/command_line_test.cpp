#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Parse(const std::string& commandLine) {
    char* argv[kMaxArguments] = {};
    int32_t argc = -1;
    ParseCommandLine(commandLine.c_str(), argv, &argc);
    std::vector<std::string> words(argv, argv + argc);
    for (int32_t i = 0; i < argc; ++i) {
        std::free(argv[i]);
    }
    return words;
}

TEST(ParseCommandLineTest, SplitsWordsLikeTheInstallerAlwaysDid) {
    using Words = std::vector<std::string>;
    struct Case {
        std::string line;
        Words words;
    };
    const Case cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"\"\" pkg.dat", {}},
        {"\"D:\\Games\\PATCH.EXE\"", {"D:\\Games\\PATCH.EXE"}},
        {"PATCH.EXE pkg.dat", {"PATCH.EXE", "pkg.dat"}},
        {"  \tPATCH.EXE \t\t pkg.dat   out.exe\t", {"PATCH.EXE", "pkg.dat", "out.exe"}},
        {"PATCH.EXE \"D:\\My Games\\patch data.pkg\"",
         {"PATCH.EXE", "D:\\My Games\\patch data.pkg"}},
        {"PATCH.EXE \"\" pkg.dat", {"PATCH.EXE"}},
        {"PATCH.EXE \"", {"PATCH.EXE"}},
        {"PATCH.EXE ab\"xy", {"PATCH.EXE", "ab\"xy"}},
        {"PATCH.EXE \"abc\"def", {"PATCH.EXE", "abc", "def"}},
        {"PATCH.EXE \"pkg dat", {"PATCH.EXE", "pkg dat"}},
        {"PATCH.EXE a\\\"b", {"PATCH.EXE", "a\\\"b"}},
        {"PATCH.EXE \x01\x1F\x20x", {"PATCH.EXE", "x"}},
        // National letters outside quotes are word bytes, so unquoted paths with them work.
        {"PATCH.EXE D:\\\xC8\xE3\xF0\xFB\\p.dat", {"PATCH.EXE", "D:\\\xC8\xE3\xF0\xFB\\p.dat"}},
        {"\xC8gra.exe \xFF", {"\xC8gra.exe", "\xFF"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parse(c.line), c.words) << c.line;
    }
}

TEST(ParseCommandLineTest, KeepsAtMost256Words) {
    std::string line;
    for (int i = 0; i < 300; ++i) {
        line += "w" + std::to_string(i) + " ";
    }
    const std::vector<std::string> words = Parse(line);
    ASSERT_EQ(words.size(), 256u);
    EXPECT_EQ(words.back(), "w255");
}

TEST(ChooseRunModeTest, CountsWordsAndMatchesTheKeywordExactly) {
    struct Case {
        std::vector<std::string> words;
        RunMode mode;
    };
    const Case cases[] = {
        {{}, RunMode::Usage},
        {{"p"}, RunMode::Embedded},
        {{"p", "pkg"}, RunMode::PackageFile},
        {{"p", "pkg", "out"}, RunMode::PackageFile},
        {{"p", "pkg", "out", "MAKEEXE"}, RunMode::Binder},
        {{"p", "pkg", "out", "MAKEEXE", "extra"}, RunMode::Binder},
        {{"p", "pkg", "out", "makeexe"}, RunMode::Usage},
        {{"p", "pkg", "out", "MAKEEXE1"}, RunMode::Usage},
        {{"p", "pkg", "out", "MAKEEX"}, RunMode::Usage},
        {{"p", "pkg", "out", "x", "MAKEEXE"}, RunMode::Usage},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const std::string& word : c.words) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        EXPECT_EQ(ChooseRunMode(static_cast<int32_t>(argv.size()), argv.data()), c.mode)
            << c.words.size() << " words";
    }
}

}  // namespace
