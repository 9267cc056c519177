// The built programs run as processes. qlmpatch: the usage text for whatever cannot be run,
// the binder, and a self-contained patch that applies itself. pkgtool: two trees become a patch
// that qlmpatch applies to give the newer tree exactly; a package taken apart builds back the same;
// show decodes every section; and each command refuses, with its reason, what it cannot do exactly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "package/file_hash.h"
#include "package/reader.h"
#include "package_builder.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;
using pkgbuild::Bytes;
using pkgbuild::Entry;
using pkgbuild::ToBytes;
using test::Tree;
using test::W;

// The names and contents of a package's entries, in directory order, through the reader.
std::vector<std::pair<std::string, Bytes>> Contents(const std::string& path, bool embedded) {
    std::vector<std::pair<std::string, Bytes>> entries;
    Package package;
    EXPECT_GE(OpenPackage(package, path.c_str(), embedded), 0) << path;
    for (uint32_t i = 0; package.directory != nullptr && i < package.header.entryCount; ++i) {
        const DirectoryEntry& entry = package.directory[i];
        Bytes content(entry.size);
        EXPECT_TRUE(LoadEntry(package, entry, content.data())) << path << " entry " << i;
        entries.emplace_back(std::string(entry.name, EntryNameLength(entry)), content);
    }
    ClosePackage(package);
    return entries;
}

// Names and strings are given as UTF-8 and stored as Windows-1251, as a package holds them.
Entry Item(const std::string& name, const Bytes& content, bool compressed = true) {
    return {.name = W(name), .content = content, .compressed = compressed};
}
Bytes StringList(const std::vector<std::string>& strings) {
    std::vector<std::string> stored;
    for (const std::string& text : strings) {
        stored.push_back(W(text));
    }
    return pkgbuild::StringList(stored);
}

// Every control section, with texts that only escapes carry through a manifest.
std::vector<Entry> Sample() {
    return {
        Item(":RegistryKeys",
             pkgbuild::RegistryKeysSection(W("SOFTWARE\\Игра"), "P", "N", "L", -5)),
        // Blanks at the ends, a tab, control bytes, '|', '\', '=' with blanks and 0x98.
        Item(":StartupMsg",
             StringList({" Обновление ", "a\tb\x01|c\\d = e\u0098\r\nf  =  g\x7F "})),
        Item(":XlatNamesTable", StringList({"TMP0000000000000001", "длинный\\путь\\к файлу.dat",
                                            "tmp2", "second\\long.txt"})),
        Item(":Folders", StringList({"saves", "saves\\auto"})),
        Item(":CommandsToExecute", pkgbuild::CommandsSection({{0xF7, "tools\\fix.exe", ""}})),
        Item(":FilesToRemove", StringList({"old.dll"})),
        Item(":RegistryTable",
             pkgbuild::RegistryTableSection({{5, 7, "Software\\X", 9, "", "data"}})),
        Item("TMP0000000000000001", ToBytes("long")),
        Item("Данные\\карта.dat", Bytes(70000, 'k'), false),
        Item(" lead = name|x", ToBytes("odd name")),
        Item("=", ToBytes("equals")),
        Item("#hash", ToBytes("no comment")),
        Item("\\rooted.txt", {}),
        Item("tmp2", ToBytes("second")),
    };
}

const std::string kBase =
    "registry-keys SOFTWARE\\\\Quellmar\\\\Diff | ProgramPath | ProgramName | PatchLevel | 2\n";

class Pkgtool : public ::testing::Test {
  protected:
    std::string Path(const std::string& name) const { return folder_.Path(name); }
    // Exit status of pkgtool run in the test folder; what it printed goes to output_.
    int Run(const std::string& arguments) {
        const test::Shell run = test::RunShell("cd " + test::Quote(folder_.path()) +
                                               " && " QLM_PKGTOOL " " + arguments);
        output_ = run.output;
        return run.status;
    }
    // Copies the tree "old" to "Game", registers it as kBase says and applies the package to
    // it with qlmpatch, every question answered OK.
    test::Shell ApplyToCopyOfOld(const std::string& package) {
        fs::remove_all(Path("Game"));
        fs::copy(Path("old"), Path("Game"), fs::copy_options::recursive);
        test::Write(
            Path("registry.reg"),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quellmar\\Diff]\n\"ProgramPath\"=\"" +
                Path("Game") + "\"\n\"ProgramName\"=\"game.exe\"\n");
        return test::RunShell("cd " + test::Quote(folder_.path()) +
                              " && yes '' | QLM_REGISTRY=registry.reg " QLM_QLMPATCH " " + package);
    }
    void Write(const std::string& name, const std::vector<Entry>& entries) {
        ASSERT_TRUE(pkgbuild::WriteFile(Path(name), pkgbuild::Build({.entries = entries})));
    }

    test::TempFolder folder_{"qlm_pkgtool"};
    std::string output_;
};

