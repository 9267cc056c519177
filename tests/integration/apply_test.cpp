// Whole runs of the apply sequence: where each run stops and what it says, what the
// installation and the registry hold afterwards, the ".bak" protocol, and external programs.
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include "fixture.h"
#include "platform/posix/path.h"

namespace {

using namespace fixture;
using pkgbuild::Package;
using platform::kRegDword;
using platform::kRegSz;

using Change = std::function<void(const Installation&, Package&)>;
Change Add(const Entry& entry) {
    return [entry](const Installation&, Package& p) { p.entries.push_back(entry); };
}
Change Keys(const Entry& entry) {
    return [entry](const Installation&, Package& p) { p.entries[0] = entry; };
}
Change Value(const std::string& name, uint32_t type, const std::string& data) {
    return [=](const Installation& i, Package&) { i.Set(name, type, data); };
}
Change Both(const Change& first, const Change& second) {
    return [=](const Installation& i, Package& p) { first(i, p), second(i, p); };
}
// Every run starts registered at level 0 in the current folder, with a package of level 1 that
// installs new.txt; each row changes that, answers the questions, and gives the transcript
// and whether the run waits for the user, installs new.txt and is stamped.
TEST(Run, WhereEachRunStopsAndWhatItSays) {
    const std::string installed = Installed("new.txt");
    const std::string done = installed + kCompleted;
    const std::string notFound = kNotFound;
    const std::string opening = "[Патч 1] Строка\nдве\n(OK/Cancel) > \n";
    const Change message = Add(List(":StartupMsg", {"Патч 1", "Строка\r\nдве"}));
    const auto folder = [](const std::string& suffix) -> Change {
        return [suffix](const Installation& i, Package&) {
            i.Set("ProgramPath", kRegSz, i.Folder() + suffix);
        };
    };
    struct Case {
        const char* what;
        Change change;
        const char* answers;
        std::string transcript;
        bool waits;
        bool installs;
        int32_t stamped;  // the level stamped; 0: none, the level stays as it was
    };
    const Case cases[] = {
        {"no :RegistryKeys",
         [](const Installation&, Package& p) { p.entries.erase(p.entries.begin()); }, "", notFound,
         true, false, 0},
        {":RegistryKeys without its level", Keys(List(":RegistryKeys", {kSubKey, "P", "N", "L"})),
         "", notFound, true, false, 0},
        {"damaged :RegistryKeys", Keys(Damaged(RegistryKeys(1))), "", notFound, true, false, 0},
        {"missing key", Keys(RegistryKeys(1, "SOFTWARE\\Other")), "",
         std::string("Ошибка при получении ключа SOFTWARE\\Other из Windows registry\n") +
             std::string("Ошибка при получении ключа SOFTWARE\\Other из Windows registry\n") +
             notFound,
         true, false, 0},
        {"missing program value", Keys(RegistryKeys(1, kSubKey, "Missing")), "",
         std::string("Ошибка при чтении из Windows registry (Missing)\n") + notFound, true, false,
         0},
        {"program value of 512 bytes without a NUL",
         Value("ProgramName", kRegSz, std::string(512, 'a')), "",
         std::string("Ошибка при чтении из Windows registry (PROGRAMNAME)\n") + notFound, true,
         false, 0},
        {"missing program file",
         [](const Installation& i, Package&) { std::filesystem::remove(i.Path(kProgramName)); }, "",
         notFound, true, false, 0},
        {"damaged :StartupMsg", Add(Damaged(List(":StartupMsg", {"C", "T"}))), "", "", false, false,
         0},
        {"damaged :XlatNamesTable", Add(Damaged(List(":XlatNamesTable", {"a", "b"}))), "", "", true,
         false, 0},
        {"damaged :Folders", Add(Damaged(List(":Folders", {"f"}))), "", installed, true, true, 0},
        {"damaged :CommandsToExecute",
         Add(Damaged(Section(":CommandsToExecute", pkgbuild::CommandsSection({})))), "",
         installed + kCommandError, true, true, 0},
        {":CommandsToExecute of one byte", Add(Section(":CommandsToExecute", {0})), "",
         installed + kCommandError, true, true, 0},
        {":CommandsToExecute cut inside a record", Add(Section(":CommandsToExecute", {1, 'x'})), "",
         installed + kCommandError, true, true, 0},
        {"damaged :FilesToRemove", Add(Damaged(List(":FilesToRemove", {"f"}))), "", installed, true,
         true, 0},
        {"damaged :RegistryTable", Add(Damaged(List(":RegistryTable", {}))), "", installed, true,
         true, 0},
        // Questions take one line each: OK is an empty line, "ok" or "o" in any case.
        {"opening message and version gate accepted",
         Both(message, Value("PatchLevel", kRegDword, Dword(1))), "\nOk\n",
         opening + kLevelQuestion + done, true, true, 1},
        {"opening message declined", message, "okay\n", opening, false, false, 0},
        {"installed level equal, accepted", Value("PatchLevel", kRegDword, Dword(1)), " o \r\n",
         kLevelQuestion + done, true, true, 1},
        {"installed level above, declined", Value("PatchLevel", kRegDword, Dword(2)), "cancel\n",
         kLevelQuestion, false, false, 0},
        {"level stored as text counts as 0", Value("PatchLevel", kRegSz, std::string("2", 2)), "",
         done, true, true, 1},
        {"no level, package level 0, end of input",
         Keys(RegistryKeys(0, kSubKey, "ProgramName", "NoLevel")), "", kLevelQuestion, false, false,
         0},
        {"most negative installed level",
         Both(Value("PatchLevel", kRegDword, Dword(INT32_MIN)), Keys(RegistryKeys(INT32_MIN + 1))),
         "", done, true, true, INT32_MIN + 1},
        // The folder text is read with or without its NUL and gets one backslash unless it ends
        // in one; an empty one leaves paths relative to the current folder.
        {"folder text without a NUL", folder(""), "", done, true, true, 1},
        {"folder text ending in a backslash", folder(std::string("\\", 2)), "", done, true, true,
         1},
        {"folder text ending in two backslashes", folder(std::string("\\\\", 3)), "",
         Updating("new.txt") + Updated("<game>\\\\new.txt") + kCompleted, true, true, 1},
        {"empty folder text", Value("ProgramPath", kRegSz, std::string(1, '\0')), "",
         Updating("new.txt") + Updated("new.txt") + kCompleted, true, true, 1},
    };
    const std::filesystem::path previous = std::filesystem::current_path();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation install;
        install.Register();
        Package package = PackageAtLevel(1, {Payload("new.txt", "new")});
        c.change(install, package);
        const std::optional<int32_t> level = install.InstalledLevel();
        std::filesystem::current_path(install.Folder());
        const RunResult run = install.Run(package, c.answers);
        std::filesystem::current_path(previous);
        EXPECT_EQ(run.transcript, c.transcript);
        EXPECT_EQ(run.waitForUser, c.waits);
        EXPECT_EQ(install.Files(), c.installs ? Tree({{"new.txt", "new"}}) : Tree());
        EXPECT_EQ(install.InstalledLevel(), c.stamped != 0 ? c.stamped : level);
    }
}

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
    const pkgbuild::Bytes records = pkgbuild::RegistryTableSection({
        {1, 1, "\\Software\\\\Example\\", 1, "Level", "0x1F"},
        {1, 0, "Software\\Example", 1, "Level", "-42"},
        {1, 2, "Software\\Example", 2, "Text", "abc"},
        {1, 1, "Software\\Example", 2, "", ""},
        {1, 1, "Software\\KeyOnly", 0, "Nothing", "1"},
        {1, 1, "Software\\Other", 3, "Nothing", "1"},
        {5, 1, "Software\\Skipped", 2, "Skipped", "x"},
        {1, 1, "Software\\Example", 2, "two\nlines", "a name is one line"},
        {1, 1, "Software\\Example", 2, "Last", "after"},
    });
    // A whole record without the table's end, and a part of a second record after it.
    const pkgbuild::Bytes whole = pkgbuild::RegistryTableSection({{1, 1, "Applied", 2, "V", "v"}});
    const pkgbuild::Bytes cut = pkgbuild::RegistryTableSection({{1, 1, "Cut", 2, "N", "data"}});
    const auto withCut = [&](size_t keep) {
        pkgbuild::Bytes bytes(whole.begin(), whole.end() - 4);
        bytes.insert(bytes.end(), cut.begin(), cut.begin() + static_cast<std::ptrdiff_t>(keep));
        return bytes;
    };
    const std::string applied = "[HKEY_CURRENT_USER\\Applied]\n\"V\"=\"v\"\n\n";
    const pkgbuild::Bytes pattern = pkgbuild::Pattern(6000, 7);
    const std::string before(pattern.begin(), pattern.end());
    std::string after =
        "head" + before.substr(10, 2500) + std::string(300, 'z') + before.substr(2000) + "tail";
    after[4000] ^= 0x20;
    std::string modified = before;
    modified[3000] ^= 0x01;  // same size, one byte other
    const Entry delta = DeltaPayload("data.bin", before, after);
    const Entry other = Payload("other.txt", "other");
    // The delta's bytes with one of them changed, at a place inside its blocks.
    const auto damagedAt = [&](size_t at) {
        Entry entry = delta;
        entry.content.at(at) ^= 0x40;
        return entry;
    };
    const auto with = [&](const std::function<void(Entry&)>& change) {
        Entry entry = delta;
        change(entry);
        return entry;
    };
    const Tree installed = {{"data.bin", after}, {"other.txt", "other"}};
    const Tree untouched = {{"data.bin", before}, {"other.txt", "other"}};
    struct Case {
        const char* what;
        Tree before;
        Entries entries;
        Tree after;
        size_t failures;
        std::string keys = "";  // what the run wrote to the registry
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
        {"name of a folder", kept, unusable("keep\\new\\"), keptAndFine, 1},
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
        // Registry records write under either root by type; the walk ends at operation 0 or at
        // a record cut short, which is not applied, and neither end stops the run.
        {"registry records of every kind", Tree{}, Entries{Section(":RegistryTable", records)},
         Tree{}, 0,
         "[HKEY_CURRENT_USER\\Software]\n\n"
         "[HKEY_CURRENT_USER\\Software\\Example]\n\"Level\"=dword:0000001f\n@=\"\"\n"
         "\"Last\"=\"after\"\n\n"
         "[HKEY_LOCAL_MACHINE\\Software\\Example]\n\"Level\"=dword:ffffffd6\n\"Text\"=\"abc\"\n\n"
         "[HKEY_CURRENT_USER\\Software\\KeyOnly]\n\n[HKEY_CURRENT_USER\\Software\\Other]\n\n"},
        {"registry table of only its end", Tree{}, Entries{Section(":RegistryTable", {0, 0, 0, 0})},
         Tree{}, 0},
        {"empty registry table", Tree{}, Entries{Section(":RegistryTable", {})}, Tree{}, 0},
        {"registry record cut inside its operation", Tree{},
         Entries{Section(":RegistryTable", withCut(2))}, Tree{}, 0, applied},
        {"registry record cut before its last NUL", Tree{},
         Entries{Section(":RegistryTable", withCut(cut.size() - 5))}, Tree{}, 0, applied},
        {"registry table without its end", Tree{},
         Entries{Section(":RegistryTable", withCut(cut.size() - 4))}, Tree{}, 0,
         applied + "[HKEY_CURRENT_USER\\Cut]\n\"N\"=\"data\"\n\n"},
        // A delta entry rebuilds its file only from the file it replaces (or one that already is
        // the new file): any other old file, a damaged delta or an entry that disagrees with its
        // delta fails that file alone, and the next file is installed.
        {"the old file", Tree{{"data.bin", before}}, Entries{delta, other}, installed, 0},
        {"the old file, its name in another case", Tree{{"DATA.bin", before}},
         Entries{delta, other}, installed, 0},
        {"an empty old file", Tree{{"data.bin", ""}},
         Entries{DeltaPayload("data.bin", "", after), other}, installed, 0},
        {"an empty new file", Tree{{"data.bin", before}},
         Entries{DeltaPayload("data.bin", before, ""), other},
         Tree{{"data.bin", ""}, {"other.txt", "other"}}, 0},
        {"a rerun: the file is new already", Tree{{"data.bin", after}}, Entries{delta, other},
         installed, 0},
        {"a rerun: interrupted with only the backup", Tree{{"data.bin.bak", before}},
         Entries{delta, other}, installed, 0},
        {"a rerun: interrupted with the backup and half a new file",
         Tree{{"data.bin", after.substr(0, 100)}, {"data.bin.bak", before}}, Entries{delta, other},
         installed, 0},
        {"the old file modified", Tree{{"data.bin", modified}}, Entries{delta, other},
         Tree{{"data.bin", modified}, {"other.txt", "other"}}, 1},
        {"the old file shorter", Tree{{"data.bin", before.substr(1)}}, Entries{delta, other},
         Tree{{"data.bin", before.substr(1)}, {"other.txt", "other"}}, 1},
        {"the old file missing", Tree{}, Entries{delta, other}, Tree{{"other.txt", "other"}}, 1},
        {"a leftover backup that is not the old file",
         Tree{{"data.bin", before}, {"data.bin.bak", modified}}, Entries{delta, other},
         Tree{{"data.bin", modified}, {"other.txt", "other"}}, 1},
        {"a damaged delta header", Tree{{"data.bin", before}}, Entries{damagedAt(20), other},
         untouched, 1},
        {"a damaged delta block", Tree{{"data.bin", before}},
         Entries{damagedAt(delta.content.size() / 2), other}, untouched, 1},
        {"the delta's last byte damaged", Tree{{"data.bin", before}},
         Entries{damagedAt(delta.content.size() - 1), other}, untouched, 1},
        {"the delta cut short", Tree{{"data.bin", before}},
         Entries{with([](Entry& e) { e.storedSize = static_cast<uint32_t>(e.content.size() - 1); }),
                 other},
         untouched, 1},
        {"the delta followed by a byte", Tree{{"data.bin", before}},
         Entries{with([](Entry& e) {
                     e.storedSize = static_cast<uint32_t>(e.content.size() + 1);
                     e.storedData = e.content;
                     e.storedData->push_back(0);
                 }),
                 other},
         untouched, 1},
        {"the entry's size not the delta's", Tree{{"data.bin", before}},
         Entries{with([&](Entry& e) { e.size = static_cast<uint32_t>(after.size() - 1); }), other},
         untouched, 1},
        {"marked compressed too", Tree{{"data.bin", before}},
         Entries{with([](Entry& e) { e.entryFlags = kEntryDelta | kEntryCompressed; }), other},
         untouched, 1},
        {"data past the package's end", Tree{{"data.bin", before}},
         Entries{with([](Entry& e) { e.dataOffset = 0x7FFFFFF0; }), other}, untouched, 1},
        // The delta flag means nothing in a package of the first magic: the entry is stored.
        {"the flag without the magic", Tree{{"data.bin", before}},
         Entries{Entry{.name = "data.bin",
                       .content = pkgbuild::ToBytes("plain"),
                       .compressed = false,
                       .entryFlags = kEntryDelta},
                 other},
         Tree{{"data.bin", "plain"}, {"other.txt", "other"}}, 0},
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
        install.Register();
        install.Put(c.before);
        const RunResult run = install.Run(PackageAtLevel(1, c.entries));
        EXPECT_EQ(install.Files(), c.after);
        EXPECT_EQ(Count(run.transcript, kUpdateError), c.failures);
        EXPECT_EQ(Count(run.transcript, kCompleted), c.failures == 0 ? 1u : 0u);
        EXPECT_EQ(install.InstalledLevel(), c.failures == 0 ? 1 : 0);
        EXPECT_TRUE(run.waitForUser);
        EXPECT_EQ(install.OtherKeys(), c.keys);
        // Each write replaced the store whole, in a folder made for it: no temporary file stays.
        EXPECT_EQ(test::Snapshot(install.RegistryFolder(), "registry.reg"),
                  Tree({{"registry.reg.lock", ""}}));
    }
    setrlimit(RLIMIT_FSIZE, &previous);
    signal(SIGXFSZ, handler);
}

