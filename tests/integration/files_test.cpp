// Folders and payload files: where each file lands, the ".bak" protocol, and what a failed
// file leaves behind.
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <functional>

#include "fixture.h"

namespace {

using fixture::Installation;

pkgbuild::Entry Damaged(const std::string& name, const std::string& content) {
    pkgbuild::Entry entry = fixture::Payload(name, content);
    entry.size = static_cast<uint32_t>(content.size() + 100);  // the stream ends too early
    return entry;
}

TEST(Files, PayloadFilesLandUnderTheirTranslatedNames) {
    Installation install;
    install.Register(0);
    install.Write("bin\\tools\\fix.dll", "old fix");
    const std::string target = install.FolderText();
    const fixture::RunResult run = install.Run(fixture::PackageAtLevel(
        1, {fixture::Section(
                ":XlatNamesTable",
                pkgbuild::StringList({"tmp0000000000000001", "bin\\long_name_of_a_library.dll",
                                      "Ящик", "box_translated.txt", "TMP2", "twice.txt", "odd"})),
            fixture::Payload("bin\\tools\\fix.dll", "new fix"),
            fixture::Payload("TMP0000000000000001", "library"),
            fixture::Payload("\\readme.txt", "readme"),
            fixture::Payload("ящик", "cyrillic case differs"),
            fixture::Payload("odd", "unpaired stored name"), fixture::Payload("twice.txt", "first"),
            fixture::Payload("TMP2", "second"), fixture::Payload("empty.txt", "")}));
    EXPECT_TRUE(run.waitForUser);
    EXPECT_TRUE(fixture::InOrder(
        run.transcript,
        {fixture::Updating("bin\\tools\\fix.dll"), fixture::Updated(target + "bin\\tools\\fix.dll"),
         fixture::Updating("bin\\long_name_of_a_library.dll"),
         fixture::Updated(target + "bin\\long_name_of_a_library.dll"),
         fixture::Updating("\\readme.txt"), fixture::Updated(target + "\\readme.txt"),
         fixture::Updated(target + "odd"), fixture::Updated(target + "twice.txt"),
         fixture::Updated(target + "twice.txt"), fixture::Updated(target + "empty.txt"),
         fixture::Completed()}));
    EXPECT_EQ(install.Read("bin/tools/fix.dll"), "new fix");
    EXPECT_FALSE(install.Exists("bin/tools/fix.dll.bak"));
    EXPECT_EQ(install.Read("bin/long_name_of_a_library.dll"), "library");
    EXPECT_FALSE(install.Exists("TMP0000000000000001"));
    EXPECT_EQ(install.Read("readme.txt"), "readme");
    EXPECT_EQ(install.Read(reinterpret_cast<const char*>(u8"ящик")), "cyrillic case differs");
    EXPECT_FALSE(install.Exists("box_translated.txt"));
    EXPECT_EQ(install.Read("odd"), "unpaired stored name");
    EXPECT_EQ(install.Read("twice.txt"), "second");
    EXPECT_FALSE(install.Exists("TMP2"));
    EXPECT_EQ(install.Read("empty.txt"), "");
    EXPECT_EQ(install.InstalledLevel(), 1);
}

TEST(Files, BackupProtocolRestoresWhatWasThereOnFailure) {
    struct Case {
        const char* name;
        std::optional<std::string> current;   // data.txt before the run
        std::optional<std::string> leftover;  // data.txt.bak before the run
        bool damaged;
        std::optional<std::string> after;  // data.txt after the run
    };
    const Case cases[] = {
        {"new file", std::nullopt, std::nullopt, false, "new"},
        {"replaced file", "current", std::nullopt, false, "new"},
        {"damaged payload, previous file back", "current", std::nullopt, true, "current"},
        {"damaged payload, no previous file", std::nullopt, std::nullopt, true, std::nullopt},
        {"leftover backup, success", "current", "older", false, "new"},
        {"leftover backup, failure restores the older copy", "current", "older", true, "older"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation install;
        install.Register(0);
        if (c.current) {
            install.Write("data.txt", *c.current);
        }
        if (c.leftover) {
            install.Write("data.txt.bak", *c.leftover);
        }
        const std::string target = install.FolderText() + "data.txt";
        const fixture::RunResult run = install.Run(fixture::PackageAtLevel(
            1, {c.damaged ? Damaged("data.txt", "new") : fixture::Payload("data.txt", "new"),
                fixture::Payload("other.txt", "other")}));
        EXPECT_TRUE(run.waitForUser);
        EXPECT_EQ(install.Read("data.txt"), c.after);
        EXPECT_FALSE(install.Exists("data.txt.bak"));
        EXPECT_EQ(install.Read("other.txt"), "other") << "a failure does not stop the loop";
        if (c.damaged) {
            EXPECT_TRUE(fixture::InOrder(
                run.transcript, {fixture::Updating("data.txt"), fixture::UpdateError(target),
                                 fixture::Updating("other.txt")}));
            EXPECT_EQ(run.transcript.find(fixture::Completed()), std::string::npos);
            EXPECT_EQ(install.InstalledLevel(), 0) << "no stamp after a failed file";
        } else {
            EXPECT_TRUE(
                fixture::InOrder(run.transcript, {fixture::Updated(target), fixture::Completed()}));
            EXPECT_EQ(install.InstalledLevel(), 1);
        }
    }
}

TEST(Files, NamesThatCannotBeInstalledFailWithoutTouchingAnything) {
    struct Case {
        const char* name;
        std::function<std::string(size_t folderLength)> realPath;  // what "x" translates to
    };
    const Case cases[] = {
        {"path longer than its buffer", [](size_t) { return std::string(600, 'p'); }},
        // 508 characters: the target fits, its backup name does not.
        {"target whose backup would not fit",
         [](size_t folderLength) { return std::string(508 - folderLength, 'p'); }},
        {"name of a folder", [](size_t) { return std::string("keep\\"); }},
        {"parent is a file", [](size_t) { return std::string("blocker\\file.txt"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation install;
        install.Register(0);
        const std::string realPath = c.realPath(install.FolderText().size());
        install.MakeFolder("keep");
        install.Write("keep\\inside.txt", "inside");
        install.Write("blocker", "a file");
        const fixture::RunResult run = install.Run(fixture::PackageAtLevel(
            1, {fixture::Section(":XlatNamesTable", pkgbuild::StringList({"x", realPath})),
                fixture::Payload("x", "data"), fixture::Payload("fine.txt", "fine")}));
        EXPECT_TRUE(fixture::InOrder(
            run.transcript, {reinterpret_cast<const char*>(u8"Ошибка в процессе обновления"),
                             fixture::Updated(install.FolderText() + "fine.txt")}));
        EXPECT_EQ(install.Read("keep\\inside.txt"), "inside");
        EXPECT_EQ(install.Read("blocker"), "a file");
        EXPECT_EQ(install.InstalledLevel(), 0);
    }
}

// In a folder of thousands of files, a file whose name differs from the package's only in case
// is replaced (and takes the package's spelling, as it does on Windows), never duplicated,
// whoever gave it its spelling: the installation, another process between two runs, or the
// package's external program during a run.
TEST(Files, NamesDifferingInCaseAreReplacedNotDuplicated) {
    constexpr int kFiles = 3000;
    const auto name = [](const char* pattern, int number) {
        char text[64];
        snprintf(text, sizeof text, pattern, number);
        return std::string(text);
    };
    Installation install;
    install.Register(0);
    for (int i = 0; i < kFiles; ++i) {
        install.Write(name("Data\\File%04d.DAT", i), "old");
    }
    const auto entries = [&install] {
        const std::filesystem::directory_iterator all(install.Path("Data"));
        return std::distance(begin(all), end(all));
    };

    std::vector<pkgbuild::Entry> first;
    for (int i = 0; i < kFiles; i += 100) {
        first.push_back(fixture::Payload(name("data\\file%04d.dat", i), "first"));
    }
    install.Run(fixture::PackageAtLevel(1, std::move(first)));
    EXPECT_EQ(install.Read("Data/file0100.dat"), "first");
    EXPECT_FALSE(install.Exists("Data/File0100.DAT"));
    EXPECT_EQ(entries(), kFiles);

    std::filesystem::rename(install.Path("Data/file0100.dat"), install.Path("Data/fILE0100.dat"));
    install.Write("Data\\Extra.TXT", "made by another process");
    const fixture::RunResult second = install.Run(fixture::PackageAtLevel(
        2, {fixture::Payload("DATA\\FILE0100.DAT", "second"),
            fixture::Payload("data\\extra.txt", "second"),
            fixture::Section(
                ":CommandsToExecute",
                pkgbuild::CommandsSection({{0x01, "/bin/sh",
                                            "-c \"mv Data/File0200.DAT Data/file0200.dat; "
                                            ": > Data/Made.TXT\""}})),
            fixture::Section(":FilesToRemove",
                             pkgbuild::StringList({"data\\FILE0200.DAT", "data\\made.txt"}))}));
    EXPECT_TRUE(fixture::InOrder(second.transcript, {fixture::Completed()}));
    EXPECT_EQ(install.Read("Data/FILE0100.DAT"), "second");
    EXPECT_FALSE(install.Exists("Data/fILE0100.dat"));
    EXPECT_EQ(install.Read("Data/extra.txt"), "second");
    EXPECT_FALSE(install.Exists("Data/Extra.TXT"));
    EXPECT_FALSE(install.Exists("Data/file0200.dat"));
    EXPECT_FALSE(install.Exists("Data/Made.TXT"));
    EXPECT_EQ(entries(), kFiles);  // one made by another process, one removed
}

TEST(Files, FoldersAreCreatedInListOrder) {
    struct Case {
        std::vector<std::string> folders;
        bool oldExists;
    };
    const Case cases[] = {{{"logs", "logs\\old"}, true}, {{"logs\\old", "logs"}, false}};
    for (const Case& c : cases) {
        Installation install;
        install.Register(0);
        const fixture::RunResult run = install.Run(fixture::PackageAtLevel(
            1, {fixture::Section(":Folders", pkgbuild::StringList(c.folders))}));
        EXPECT_TRUE(std::filesystem::is_directory(install.Path("logs")));
        EXPECT_EQ(std::filesystem::is_directory(install.Path("logs/old")), c.oldExists);
        EXPECT_TRUE(fixture::InOrder(run.transcript, {fixture::Completed()}));
    }
}

// A file size limit makes the space reservation fail the way a full disk does.
TEST(Files, NoRoomForTheNewFileTakesTheFailurePath) {
    Installation install;
    install.Register(0);
    install.Write("big.bin", "previous");
    const std::string content(1 << 20, 'x');
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const fixture::RunResult run =
        install.Run(fixture::PackageAtLevel(1, {fixture::Payload("big.bin", content)}));
    setrlimit(RLIMIT_FSIZE, &previous);
    signal(SIGXFSZ, previousHandler);
    EXPECT_TRUE(
        fixture::InOrder(run.transcript, {fixture::UpdateError(install.FolderText() + "big.bin")}));
    EXPECT_EQ(install.Read("big.bin"), "previous");
    EXPECT_FALSE(install.Exists("big.bin.bak"));
    EXPECT_EQ(install.InstalledLevel(), 0);
}

}  // namespace