TEST_F(Pkgtool, ListAndBuildRefuseWhatTheyCannotReadOrBuild) {
    Bytes broken = pkgbuild::Build({.entries = {Item("a", ToBytes("data"))}});
    Write("good.pkg", {Item("bin\\a.dll", ToBytes("data"))});
    broken[32 + 4] ^= 0xFF;  // inside the entry's zlib stream
    ASSERT_TRUE(pkgbuild::WriteFile(Path("broken.pkg"), broken));
    broken[0] = 'q';
    ASSERT_TRUE(pkgbuild::WriteFile(Path("magic.pkg"), broken));
    test::Write(Path("bad.manifest"), "folder ok\nfolders typo\n");
    const std::pair<const char*, int> cases[] = {{"list broken.pkg", 1},
                                                 {"list magic.pkg", 1},
                                                 {"list", 2},
                                                 {"build bad.manifest out.pkg", 1},
                                                 {"--version", 0},
                                                 {"--version list", 2}};
    for (const auto& [arguments, status] : cases) {
        EXPECT_EQ(Run(arguments), status) << arguments << "\n" << output_;
    }
    EXPECT_FALSE(fs::exists(Path("out.pkg")));
    EXPECT_EQ(Run("list good.pkg"), 0);
    EXPECT_NE(output_.find("bin\\a.dll"), std::string::npos) << output_;
}

TEST_F(Pkgtool, DiffMakesThePatchThatTurnsOldIntoNew) {
    const Tree both = {{"game.exe", "unchanged, and not carried"}, {"lib.dll.bak", "not ours"}};
    Tree before = both;
    Tree after = both;
    before.insert(
        {{"changed.txt", "version 1"},
         {"samesize.dat", "AAAA"},
         {"Readme.TXT", "renamed in case only"},
         {std::string("Документы/Отчёт.txt"), "ё"},  // Ё and ё are a case pair of their own
         {"lib.dll", "version 1"},
         {"gone.txt", "deleted"},
         {"old_tree/sub/b.txt", "b"},
         {"old_tree/sub/empty", "/"}});
    after.insert({{"changed.txt", "version 2"},
                  {"samesize.dat", "BBBB"},
                  {"readme.txt", "renamed in case only"},
                  {std::string("Документы/ОТЧЁТ.txt"), "ё"},
                  {"lib.dll", "version 2"},
                  {"new_folder/deeper/new.txt", "new in a new folder"},
                  {"empty_new/inner", "/"},
                  {"a_folder_with_a_rather_long_name/and_a_long_file_name.txt", "placeholder"},
                  {std::string("Новая папка/файл с длинным русским именем.txt"), "кириллица"}});
    test::Put(Path("old"), before);
    test::Put(Path("new"), after);
    fs::last_write_time(Path("new/samesize.dat"), fs::last_write_time(Path("old/samesize.dat")));
    test::Write(Path("base.manifest"), kBase);
    ASSERT_EQ(Run("diff old new base.manifest patch.manifest"), 0) << output_;
    const std::string manifest = test::Read(Path("patch.manifest")).value_or("");
    EXPECT_EQ(manifest.find("game.exe"), std::string::npos) << manifest;
    // Sources count from the manifest's folder, here the current one.
    EXPECT_NE(manifest.find("= new/changed.txt\n"), std::string::npos) << manifest;
    ASSERT_EQ(Run("build patch.manifest patch.pkg"), 0) << output_;

    const test::Shell apply = ApplyToCopyOfOld("patch.pkg");
    EXPECT_EQ(apply.status, 0) << apply.output;
    EXPECT_EQ(test::Snapshot(Path("Game")), test::Snapshot(Path("new"))) << manifest;
}