TEST(Files, PayloadLandsUnderItsTranslatedName) {
    Installation install;
    install.Register();
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
                                  Installed("\\readme.txt") + Installed("ящик") + Installed("odd") +
                                  Installed("twice.txt") + Installed("twice.txt") +
                                  Installed("empty.txt") + kCompleted);
    EXPECT_EQ(install.Files(), (Tree{{"bin", "/"},
                                     {"bin/long_name_of_a_library.dll", "library"},
                                     {"bin/tools", "/"},
                                     {"bin/tools/fix.dll", "new"},
                                     {"empty.txt", ""},
                                     {"odd", "unpaired name"},
                                     {"readme.txt", "readme"},
                                     {"twice.txt", "second"},
                                     {"ящик", "Cyrillic case differs"}}));
}

// In a folder of thousands of files, a file whose name differs from the package's only in case
// is replaced under the package's spelling, never duplicated, whoever gave it its spelling: the
// installation, another process between two runs, or the package's external program.
TEST(Files, NamesDifferingInCaseAreReplacedInALargeFolder) {
    Installation install;
    install.Register();
    Tree files = {{"Data", "/"}};
    for (int i = 1000; i < 4000; ++i) {
        files["Data/File" + std::to_string(i) + ".DAT"] = "old";
    }
    install.Put(files);
    install.Run(PackageAtLevel(1, {Payload("data\\file1100.dat", "first")}));
    std::filesystem::rename(install.Path("Data/file1100.dat"), install.Path("Data/fILE1100.dat"));
    install.Put({{"Data/Extra.TXT", "another process"}});
    std::this_thread::sleep_for(platform::posix::kTrustedFor);  // seen from now on
    const std::string external = "-c \"mv Data/File1200.DAT Data/file1200.dat; : > Data/Made.TXT\"";
    install.Run(PackageAtLevel(
        2, {Payload("DATA\\FILE1100.DAT", "second"), Payload("data\\extra.txt", "second"),
            Section(":CommandsToExecute", pkgbuild::CommandsSection({{0x01, "/bin/sh", external}})),
            List(":FilesToRemove", {"data\\FILE1200.DAT", "data\\made.txt"})}));
    files.erase("Data/File1100.DAT");
    files.erase("Data/File1200.DAT");
    files.insert({{"Data/FILE1100.DAT", "second"}, {"Data/extra.txt", "second"}});
    EXPECT_EQ(install.Files(), files);
}

