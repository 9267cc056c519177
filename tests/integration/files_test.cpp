// Folders, payload files and removal: what the installation holds after a run, the ".bak"
// protocol, and what a file that cannot be installed leaves behind.
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "fixture.h"

namespace {

using namespace fixture;
using pkgbuild::StringList;

// Every run here has a file size limit of 64 KiB, which makes the space reservation for a
// larger file fail the way a full disk does.
TEST(Files, InstallationAfterTheRun) {
    // A target of 508 bytes: the file would fit, its backup name would not.
    const size_t tooLong = 508 - Installation().FolderText().size();
    const Entry damaged = Damaged(Payload("data.txt", "new"));
    const Entry other = Payload("other.txt", "other");
    const Tree kept = {{"keep", "/"}, {"keep/inside.txt", "inside"}, {"blocker", "a file"}};
    Tree keptAndFine = kept;
    keptAndFine["fine.txt"] = "fine";
    const auto unusable = [](const std::string& realPath) {
        return std::vector<Entry>{Section(":XlatNamesTable", StringList({"x", realPath})),
                                  Payload("x", "data"), Payload("fine.txt", "fine")};
    };
    struct Case {
        const char* what;
        Tree before;
        std::vector<Entry> entries;
        Tree after;
        size_t failures;
    };
    const Case cases[] = {
        {"new file", {}, {Payload("data.txt", "new")}, {{"data.txt", "new"}}, 0},
        {"replaced file",
         {{"data.txt", "old"}},
         {Payload("data.txt", "new")},
         {{"data.txt", "new"}},
         0},
        {"damaged payload, previous file back",
         {{"data.txt", "old"}},
         {damaged, other},
         {{"data.txt", "old"}, {"other.txt", "other"}},
         1},
        {"damaged payload, no previous file", {}, {damaged, other}, {{"other.txt", "other"}}, 1},
        {"leftover backup, success",
         {{"data.txt", "old"}, {"data.txt.bak", "older"}},
         {Payload("data.txt", "new")},
         {{"data.txt", "new"}},
         0},
        {"leftover backup, failure restores the older copy",
         {{"data.txt", "old"}, {"data.txt.bak", "older"}},
         {damaged, other},
         {{"data.txt", "older"}, {"other.txt", "other"}},
         1},
        {"no room for the new file",
         {{"big.bin", "old"}},
         {Payload("big.bin", std::string(1 << 20, 'x'))},
         {{"big.bin", "old"}},
         1},
        {"path longer than its buffer", kept, unusable(std::string(600, 'p')), keptAndFine, 1},
        {"target whose backup would not fit", kept, unusable(std::string(tooLong, 'p')),
         keptAndFine, 1},
        {"name of a folder", kept, unusable("keep\\"), keptAndFine, 1},
        {"parent is a file", kept, unusable("blocker\\file.txt"), keptAndFine, 1},
        {"folders in list order",
         {},
         {Section(":Folders", StringList({"logs", "logs\\old"}))},
         {{"logs", "/"}, {"logs/old", "/"}},
         0},
        {"a folder before its parent",
         {},
         {Section(":Folders", StringList({"logs\\old", "logs"}))},
         {{"logs", "/"}},
         0},
        {"removal: files and empty folders go, folders with content stay",
         {{"data/old", "/"}, {"data/other.txt", "other"}, {"sub/f.txt", "f"}, {"gone.txt", "x"}},
         {Section(":FilesToRemove",
                  StringList({"data\\old", "data", "sub", "sub\\f.txt", "gone.txt", "missing.txt",
                              std::string(600, 'm')}))},
         {{"data", "/"}, {"data/other.txt", "other"}, {"sub", "/"}},
         0},
    };
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto handler = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation install;
        install.Register(0);
        install.Put(c.before);
        const RunResult run = install.Run(PackageAtLevel(1, c.entries));
        EXPECT_EQ(install.Files(), c.after);
        EXPECT_EQ(Count(run.transcript, kUpdateError), c.failures);
        EXPECT_EQ(Count(run.transcript, kCompleted), c.failures == 0 ? 1u : 0u);
        EXPECT_EQ(install.InstalledLevel(), c.failures == 0 ? 1 : 0);
        EXPECT_TRUE(run.waitForUser);
    }
    setrlimit(RLIMIT_FSIZE, &previous);
    signal(SIGXFSZ, handler);
}