// With --delta, a large changed file goes as a delta and a small one whole; the package
// applies, describes its deltas, and comes back byte for byte through extract; build refuses
// a ready delta that does not rebuild its file from the old file named.
TEST_F(Pkgtool, DeltaPatchBuildsAppliesAndComesBackTheSame) {
    // Bytes that zlib cannot make much smaller.
    Bytes data(300000);
    uint32_t state = 1;
    for (uint8_t& byte : data) {
        state = state * 1103515245 + 12345;
        byte = static_cast<uint8_t>(state >> 23);
    }
    Bytes changed = data;
    changed[10] ^= 1;
    changed[150000] ^= 1;
    changed.insert(changed.end(), {'e', 'n', 'd'});
    const std::string text(data.begin(), data.end());
    Tree before = {{"game.exe", "same"},
                   {"big.dat", text},
                   {"small.txt", "version 1"},
                   {"lib.dll", text},
                   {"lib.dll.bak", "a file of OLD"},
                   {"sub/big2.dat", text}};
    Tree after = before;
    after["big.dat"] = after["sub/big2.dat"] = after["lib.dll"] =
        std::string(changed.begin(), changed.end());
    after["small.txt"] = "version 2";
    test::Put(Path("old"), before);
    test::Put(Path("new"), after);
    test::Write(Path("base.manifest"), kBase);
    ASSERT_EQ(Run("diff old new base.manifest whole.manifest"), 0) << output_;
    ASSERT_EQ(Run("build whole.manifest whole.pkg"), 0) << output_;
    ASSERT_EQ(Run("diff --delta old new base.manifest patch.manifest"), 0) << output_;
    const std::string said = output_;
    const std::string manifest = test::Read(Path("patch.manifest")).value_or("");
    const std::string lines[] = {"delta big.dat = new/big.dat | old/big.dat\n",
                                 "delta sub\\\\big2.dat = new/sub/big2.dat | old/sub/big2.dat\n",
                                 "file small.txt = new/small.txt\n",
                                 "file lib.dll = new/lib.dll\n"};
    for (const std::string& line : lines) {
        EXPECT_NE(manifest.find(line), std::string::npos) << line << manifest;
    }
    for (const char* choice : {"big.dat: delta: delta by suffix array", "small.txt: whole file",
                               "lib.dll: whole file: OLD holds a file named like its backup"}) {
        EXPECT_NE(said.find(choice), std::string::npos) << choice << "\n" << said;
    }
    ASSERT_EQ(Run("build patch.manifest patch.pkg"), 0) << output_;
    // Two of the three large files go as deltas of a few bytes.
    EXPECT_LT(fs::file_size(Path("patch.pkg")) * 2, fs::file_size(Path("whole.pkg")));
    ASSERT_EQ(Run("show patch.pkg"), 0) << output_;
    for (const char* shown :
         {"Quellmar deltas", "from a file of 300000 bytes", "to a file of 300003 bytes"}) {
        EXPECT_NE(output_.find(shown), std::string::npos) << shown << "\n" << output_;
    }
    const test::Shell apply = ApplyToCopyOfOld("patch.pkg");
    EXPECT_EQ(apply.status, 0) << apply.output;
    EXPECT_EQ(test::Snapshot(Path("Game")), test::Snapshot(Path("new")));

    // Taken apart and built again, with and without the old files named.
    ASSERT_EQ(Run("extract patch.pkg out"), 0) << output_;
    ASSERT_EQ(Run("build out/manifest.txt re.pkg"), 0) << output_;
    EXPECT_EQ(test::Read(Path("re.pkg")), test::Read(Path("patch.pkg")));
    const std::string extracted = test::Read(Path("out/manifest.txt")).value_or("");
    EXPECT_NE(extracted.find("delta-data big.dat = big.dat.delta\n"), std::string::npos)
        << extracted;
    struct Case {
        const char* what;
        std::string line;  // added to the extracted manifest
        std::string message;
    };
    Bytes damaged;
    ASSERT_TRUE(pkgbuild::ReadFile(Path("out/big.dat.delta"), &damaged));
    damaged[damaged.size() - 8] ^= 0x10;  // inside its last block
    ASSERT_TRUE(pkgbuild::WriteFile(Path("out/damaged.delta"), damaged));
    const Case cases[] = {
        {"the old file named", "delta-data x.dat = big.dat.delta | ../old/big.dat", ""},
        {"another old file", "delta-data x.dat = big.dat.delta | ../old/small.txt",
         "is not the file the delta rebuilds from"},
        {"a damaged delta", "delta-data x.dat = damaged.delta", "the delta is damaged"},
        {"a damaged delta, its old file named", "delta-data x.dat = damaged.delta | ../old/big.dat",
         "the delta is damaged in its block"},
        {"not a delta", "delta-data x.dat = ../old/small.txt", "it is not a delta"},
        {"the old file missing", "delta x.dat = ../new/big.dat | ../old/none.dat", "cannot read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(Path("x.pkg"));
        test::Write(Path("out/x.manifest"), extracted + c.line + "\n");
        EXPECT_EQ(Run("build out/x.manifest x.pkg"), c.message.empty() ? 0 : 1) << output_;
        EXPECT_NE(output_.find(c.message), std::string::npos) << output_;
        EXPECT_EQ(fs::exists(Path("x.pkg")), c.message.empty());
    }
}

// A package without delta entries is, byte for byte, what pkgtool wrote before deltas existed:
// the sizes and hashes below are of the packages that release built from the same manifests.
TEST_F(Pkgtool, PackagesWithoutDeltasAreWrittenAsBefore) {
    test::Put(Path("files"), {{"a.txt", "some text, some text, some text"},
                              {"b.bin", std::string(5000, 'b')},
                              {"c.dat", ""}});
    const std::string manifest =
        kBase +
        "startup-msg Caption | Text\nfolder saves\nfile a.txt = files/a.txt\n"
        "stored-file b.bin = files/b.bin\nfile sub\\\\c.dat = files/c.dat\nremove old.dll\n"
        "command 1 | tools\\\\fix.exe | /q\nregistry 1 | 1 | Software\\\\X | 2 | Name | data\n";
    const std::tuple<const char*, std::string, uint64_t, uint64_t> cases[] = {
        {"directory compressed", manifest, 5431, 17716589891773226569u},
        {"directory stored", manifest + "directory stored\n", 5677, 4064693268765801662u},
    };
    for (const auto& [what, text, size, hash] : cases) {
        SCOPED_TRACE(what);
        test::Write(Path("p.manifest"), text);
        ASSERT_EQ(Run("build p.manifest p.pkg"), 0) << output_;
        Bytes built;
        ASSERT_TRUE(pkgbuild::ReadFile(Path("p.pkg"), &built));
        EXPECT_EQ(built.size(), size);
        EXPECT_EQ(HashBytes(built.data(), built.size()), hash);
    }
}

TEST_F(Pkgtool, DiffRefusesWhatAPatchCannotReproduce) {
    struct Case {
        const char* what;
        Tree before;
        Tree after;
        std::string setup;  // a shell command run in the test folder
        std::string message;
        const char* output = "patch.manifest";
    };
    const Case cases[] = {
        {"no Windows-1251 form", Tree{}, Tree{{std::string("日本.txt"), ""}}, "",
         "cannot be written in Windows-1251: character U+65E5"},
        {"file becomes folder", Tree{{"x", "file"}}, Tree{{"X/inner.txt", "folder"}}, "",
         "'X' is a file in OLD and a folder in NEW"},
        {"folder renamed in case", Tree{{"Data/a.txt", "a"}}, Tree{{"data/a.txt", "a"}}, "",
         "folder 'Data' is named 'data' in NEW"},
        {"symbolic link", Tree{}, Tree{}, "ln -s target new/link.txt",
         "NEW: 'link.txt' is a symbolic link"},
        {"special file", Tree{}, Tree{}, "mkfifo old/pipe",
         "OLD: 'pipe' is neither a file nor a folder"},
        {"character Windows forbids", Tree{}, Tree{{"c:evil", ""}}, "",
         "holds ':', which Windows forbids"},
        {"trailing dot", Tree{}, Tree{{"dir./a.txt", ""}}, "", "ends with a blank or a dot"},
        {"device name", Tree{}, Tree{{"sub/Con.txt", ""}}, "", "'sub/Con.txt' is a device name"},
        {"names one in Windows",
         Tree{{std::string("Ёлка.txt"), "1"}, {std::string("ёлка.txt"), "2"}}, Tree{}, "",
         "which Windows takes for one name"},
        {"path too long", Tree{},
         Tree{{std::string(200, 'a') + "/" + std::string(200, 'b') + "/" + std::string(104, 'c'),
               ""}},
         "", "is 506 bytes long; beside even the shortest installation folder"},
        {"name of a placeholder", Tree{},
         Tree{{"TMP0000000000000001", ""}, {std::string(40, 'l'), ""}}, "",
         "entry name 'TMP0000000000000001' is used twice"},
        {"error marker with commands", Tree{}, Tree{{"QLM_PATCH_APPLY_ERR.TXT", ""}},
         "echo 'command 0 | fix.exe' >> base.manifest", "NEW holds qlm_patch_apply_err.txt"},
        {"mistake in BASE", Tree{}, Tree{}, "echo bogus >> base.manifest",
         "line 2: unknown directive 'bogus' (lines 1 to 2 are BASE's)"},
        {"no OLD", Tree{}, Tree{}, "rmdir old", "OLD '"},
        {"OUTPUT is BASE", Tree{}, Tree{}, "true", "is BASE; writing it would lose BASE",
         "base.manifest"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* name : {"old", "new", "patch.manifest"}) {
            fs::remove_all(Path(name));
        }
        test::Put(Path("old"), c.before);
        test::Put(Path("new"), c.after);
        fs::create_directories(Path("old"));
        fs::create_directories(Path("new"));
        test::Write(Path("base.manifest"), kBase);
        ASSERT_EQ(test::RunShell("cd " + test::Quote(folder_.path()) + "; " + c.setup).status, 0);
        EXPECT_EQ(Run("diff old new base.manifest " + std::string(c.output)), 1);
        EXPECT_NE(output_.find(c.message), std::string::npos) << output_;
        EXPECT_FALSE(fs::exists(Path("patch.manifest")));
        EXPECT_EQ(test::Read(Path("base.manifest")).value_or("").substr(0, kBase.size()), kBase);
    }
}

// A package taken apart builds back entry for entry; its files land under their real paths.
TEST_F(Pkgtool, ExtractedPackageBuildsBackTheSameEntries) {
    using Entries = std::vector<Entry>;
    const std::tuple<const char*, Entries, bool> cases[] = {
        {"a section after the payload, a name in another case",
         Entries{Item("payload.txt", ToBytes("first")), Item(":Folders", StringList({"after"})),
                 Item(":registrykeys", pkgbuild::RegistryKeysSection("K", "F", "P", "L", 1))},
         false},
        {"sections the directives cannot give",
         Entries{Item(":RegistryKeys", ToBytes(std::string("K\0F\0P\0L\0\1\0\0\0", 12))),
                 Item(":StartupMsg", StringList({"caption", "text", "third"})),
                 Item(":XlatNamesTable", StringList({"odd"})), Item(":Folders", ToBytes("unended")),
                 Item(":FilesToRemove", {}), Item(":Custom", ToBytes(std::string("\0\xFF", 2))),
                 Item(":CommandsToExecute", ToBytes(std::string("\x01p\0a\0\0\0trailing", 14)))},
         false},
        {"sections out of their order",
         Entries{Item(":FilesToRemove", StringList({"x"})), Item(":Folders", StringList({"y"})),
                 Item("z", ToBytes("z"))},
         false},
        {"every section in its place, in a self-contained patch", Sample(), true},
    };
    for (const auto& [what, entries, bound] : cases) {
        SCOPED_TRACE(what);
        fs::remove_all(Path("out"));
        const Bytes package = pkgbuild::Build({.entries = entries});
        ASSERT_TRUE(pkgbuild::WriteFile(
            Path("in.pkg"), bound ? pkgbuild::Bind(ToBytes("MZ image"), package) : package));
        ASSERT_EQ(Run("extract in.pkg out"), 0) << output_;
        ASSERT_EQ(Run("build out/manifest.txt re.pkg"), 0) << output_;
        EXPECT_EQ(Contents(Path("re.pkg"), false), Contents(Path("in.pkg"), bound));
    }
    EXPECT_EQ(test::Snapshot(Path("out"), "manifest.txt"),
              (Tree{{std::string("длинный"), "/"},
                    {std::string("длинный/путь"), "/"},
                    {std::string("длинный/путь/к файлу.dat"), "long"},
                    {std::string("Данные"), "/"},
                    {std::string("Данные/карта.dat"), std::string(70000, 'k')},
                    {" lead = name|x", "odd name"},
                    {"=", "equals"},
                    {"#hash", "no comment"},
                    {"rooted.txt", ""},
                    {"second", "/"},
                    {"second/long.txt", "second"}}));
}

TEST_F(Pkgtool, ExtractRefusesWhatItCannotTakeApartExactly) {
    Bytes damaged = pkgbuild::Build(
        {.entries = {Item("a.txt", ToBytes("data")), Item("b.txt", ToBytes("more data"))}});
    damaged[32 + pkgbuild::Compress(ToBytes("data")).size() + 4] ^= 0xFF;  // b.txt's stream
    const auto withTable = [](const std::string& realPath) {
        return std::vector<Entry>{Item(":XlatNamesTable", StringList({"t", realPath})),
                                  Item("t", ToBytes("x"))};
    };
    struct Case {
        const char* what;
        std::vector<Entry> entries;  // unless `bytes` are given
        Bytes bytes;
        std::string message;
    };
    const Case cases[] = {
        {"damaged entry", {}, damaged, "entry 1 'b.txt' cannot be loaded completely"},
        {"not a package", {}, ToBytes("just text"), "cannot be opened as a package"},
        {"outside the folder", withTable("..\\evil.txt"), {}, "has a '..' component"},
        {"drive letter", withTable("C:\\evil.txt"), {}, "holds ':', a drive or stream name"},
        {"names no file", withTable("\\\\"), {}, "names no file"},
        {"same name twice", {Item("a.txt", {}), Item("A.TXT", {})}, {}, "have the same name"},
        {"one file twice", {Item("Ф.txt", {}), Item("ф.TXT", {})}, {}, "the same file"},
        {"file and folder", {Item("a", {}), Item("A\\b", {})}, {}, "a file and a file inside it"},
        {"32-byte name", {Item(std::string(32, 'n'), {})}, {}, "fills all 32 bytes"},
        {"line break in a name", {Item("a\nb", {})}, {}, "one with a line break"},
        {"the manifest's name", {Item("Manifest.TXT", {})}, {}, "would overwrite manifest.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(pkgbuild::WriteFile(
            Path("in.pkg"), c.bytes.empty() ? pkgbuild::Build({.entries = c.entries}) : c.bytes));
        EXPECT_EQ(Run("extract in.pkg out"), 1);
        EXPECT_NE(output_.find(c.message), std::string::npos) << output_;
        EXPECT_FALSE(fs::exists(Path("out")));
    }
    Write("in.pkg", {Item("a.txt", ToBytes("data"))});
    test::Write(Path("busy/keep.txt"), "mine");
    EXPECT_EQ(Run("extract in.pkg busy"), 1);
    EXPECT_NE(output_.find("is not an empty folder"), std::string::npos) << output_;
    EXPECT_EQ(test::Snapshot(Path("busy")), (Tree{{"keep.txt", "mine"}}));
}

