// The posix backend of the platform layer: path conversion and the folder index, moves, views,
// the ".reg" store's text, and command lines split as the Windows C runtime splits them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/faults.h"
#include "platform/posix/path.h"
#include "platform/posix/process.h"
#include "platform/posix/registry_store.h"
#include "support.h"

namespace {

using platform::posix::ConvertPath;
using test::Tree;

// A temporary folder, named as the program names paths (backslashes) by P().
class Posix : public ::testing::Test {
  protected:
    std::string P(const std::string& relative = "") const {
        std::string path = temp_.path() + "\\" + relative;
        std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    }
    std::string Native(const std::string& relative = "") const { return temp_.Path(relative); }
    bool Start(std::string line, const std::string& folder) {
        platform::Process process;
        if (!platform::StartProcess("\\bin\\sh", line.data(), folder.c_str(), &process)) {
            return false;
        }
        platform::WaitForProcess(process);
        platform::CloseProcess(process);
        return true;
    }

    test::TempFolder temp_{"qlm_platform"};
};

TEST_F(Posix, PathsConvertAndFindComponentsIgnoringCase) {
    test::Put(temp_.path(),
              {{"Data/Sub/File.TXT", "x"}, {"ПАПКА/Ёлка.dat", "y"}, {"Łódź/Игры/Game.exe", "z"}});
    const std::pair<std::string, std::string> cases[] = {
        // Letters outside Windows-1251 match exactly; the Cyrillic ones below them in any case.
        {P("Łódź\\игры\\GAME.EXE"), Native("Łódź/Игры/Game.exe")},
        {P("łódź\\Игры"), Native("łódź/Игры")},
        {P("data\\SUB\\file.txt"), Native("Data/Sub/File.TXT")},
        {P("папка\\ёЛКА.DAT"), Native(std::string("ПАПКА/Ёлка.dat"))},
        {P("\\Data\\\\\\sub"), Native("Data/Sub")},
        {P("data/sub/"), Native("Data/Sub/")},
        // Missing components are kept as written, and so is all below them.
        {P("data\\Новая\\sub"), Native(std::string("Data/Новая/sub"))},
        // Every folder has "." and "..", though no folder lists them.
        {P("data\\.\\sub\\..\\SUB\\file.txt"), Native("Data/./Sub/../Sub/File.TXT")},
        {"", ""},
    };
    for (const auto& [program, native] : cases) {
        EXPECT_EQ(ConvertPath(program), native) << program;
    }
    // Relative paths resolve against the current folder.
    const std::string saved = std::filesystem::current_path();
    std::filesystem::current_path(temp_.path());
    const std::string relative = ConvertPath("data\\sub\\FILE.txt");
    const bool exists = platform::PathExists("DATA\\SUB\\file.txt");
    std::filesystem::current_path(saved);
    EXPECT_EQ(relative, "Data/Sub/File.TXT");
    EXPECT_TRUE(exists);
}

// The index a lookup makes of a folder follows every later change: made through the backend,
// behind its back, or by an external program. Each step changes the folder, then looks a name
// up in it.
TEST_F(Posix, FolderIndexFollowsEveryChange) {
    test::Write(Native("Data.TXT"), "d");
    // The checks of kept folder paths are trusted for an hour here, so that every change below
    // is seen however slowly the steps run: names made or deleted by anyone at once, and a kept
    // folder moved by another process once the checks are no longer trusted (`untrusted`).
    const auto trustLong = [] { platform::posix::TrustChecksForTesting(std::chrono::hours(1)); };
    trustLong();
    const auto behind = [this](const std::string& command, bool untrusted = false) {
        return [this, command, untrusted] {
            ASSERT_EQ(test::RunShell("cd " + test::Quote(Native()) + "; " + command).status, 0);
            if (untrusted) {
                platform::posix::TrustChecksForTesting(std::chrono::hours(1));
            }
        };
    };
    const auto external = [this](const std::string& command) {
        return [this, command] { EXPECT_TRUE(Start("sh -c \"" + command + "\"", P())); };
    };
    const std::tuple<const char*, std::function<void()>, std::string, std::string, bool> steps[] = {
        {"first lookup", [] {}, "data.txt", "Data.TXT", true},
        {"moved by the backend",
         [&] { EXPECT_TRUE(platform::MovePath(P("DATA.txt").c_str(), P("a").c_str())); },
         "data.txt", "data.txt", false},
        {"renamed behind its back", behind("mv a Moved.Bin"), "moved.BIN", "Moved.Bin", true},
        {"two names fold alike", behind(": > aA.txt; : > Aa.txt"), "AA.TXT", "Aa.txt", true},
        {"the smaller deleted by the backend",
         [&] { EXPECT_TRUE(platform::DeleteFilePath(P("aa.txt").c_str())); }, "AA.TXT", "aA.txt",
         true},
        {"created by the backend",
         [&] { platform::CloseFile(platform::CreateFileReadWrite(P("Новый.dat").c_str())); },
         "НОВЫЙ.DAT", std::string("Новый.dat"), true},
        {"folder created by the backend once",
         [&] {
             EXPECT_TRUE(platform::CreateFolder(P("Sub").c_str()));
             EXPECT_FALSE(platform::CreateFolder(P("SUB").c_str()));
         },
         "SUB\\f.txt", "Sub/f.txt", false},
        {"exact folder name appears behind its back", behind("mkdir SUB"), "SUB\\f.txt",
         "SUB/f.txt", false},
        {"and goes again", behind("rmdir SUB"), "SUB\\f.txt", "Sub/f.txt", false},
        {"renamed and created by an external program",
         external("mv Moved.Bin MOVED.bin; : > Extra.TXT"), "moved.bin", "MOVED.bin", true},
        {"removed by an external program", external("rm Extra.TXT"), "extra.txt", "extra.txt",
         false},
        // Only the last folder is indexed, since only there was a name missing: the move of the
        // first is seen by checking the path again.
        {"two folders down", behind("mkdir -p Two/Down && : > Two/Down/x.txt"), "Two\\Down\\X.TXT",
         "Two/Down/x.txt", true},
        {"a folder on the way moved by the backend",
         [&] { EXPECT_TRUE(platform::MovePath(P("Two").c_str(), P("Moved").c_str())); },
         "Two\\Down\\X.TXT", "Two/Down/X.TXT", false},
        {"indexed again", behind(": > Moved/Down/y.txt"), "Moved\\Down\\Y.TXT", "Moved/Down/y.txt",
         true},
        {"and its folder on the way moved behind its back", behind("mv Moved Gone", true),
         "Moved\\Down\\Y.TXT", "Moved/Down/Y.TXT", false},
    };
    for (const auto& [what, change, lookup, expected, exists] : steps) {
        SCOPED_TRACE(what);
        change();
        EXPECT_EQ(ConvertPath(P(lookup)), Native(expected));
        EXPECT_EQ(platform::PathExists(P(lookup).c_str()), exists);
    }
    platform::posix::TrustChecksForTesting(platform::posix::kTrustedFor);
}

// The bounds of what the lookups keep, made small: each way of forgetting (too many names in
// all, a folder too large to keep, too many folders, names grown past the bound through the
// notifications, too many resolved folders, notifications lost) leaves every lookup right.
TEST_F(Posix, FolderIndexBoundsForgetAndLookupsStayRight) {
    Tree files = {{"A/File1", "1"}, {"A/File2", "2"}, {"A/File3", "3"}, {"A/File4", "4"},
                  {"B/File1", "1"}, {"B/File2", "2"}, {"B/File3", "3"}, {"B/File4", "4"},
                  {"C/x.txt", "x"}, {"D/y.txt", "y"}};
    for (int i = 1; i <= 10; ++i) {
        files["Big/File" + std::to_string(i)] = "b";
    }
    test::Put(temp_.path(), files);
    platform::posix::ForgetFolderIndexes();
    platform::posix::TrustChecksForTesting(std::chrono::hours(1));
    constexpr size_t kNames = 6;
    constexpr size_t kFolders = 2;
    constexpr size_t kResolved = 2;
    platform::posix::LimitFolderIndexesForTesting(kNames, kFolders, kResolved);
    const auto behind = [this](const std::string& command) {
        return [this, command] {
            ASSERT_EQ(test::RunShell("cd " + test::Quote(Native()) + "; " + command).status, 0);
        };
    };
    const std::string longName(60, 'n');
    struct Step {
        const char* what;
        std::function<void()> change;
        std::string lookup;
        std::string expected;
        uint64_t forgets;  // how many times everything is dropped
    };
    const Step steps[] = {
        {"a folder indexed", [] {}, "A\\FILE1", "A/File1", 0},
        {"a second folder's names cross the bound", [] {}, "B\\FILE1", "B/File1", 1},
        {"a folder of more names than the bound is not kept", [] {}, "Big\\FILE10", "Big/File10",
         0},
        {"and is read again at each lookup", behind(": > Big/New.txt"), "Big\\NEW.TXT",
         "Big/New.txt", 0},
        {"folders up to their bound", [] {}, "C\\X.TXT", "C/x.txt", 0},
        {"one folder more", [] {}, "D\\Y.TXT", "D/y.txt", 1},
        {"names grown past the bound by notifications",
         behind("for i in 1 2 3 4 5 6; do : > D/New$i; done"), "D\\NEW6", "D/New6", 1},
        {"resolved folders up to their bound", [] {}, "A\\File2", "A/File2", 0},
        {"one resolved folder more", [] {}, "B\\File2", "B/File2", 0},
        {"a folder indexed again", [] {}, "A\\FILE3", "A/File3", 0},
        {"notifications lost",
         [&behind] {
             platform::posix::LoseNotificationsForTesting();
             behind("mv A/File3 A/Renamed3")();
         },
         "A\\RENAMED3", "A/Renamed3", 1},
        {"indexed once more", [] {}, "A\\FILE1", "A/File1", 0},
        {"more changes than one read of the notifications takes",
         behind("for i in $(seq 300); do : > A/" + longName + "$i; done"),
         "A\\" + std::string(60, 'N') + "300", "A/" + longName + "300", 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const uint64_t dropped = platform::posix::CountFolderIndexesForTesting().dropped;
        step.change();
        EXPECT_EQ(ConvertPath(P(step.lookup)), Native(step.expected));
        EXPECT_TRUE(platform::PathExists(P(step.lookup).c_str()));
        const platform::posix::FolderIndexCounts counts =
            platform::posix::CountFolderIndexesForTesting();
        EXPECT_EQ(counts.dropped - dropped, step.forgets);
        EXPECT_LE(counts.names, kNames);
        EXPECT_LE(counts.folders, kFolders);
        EXPECT_LE(counts.resolved, kResolved);
    }
    platform::posix::LimitFolderIndexesForTesting(0, 0, 0);
    platform::posix::TrustChecksForTesting(platform::posix::kTrustedFor);
}

TEST_F(Posix, MovePathNeverReplacesTheDestination) {
    test::Put(temp_.path(),
              {{"a.txt", "first"}, {"b.txt", "second"}, {"dir", "/"}, {"other", "/"}});
    const auto move = [this](const char* from, const char* to) {
        return platform::MovePath(P(from).c_str(), P(to).c_str());
    };
    EXPECT_FALSE(move("a.txt", "b.txt"));
    EXPECT_FALSE(move("a.txt", "B.TXT"));  // the same name on a Windows file system
    EXPECT_FALSE(move("dir", "other"));
    EXPECT_FALSE(move("gone", "c"));
    EXPECT_TRUE(move("A.txt", "a.bak"));
    EXPECT_FALSE(platform::DeleteFilePath(P("dir").c_str()));
    EXPECT_TRUE(platform::RemoveFolder(P("DIR").c_str()));
    EXPECT_TRUE(platform::DeleteFilePath(P("B.txt").c_str()));
    EXPECT_TRUE(platform::CreateFolder(P("Новая").c_str()));
    EXPECT_EQ(test::Snapshot(temp_.path()),
              (Tree{{"a.bak", "first"}, {"other", "/"}, {std::string("Новая"), "/"}}));
}

TEST_F(Posix, ViewsLieWithinTheMappingAndOneWindow) {
    test::Write(Native("Data.bin"), "payload");
    platform::File file = platform::OpenFileRead(P("DATA.BIN").c_str());
    platform::Mapping mapping = platform::CreateReadMapping(file);
    ASSERT_TRUE(mapping.valid());
    platform::CloseFile(file);  // the mapping outlives its file handle, as on Windows

    // A view lies within the mapping and within one window (4 bytes here).
    test::ViewWindow small(4);
    const std::tuple<uint64_t, uint32_t, std::string> cases[] = {
        {0, 4, "payl"}, {3, 4, "load"}, {6, 1, "d"}, {0, 0, "-"},
        {0, 5, "-"},    {6, 2, "-"},    {7, 1, "-"}, {UINT64_MAX, 1, "-"},  // "-": no view
    };
    for (const auto& [offset, length, bytes] : cases) {
        platform::View view = platform::MapView(mapping, offset, length);
        EXPECT_EQ(view.valid() ? std::string(reinterpret_cast<char*>(view.data), length) : "-",
                  bytes)
            << offset << "+" << length;
        EXPECT_TRUE(platform::UnmapView(view));
    }
    platform::CloseMapping(mapping);

    // A view of a written file starts as zeros, whatever its buffer held before, and its bytes
    // reach their place in the file when it is released.
    platform::File out = platform::CreateFileReadWrite(P("Out.bin").c_str());
    platform::Mapping written = platform::CreateWriteMapping(out, 7);
    platform::View first = platform::MapView(written, 0, 4);
    platform::View last = platform::MapView(written, 4, 3);
    ASSERT_TRUE(first.valid() && last.valid());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(first.data), 4), std::string(4, '\0'));
    std::memcpy(first.data, "abc", 3);
    last.data[2] = 'z';
    EXPECT_TRUE(platform::UnmapView(last));
    EXPECT_TRUE(platform::UnmapView(first));
    platform::CloseMapping(written);
    platform::CloseFile(out);
    EXPECT_EQ(test::Read(Native("Out.bin")), std::string("abc\0\0\0z", 7));
    char own[4096];
    ASSERT_TRUE(platform::GetOwnProgramPath(own, sizeof own));
    EXPECT_TRUE(platform::PathExists(own));
    EXPECT_FALSE(platform::GetOwnProgramPath(own, strlen(own)));  // no room for the NUL
}