TEST(Files, PayloadLandsUnderItsTranslatedName) {
    Installation install;
    install.Register(0);
    install.Put({{"bin/tools/fix.dll", "old"}});
    const RunResult run = install.Run(PackageAtLevel(
        1, {Section(":XlatNamesTable",
                    StringList({"tmp0000000000000001", "bin\\long_name_of_a_library.dll", "Ящик",
                                "box.txt", "TMP2", "twice.txt", "odd"})),
            Payload("bin\\tools\\fix.dll", "new"), Payload("TMP0000000000000001", "library"),
            Payload("\\readme.txt", "readme"), Payload("ящик", "Cyrillic case differs"),
            Payload("odd", "unpaired name"), Payload("twice.txt", "first"),
            Payload("TMP2", "second"), Payload("empty.txt", "")}));
    EXPECT_EQ(run.transcript, Installed("bin\\tools\\fix.dll") +
                                  Installed("bin\\long_name_of_a_library.dll") +
                                  Installed("\\readme.txt") + Installed(U8(u8"ящик")) +
                                  Installed("odd") + Installed("twice.txt") +
                                  Installed("twice.txt") + Installed("empty.txt") + kCompleted);
    EXPECT_EQ(install.Files(), (Tree{{"bin", "/"},
                                     {"bin/long_name_of_a_library.dll", "library"},
                                     {"bin/tools", "/"},
                                     {"bin/tools/fix.dll", "new"},
                                     {"empty.txt", ""},
                                     {"odd", "unpaired name"},
                                     {"readme.txt", "readme"},
                                     {"twice.txt", "second"},
                                     {U8(u8"ящик"), "Cyrillic case differs"}}));
}

// A file whose name differs from the package's only in case is replaced and takes the
// package's spelling, as on Windows, never duplicated; whoever gave it its spelling: the
// installation, another process between two runs, or the package's program during the run.
TEST(Files, NamesDifferingInCaseAreReplacedNotDuplicated) {
    Installation install;
    install.Register(0);
    install.Put({{"Data/File1.DAT", "old"}, {"Data/File2.DAT", "old"}, {"Data/Keep.DAT", "old"}});
    install.Run(PackageAtLevel(1, {Payload("data\\file1.dat", "first")}));
    EXPECT_EQ(install.Files(), (Tree{{"Data", "/"},
                                     {"Data/File2.DAT", "old"},
                                     {"Data/Keep.DAT", "old"},
                                     {"Data/file1.dat", "first"}}));
    std::filesystem::rename(install.Path("Data/file1.dat"), install.Path("Data/fILE1.dat"));
    install.Put({{"Data/Extra.TXT", "made by another process"}});
    install.Run(PackageAtLevel(
        2, {Payload("DATA\\FILE1.DAT", "second"), Payload("data\\extra.txt", "second"),
            Section(":CommandsToExecute",
                    pkgbuild::CommandsSection({{0x01, "/bin/sh",
                                                "-c \"mv Data/File2.DAT Data/file2.dat; "
                                                ": > Data/Made.TXT\""}})),
            Section(":FilesToRemove", StringList({"data\\FILE2.DAT", "data\\made.txt"}))}));
    EXPECT_EQ(install.Files(), (Tree{{"Data", "/"},
                                     {"Data/FILE1.DAT", "second"},
                                     {"Data/Keep.DAT", "old"},
                                     {"Data/extra.txt", "second"}}));
    EXPECT_EQ(install.InstalledLevel(), 2);
}

}  // namespace