TEST_F(Pkgtool, ShowDecodesEverySection) {
    Write("in.pkg", Sample());
    ASSERT_EQ(Run("show in.pkg"), 0) << output_;
    const std::string expected[] = {
        std::string("installation       HKEY_LOCAL_MACHINE\\SOFTWARE\\Игра"),
        "patch level        -5",
        std::string("caption   Обновление \n"),
        "text     a\\x09b\\x01|c\\d = e\\x98\n           f  =  g\\x7F \n",
        std::string("TMP0000000000000001 -> длинный\\путь\\к файлу.dat"),
        "  saves\n  saves\\auto\n",
        "1. flags 0xF7: wait for exit, relative to the installation folder, program in command "
        "line, bits 3-7 (no effect)",
        "program       <installation folder>\\tools\\fix.exe",
        "command line  \"<installation folder>\\tools\\fix.exe\" DUMMY \n",
        "1. skip (operation 5)  HKEY_LOCAL_MACHINE\\Software\\X (root 7)\n     the key only (type "
        "9)",
        std::string("Данные\\карта.dat\n"),
        "second\\long.txt  (stored as tmp2)",
    };
    for (const std::string& text : expected) {
        EXPECT_NE(output_.find(text), std::string::npos) << text << "\n---\n" << output_;
    }
}

