#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

Words Parse(const std::string& commandLine) {
    char* argv[kMaxArguments] = {};
    int32_t argc = -1;
    ParseCommandLine(commandLine.c_str(), argv, &argc);
    const Words words(argv, argv + argc);
    for (int32_t i = 0; i < argc; ++i) {
        std::free(argv[i]);
    }
    return words;
}

TEST(CommandLine, SplitsWordsLikeTheInstallerAlwaysDid) {
    const std::pair<std::string, Words> cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"\"\" pkg.dat", {}},
        {"\"D:\\Games\\PATCH.EXE\"", {"D:\\Games\\PATCH.EXE"}},
        {"  \tPATCH.EXE \t\t pkg.dat   out.exe\t", {"PATCH.EXE", "pkg.dat", "out.exe"}},
        {"P \"D:\\My Games\\patch data.pkg\"", {"P", "D:\\My Games\\patch data.pkg"}},
        {"P \"\" pkg.dat", {"P"}},
        {"P \"", {"P"}},
        {"P ab\"xy", {"P", "ab\"xy"}},
        {"P \"abc\"def", {"P", "abc", "def"}},
        {"P \"pkg dat", {"P", "pkg dat"}},
        {"P a\\\"b", {"P", "a\\\"b"}},
        {"P \x01\x1F\x20x", {"P", "x"}},
        // National letters outside quotes are word bytes, so unquoted paths with them work.
        {"\xC8gra.exe D:\\\xC8\xE3\xF0\xFB\\p.dat \xFF",
         {"\xC8gra.exe", "D:\\\xC8\xE3\xF0\xFB\\p.dat", "\xFF"}},
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
        {{}, RunMode::Usage},
        {{"p"}, RunMode::Embedded},
        {{"p", "pkg"}, RunMode::PackageFile},
        {{"p", "pkg", "out"}, RunMode::PackageFile},
        {{"p", "pkg", "out", "MAKEEXE", "extra"}, RunMode::Binder},
        {{"p", "pkg", "out", "makeexe"}, RunMode::Usage},
        {{"p", "pkg", "out", "MAKEEXE1"}, RunMode::Usage},
        {{"p", "pkg", "out", "MAKEEX"}, RunMode::Usage},
        {{"p", "pkg", "out", "x", "MAKEEXE"}, RunMode::Usage},
    };
    for (const auto& [words, mode] : cases) {
        std::vector<char*> argv;
        for (const std::string& word : words) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        EXPECT_EQ(ChooseRunMode(static_cast<int32_t>(argv.size()), argv.data()), mode)
            << words.size() << " words";
    }
}

}  // namespace