// The fault seam: the chosen call fails with the errno the system would give, changes nothing
// and is reported by its kind; each case fails the last call its steps make.
TEST_F(Posix, AFailedCallFailsAsTheSystemWouldAndChangesNothing) {
    using platform::posix::FallibleCall;
    test::Put(temp_.path(), {{"a.txt", "a"}, {"dir", "/"}});
    setenv("QLM_REGISTRY", Native("registry.reg").c_str(), 1);
    const platform::RegistryKey made =
        platform::CreateKey(platform::RegistryRoot::CurrentUser, "Software\\Test");
    platform::CloseKey(made);
    const Tree before = test::Snapshot(temp_.path());
    const std::string a = P("A.TXT");
    // Each attempt gives whether it succeeded and the errno right after its last call.
    using Attempt = std::function<std::pair<bool, int>()>;
    const auto result = [](bool succeeded) { return std::make_pair(succeeded, errno); };
    // A new file written through a view, up to `step`: 0 its reservation, 1 the view, 2 its
    // release.
    const auto written = [&](int step) {
        const platform::File file = platform::CreateFileReadWrite(P("new.bin").c_str());
        const platform::Mapping mapping = platform::CreateWriteMapping(file, 16);
        const platform::View view = step > 0 ? platform::MapView(mapping, 0, 16) : platform::View{};
        const bool succeeded = step == 0   ? mapping.valid()
                               : step == 1 ? view.valid()
                                           : platform::UnmapView(view);
        const auto outcome = std::make_pair(succeeded, errno);
        platform::UnmapView(view);
        platform::CloseMapping(mapping);
        platform::CloseFile(file);
        platform::DeleteFilePath(P("new.bin").c_str());
        return outcome;
    };
    const auto key = [](platform::RegistryKey opened) {
        const auto outcome = std::make_pair(opened.valid(), errno);
        platform::CloseKey(opened);
        return outcome;
    };
    const std::tuple<FallibleCall, uint64_t, int, Attempt> cases[] = {
        {FallibleCall::Create, 1, EACCES,
         [&] { return result(platform::CreateFileReadWrite(P("new.bin").c_str()).valid()); }},
        {FallibleCall::Open, 1, EACCES,
         [&] { return result(platform::OpenFileRead(a.c_str()).valid()); }},
        {FallibleCall::Reserve, 2, ENOSPC, [&] { return written(0); }},
        {FallibleCall::View, 3, ENOMEM, [&] { return written(1); }},
        {FallibleCall::WriteBack, 4, ENOSPC, [&] { return written(2); }},
        {FallibleCall::Move, 1, EACCES,
         [&] { return result(platform::MovePath(a.c_str(), P("b.txt").c_str())); }},
        {FallibleCall::Delete, 1, EACCES,
         [&] { return result(platform::DeleteFilePath(a.c_str())); }},
        {FallibleCall::FolderCreate, 1, EACCES,
         [&] { return result(platform::CreateFolder(P("new").c_str())); }},
        {FallibleCall::FolderRemove, 1, EACCES,
         [&] { return result(platform::RemoveFolder(P("DIR").c_str())); }},
        {FallibleCall::RegistryOpen, 1, EACCES,
         [&] {
             return key(
                 platform::OpenKeyForSet(platform::RegistryRoot::CurrentUser, "Software\\Test"));
         }},
        {FallibleCall::RegistryRead, 2, EACCES,
         [&] {
             return key(
                 platform::OpenKeyForQuery(platform::RegistryRoot::CurrentUser, "Software\\Test"));
         }},
        {FallibleCall::RegistryWrite, 2, ENOSPC,
         [&] {
             return key(platform::CreateKey(platform::RegistryRoot::CurrentUser, "Software\\New"));
         }},
        {FallibleCall::ProcessStart, 1, ENOENT,
         [&] {
             char line[] = "true";
             platform::Process process;
             return result(platform::StartProcess("/bin/true", line, P().c_str(), &process));
         }},
    };
    for (const auto& [call, failAt, error, attempt] : cases) {
        SCOPED_TRACE(platform::posix::FallibleCallName(call));
        platform::posix::FailCallForTesting(failAt);
        const auto [succeeded, reported] = attempt();
        const platform::posix::FaultReport report = platform::posix::StopFailingCallsForTesting();
        EXPECT_FALSE(succeeded);
        EXPECT_EQ(reported, error);
        EXPECT_TRUE(report.failed);
        EXPECT_EQ(report.failedCall, call);
        EXPECT_EQ(test::Snapshot(temp_.path()), before);
    }
    unsetenv("QLM_REGISTRY");
}