TEST_F(Pkgtool, ShowMarksDamagedSections) {
    const std::pair<Entry, std::string> cases[] = {
        {Item(":Folders", ToBytes(std::string("a\0b", 3))), "! damaged: ends inside a string"},
        {Item(":CommandsToExecute", pkgbuild::CommandsSection({{4, std::string(1020, 'p'), ""}})),
         "longer than the installer's 1023 bytes"},
    };
    for (const auto& [section, message] : cases) {
        SCOPED_TRACE(message);
        Write("in.pkg", {section, Item(":StartupMsg", StringList({"c", "t", "extra"}))});
        EXPECT_EQ(Run("show in.pkg"), 1);
        EXPECT_NE(output_.find(message), std::string::npos) << output_;
        EXPECT_NE(output_.find("7 bytes after its end are never read"), std::string::npos)
            << output_;
    }
}

// --- qlmpatch ----------------------------------------------------------------------------------

using test::Quote;

class QlmpatchProcess : public ::testing::Test {
  protected:
    // Runs qlmpatch (or `program`) in the test folder with the test's registry store.
    test::Shell Run(const std::string& arguments, const std::string& program = QLM_QLMPATCH) {
        return test::RunShell("cd " + Quote(folder_.path()) + " && QLM_REGISTRY=registry.reg " +
                              program + " " + arguments);
    }

