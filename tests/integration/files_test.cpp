// Folders, payload files and removal: what the installation holds after a run, the ".bak"
// protocol, and what a file that cannot be installed leaves behind.
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "fixture.h"

namespace {

using namespace fixture;

// Every run here has a file size limit of 64 KiB, which makes the space reservation for a
// larger file fail the way a full disk does.
TEST(Files, InstallationAfterTheRun) {
    using Entries = std::vector<Entry>;
    // A target of 508 bytes: the file would fit, its backup name would not.
    const size_t tooLong = 508 - Installation().FolderText().size();
    const Entries damaged = {Damaged(Payload("data.txt", "new")), Payload("other.txt", "other")};
    const Tree kept = {{"keep", "/"}, {"keep/inside.txt", "inside"}, {"blocker", "a file"}};
    Tree keptAndFine = kept;
    keptAndFine["fine.txt"] = "fine";
    const auto unusable = [](const std::string& realPath) {
        return Entries{List(":XlatNamesTable", {"x", realPath}), Payload("x", "data"),
                       Payload("fine.txt", "fine")};
    };
    struct Case {
        const char* what;
        Tree before;
        Entries entries;
        Tree after;
        size_t failures;
    };
    const Case cases[] = {
        {"new file", Tree{}, Entries{Payload("data.txt", "new")}, Tree{{"data.txt", "new"}}, 0},
        {"replaced file, its name differing in case", Tree{{"Data.TXT", "old"}},
         Entries{Payload("data.txt", "new")}, Tree{{"data.txt", "new"}}, 0},
        {"damaged payload, previous file back", Tree{{"data.txt", "old"}}, damaged,
         Tree{{"data.txt", "old"}, {"other.txt", "other"}}, 1},
        {"damaged payload, no previous file", Tree{}, damaged, Tree{{"other.txt", "other"}}, 1},
        {"leftover backup, success", Tree{{"data.txt", "old"}, {"data.txt.bak", "older"}},
         Entries{Payload("data.txt", "new")}, Tree{{"data.txt", "new"}}, 0},
        {"leftover backup, failure restores the older copy",
         Tree{{"data.txt", "old"}, {"data.txt.bak", "older"}}, damaged,
         Tree{{"data.txt", "older"}, {"other.txt", "other"}}, 1},
        {"no room for the new file", Tree{{"big.bin", "old"}},
         Entries{Payload("big.bin", std::string(1 << 20, 'x'))}, Tree{{"big.bin", "old"}}, 1},
        {"path longer than its buffer", kept, unusable(std::string(600, 'p')), keptAndFine, 1},
        {"target whose backup would not fit", kept, unusable(std::string(tooLong, 'p')),
         keptAndFine, 1},
        {"name of a folder", kept, unusable("keep\\"), keptAndFine, 1},
        {"parent is a file", kept, unusable("blocker\\file.txt"), keptAndFine, 1},
        {"folders in list order", Tree{}, Entries{List(":Folders", {"logs", "logs\\old"})},
         Tree{{"logs", "/"}, {"logs/old", "/"}}, 0},
        {"a folder before its parent", Tree{}, Entries{List(":Folders", {"logs\\old", "logs"})},
         Tree{{"logs", "/"}}, 0},
        {"removal: files and empty folders go, folders with content stay",
         Tree{{"data/old", "/"}, {"data/other.txt", "o"}, {"Sub/f.txt", "f"}, {"gone.txt", "g"}},
         Entries{List(":FilesToRemove", {"data\\old", "data", "sub", "sub\\F.txt", "GONE.TXT",
                                         "missing.txt", std::string(600, 'm')})},
         Tree{{"data", "/"}, {"data/other.txt", "o"}, {"Sub", "/"}}, 0},
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
        1, {List(":XlatNamesTable", {"tmp0000000000000001", "bin\\long_name_of_a_library.dll",
                                     "Ящик", "box.txt", "TMP2", "twice.txt", "odd"}),
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

}  // namespace