// --- the registry store ---------------------------------------------------------------------

// Every form of value the store writes, in the order written (the file is Windows-1251).
const std::string kCanonicalReg = test::W(
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\Software]\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Фирма]\n"
    "@=\"default\"\n"
    "\"Path\"=\"C:\\\\Games\\\\Игра\\\\ \\\"q\\\"\"\n"
    "\"Level\"=dword:0000000b\n"
    "\"Blob\"=hex(3):00,ff,10\n"
    "\"Empty\"=hex(0):\n"
    "\"NoNul\"=hex(1):61,62\n"
    "\"TwoNul\"=hex(1):61,00,62,00\n"
    "\"Lines\"=hex(1):61,0d,0a,62,00\n"
    "\"Short\"=hex(4):01,02\n\n"
    "[HKEY_CURRENT_USER\\Software]\n\n"
    "[HKEY_CURRENT_USER\\Software\\Firm]\n"
    "\"\\\"\"=\"\"\n\n");

TEST(PosixRegistryText, ReadsWhatItWritesAndSkipsWhatItCannotRead) {
    const platform::posix::RegStore store = platform::posix::ParseRegText(kCanonicalReg);
    ASSERT_EQ(store.keys.size(), 4u);
    const std::pair<const char*, platform::posix::RegValue> values[] = {
        {"", {"", 1, std::string("default", 8)}},
        {"path", {"Path", 1, std::string("C:\\Games\\Игра\\ \"q\"") + '\0'}},
        {"blob", {"Blob", 3, std::string("\0\xff\x10", 3)}},
        {"NoNul", {"NoNul", 1, "ab"}},
        {"TwoNul", {"TwoNul", 1, std::string("a\0b\0", 4)}},
    };
    for (const auto& [name, expected] : values) {
        const platform::posix::RegValue* value = platform::posix::FindValue(store.keys[1], name);
        ASSERT_NE(value, nullptr) << name;
        EXPECT_EQ(std::tie(value->name, value->type, value->data),
                  std::tie(expected.name, expected.type, expected.data));
    }
    EXPECT_EQ(store.keys[3].values.at(0).name, "\"");

    const std::pair<std::string, std::string> cases[] = {
        {kCanonicalReg, kCanonicalReg},
        // Text without a Windows-1251 form makes the whole file UTF-8, behind its mark; a
        // marked file whose text all has one goes back to Windows-1251.
        {"\xEF\xBB\xBF[HKEY_CURRENT_USER\\Łódź]\n\"Путь\"=\"C:\\\\ゲーム\"\n\"Б\"=hex(1):c5,81,"
         "00\n",
         "\xEF\xBB\xBFREGEDIT4\n\n[HKEY_CURRENT_USER\\Łódź]\n\"Путь\"=\"C:\\\\ゲーム\"\n"
         "\"Б\"=\"Ł\"\n\n"},
        {"\xEF\xBB\xBF[HKEY_CURRENT_USER\\Игра]\n\"Б\"=hex(1):d0,91,00\n",
         test::W("REGEDIT4\n\n[HKEY_CURRENT_USER\\Игра]\n\"Б\"=\"Б\"\n\n")},
        {"", "REGEDIT4\n\n"},
        {"[HKEY_CLASSES_ROOT\\Kept]\r\n\"a\"=\"b\"",
         "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\Kept]\n\"a\"=\"b\"\n\n"},
        // Comments, blank lines, CR LF, regedit's upper-case forms and wrapped hex lines.
        {"; comment\r\nREGEDIT4\r\n\r\n  [hkey_current_user\\\\A\\]\r\n\"v\"=DWORD:1\r\n"
         "\"h\"=hex:01,\\\r\n  02\r\n",
         "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"v\"=dword:00000001\n\"h\"=hex(3):01,02\n\n"},
        // Values outside a key, after a damaged or deleting header, and damaged values.
        {"\"a\"=\"b\"\n[HKEY_CURRENT_USER\\A\n\"c\"=\"d\"\n[-HKEY_CURRENT_USER\\B]\n\"e\"=\"f\"\n"
         "[HKEY_CURRENT_USER\\C]\n\"open=\"x\"\n\"g\"=dword:123456789\n\"h\"=dword:\n"
         "\"i\"=hex(zz):00\n\"j\"=hex:1,2x\n\"k\"=\"unterminated\n\"l\"\n\"m\"=what\n"
         "\"n\"=\"ok\"\n\"o\"=\"esc\\",
         "REGEDIT4\n\n[HKEY_CURRENT_USER\\C]\n\"n\"=\"ok\"\n\n"},
        // A key met twice is one key; a value met twice keeps the last; parents appear.
        {"[HKEY_CURRENT_USER\\A\\B]\n\"x\"=\"1\"\n[HKEY_CURRENT_USER\\a\\b]\n\"X\"=\"2\"\n",
         "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\n[HKEY_CURRENT_USER\\A\\B]\n\"x\"=\"2\"\n\n"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(platform::posix::FormatRegText(platform::posix::ParseRegText(text)), expected)
            << text;
    }
}

// --- processes ------------------------------------------------------------------------------

TEST(PosixProcess, SplitsCommandLinesAsTheCRuntime) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"\"C:\\My Games\\fix.exe\" DUMMY  \t -q", {"C:\\My Games\\fix.exe", "DUMMY", "-q"}},
        {"p a\\\\\\b d\"e f\"g h", {"p", "a\\\\\\b", "de fg", "h"}},
        {"p a\\\\\\\"b c d", {"p", "a\\\"b", "c", "d"}},
        {"p a\\\\\\\\\"b c\" d e", {"p", "a\\\\b c", "d", "e"}},
        {"p a\"b\"\" c d", {"p", "ab\" c d"}},
        {"p \"\" x", {"p", "", "x"}},
        {"p \"unclosed arg", {"p", "unclosed arg"}},
        {"\"pro\"g\\ x\\", {"prog\\", "x\\"}},
        {"p \"Игры\\\" \\\"мои\"", {"p", "Игры\" \"мои"}},
        {"p ", {"p"}},
        {"", {""}},
    };
    for (const auto& [line, words] : cases) {
        EXPECT_EQ(platform::posix::SplitCommandLine(line), words) << line;
    }
}

}  // namespace