    test::TempFolder folder_{"qlm_process"};
    const Bytes package_ = pkgbuild::Build(
        {.entries = {{.name = ":RegistryKeys",
                      .content = pkgbuild::RegistryKeysSection("SOFTWARE\\Test", "Folder",
                                                               "Program", "Level", 3)},
                     {.name = "new.txt", .content = pkgbuild::ToBytes("new content")}}});
};

TEST_F(QlmpatchProcess, WhatCannotBeRunShowsTheUsageText) {
    Bytes wrongMagic = package_;
    wrongMagic[15] = 0x1B;
    struct Case {
        const char* what;
        std::string arguments;
        Bytes package;
    };
    const Case cases[] = {
        {"missing file", "none.dat", {}},
        {"empty file", "pkg.dat", {}},
        {"not a package", "pkg.dat", wrongMagic},
        {"self-contained patch as a package file", "pkg.dat",
         pkgbuild::Bind(Bytes(64, 'M'), package_)},
        {"wrong keyword", "pkg.dat out.exe makeexe", package_},
        {"no package appended to the program", "", {}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(pkgbuild::WriteFile(folder_.Path("pkg.dat"), c.package));
        const test::Shell run = Run(c.arguments);
        EXPECT_EQ(run.status, 0) << c.what;
        EXPECT_EQ(run.output, "Usage: PATCH.EXE resource_nm [output_nm MAKEEXE]\n[OK]\n") << c.what;
        EXPECT_FALSE(std::filesystem::exists(folder_.Path("out.exe"))) << c.what;
    }
}

TEST_F(QlmpatchProcess, BindsASelfContainedPatchThatAppliesItself) {
    ASSERT_TRUE(pkgbuild::WriteFile(folder_.Path("pkg.dat"), package_));
    const test::Shell bind = Run("pkg.dat patch.run MAKEEXE");
    EXPECT_EQ(bind.status, 0);
    EXPECT_EQ(bind.output, "") << "a binder run ends at once, without a word";
    Bytes program;
    ASSERT_TRUE(pkgbuild::ReadFile(QLM_QLMPATCH, &program));
    const Bytes patch = pkgbuild::Bind(program, package_);
    ASSERT_EQ(test::Read(folder_.Path("patch.run")), std::string(patch.begin(), patch.end()));
    chmod(folder_.Path("patch.run").c_str(), 0755);

    test::Write(folder_.Path("Game/game.exe"), "game");
    test::Write(folder_.Path("registry.reg"),
                "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"Folder\"=\"" +
                    folder_.Path("Game") + "\"\n\"Program\"=\"game.exe\"\n");
    // Started through PATH, its first word names no file: it finds itself all the same.
    const test::Shell apply = Run("", "PATH=\"" + folder_.path() + ":$PATH\" patch.run");
    EXPECT_EQ(apply.status, 0);
    EXPECT_NE(apply.output.find(std::string("Обновление успешно установлено!\n")),
              std::string::npos)
        << apply.output;
    EXPECT_EQ(test::Read(folder_.Path("Game/new.txt")), "new content");
    EXPECT_NE(test::Read(folder_.Path("registry.reg")).value_or("").find("=dword:00000003"),
              std::string::npos);
}

}  // namespace
