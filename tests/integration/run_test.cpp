// Discovery, the opening message, the version gate and control sections that cannot be used:
// where each run stops and what it says. A stop leaves the installation as it was, and a run
// that met a section it could not use is never stamped.
#include <filesystem>
#include <functional>

#include "fixture.h"

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
// A registry with the installation folder only, or no key at all, or no level.
Change Registry(int values) {
    return [=](const Installation& i, Package&) {
        std::filesystem::remove(i.RegistryFile());
        if (values > 0) {
            i.Set("ProgramPath", kRegSz, i.Folder());
        }
        if (values > 1) {
            i.Set("ProgramName", kRegSz, kProgramName);
        }
    };
}

// Every run starts registered at level 0 in the current folder, with a package of level 1 that
// installs new.txt; each row changes that, answers the questions, and gives the transcript
// and whether the run waits for the user, installs new.txt and is stamped.
TEST(Run, WhereEachRunStopsAndWhatItSays) {
    const std::string installed = Installed("new.txt");
    const std::string done = installed + kCompleted;
    const std::string notFound = kNotFound;
    const std::string opening = U8(u8"[Патч 1] Строка\nдве\n(OK/Cancel) > \n");
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
        {"missing key", Registry(0), "",
         U8(u8"Ошибка при получении ключа software\\QUELLMAR\\game из Windows registry\n") +
             U8(u8"Ошибка при получении ключа software\\QUELLMAR\\game из Windows registry\n") +
             notFound,
         true, false, 0},
        {"missing program value", Registry(1), "",
         U8(u8"Ошибка при чтении из Windows registry (PROGRAMNAME)\n") + notFound, true, false, 0},
        {"program value of 512 bytes without a NUL",
         Value("ProgramName", kRegSz, std::string(512, 'a')), "",
         U8(u8"Ошибка при чтении из Windows registry (PROGRAMNAME)\n") + notFound, true, false, 0},
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
        {"no level, package level 0, end of input", Both(Registry(2), Keys(RegistryKeys(0))), "",
         kLevelQuestion, false, false, 0},
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
        install.Register(0);
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

}  // namespace