// The flags shape the program's path and command line; a program that cannot start, or that
// leaves the error marker (or finds one left over), ends the list with the error box and leaves
// the run unstamped, while removal and the registry table still run.
TEST(Commands, FlagsShapeTheCommandAndAFailureEndsTheList) {
    using Commands = std::vector<pkgbuild::Command>;
    using Words = std::vector<std::string>;
    Installation install;
    // The helper records its folder and arguments in the file $QLM_HELPER_RECORD names.
    const std::string record = install.Path("../record.txt");
    setenv("QLM_HELPER_RECORD", record.c_str(), 1);
    const auto expected = [&install](const Words& argv) {
        std::string text = "cwd=" + install.Folder() + "\nargc=" + std::to_string(argv.size());
        for (size_t index = 0; index < argv.size(); ++index) {
            text += "\nargv[" + std::to_string(index) + "]=" + argv[index];
        }
        return text + "\n";
    };
    // A program started without waiting records when it gets to it: up to 10 s.
    const auto recorded = [&record](const std::string& expected) {
        std::optional<std::string> text;
        for (int attempt = 0; attempt < 500 && (text = test::Read(record)) != expected; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return text;
    };
    const std::string helper = QLM_HELPER;
    const std::string relative = "..\\" + std::filesystem::path(helper).filename().string();
    const pkgbuild::Command second = {0x01, helper, "second"};
    struct Case {
        const char* what;
        bool leftoverMarker;
        Commands commands;
        Words recorded;  // the arguments the first program was started with
        std::string transcript;
    };
    const Case cases[] = {
        {"wait, relative, program in the line", false,
         Commands{{0x07, relative, test::W("x \"а б\"")}},
         Words{install.FolderText() + relative, "DUMMY", "x", "а б"}, kCompleted},
        {"relative", false, Commands{{0x02, relative, "x"}}, Words{"DUMMY", "x"}, kCompleted},
        {"program in the line", false, Commands{{0x04, helper, "x"}}, Words{helper, "DUMMY", "x"},
         kCompleted},
        {"bits 3-7, no arguments", false, Commands{{0xF8, helper, ""}}, Words{"DUMMY"}, kCompleted},
        {"marker left over from before", true, Commands{{0x01, helper, "first"}, second},
         Words{"DUMMY", "first"}, kCommandError},
        {"marker made by the first program", false, Commands{{0x01, helper, "first fail"}, second},
         Words{"DUMMY", "first", "fail"}, kCommandError},
        {"second program cannot start", false,
         Commands{{0x01, helper, "first"}, {0x03, "no_such_program", ""}, second},
         Words{"DUMMY", "first"}, kCommandError},
    };
    std::filesystem::copy_file(
        helper, install.Path("../" + std::filesystem::path(helper).filename().string()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(record);
        install.Register();
        install.Put({{"gone.txt", "obsolete"}});
        if (c.leftoverMarker) {
            install.Put({{"qlm_patch_apply_err.txt", ""}});
        }
        const RunResult run = install.Run(PackageAtLevel(
            1, {Section(":CommandsToExecute", pkgbuild::CommandsSection(c.commands)),
                List(":FilesToRemove", {"gone.txt"}),
                Section(":RegistryTable", pkgbuild::RegistryTableSection(
                                              {{1, 0, "Software\\After", 2, "Ran", "y"}}))}));
        EXPECT_EQ(recorded(expected(c.recorded)), expected(c.recorded));
        EXPECT_EQ(run.transcript, c.transcript);
        EXPECT_EQ(install.Files(), Tree{});
        EXPECT_EQ(install.OtherKeys(), "[HKEY_LOCAL_MACHINE\\Software\\After]\n\"Ran\"=\"y\"\n\n");
        EXPECT_EQ(install.InstalledLevel(), c.transcript == kCompleted ? 1 : 0);
    }
    unsetenv("QLM_HELPER_RECORD");
}

}  // namespace
