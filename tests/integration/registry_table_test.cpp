// The registry table: records write under either root by type, and the walk ends at operation
// 0 or at a record cut short, which is not applied. Neither end stops the run.
#include "fixture.h"

namespace {

using namespace fixture;
using pkgbuild::Bytes;
using pkgbuild::RegistryTableSection;

TEST(RegistryTable, RecordsApplyUpToTheEndOfTheTable) {
    const Bytes all = RegistryTableSection({
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
    // A whole record without the table's end, and parts of a second record after it.
    Bytes applied = RegistryTableSection({{1, 1, "Applied", 2, "V", "v"}});
    applied.resize(applied.size() - 4);
    Bytes cut = RegistryTableSection({{1, 1, "Cut", 2, "N", "data"}});
    cut.resize(cut.size() - 4);
    const auto withCut = [&](size_t keep) {
        Bytes bytes = applied;
        bytes.insert(bytes.end(), cut.begin(), cut.begin() + static_cast<std::ptrdiff_t>(keep));
        return bytes;
    };
    const std::string appliedText = "[HKEY_CURRENT_USER\\Applied]\n\"V\"=\"v\"\n\n";
    struct Case {
        const char* what;
        Bytes section;
        std::string written;
    };
    const Case cases[] = {
        {"every kind of record", all,
         "[HKEY_CURRENT_USER\\Software]\n\n"
         "[HKEY_CURRENT_USER\\Software\\Example]\n\"Level\"=dword:0000001f\n@=\"\"\n"
         "\"Last\"=\"after\"\n\n"
         "[HKEY_LOCAL_MACHINE\\Software\\Example]\n\"Level\"=dword:ffffffd6\n\"Text\"=\"abc\"\n\n"
         "[HKEY_CURRENT_USER\\Software\\KeyOnly]\n\n[HKEY_CURRENT_USER\\Software\\Other]\n\n"},
        {"only the end", {0, 0, 0, 0}, ""},
        {"empty section", {}, ""},
        {"cut inside the operation", withCut(2), appliedText},
        {"cut before the last NUL", withCut(cut.size() - 1), appliedText},
        {"no end after a whole record", withCut(cut.size()),
         appliedText + "[HKEY_CURRENT_USER\\Cut]\n\"N\"=\"data\"\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation install;
        install.Register(0);
        const RunResult run =
            install.Run(PackageAtLevel(1, {Section(":RegistryTable", c.section)}));
        EXPECT_EQ(install.OtherKeys(), c.written);
        EXPECT_EQ(run.transcript, kCompleted);
        EXPECT_EQ(install.InstalledLevel(), 1);
    }
}

}  // namespace
