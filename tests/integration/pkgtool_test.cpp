// pkgtool run as a process: a manifest becomes a package the installer reads, and a package
// that cannot be read is described without being trusted; two trees become a patch that
// qlmpatch applies to give the newer tree exactly; a package taken apart builds back the same.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "package/reader.h"
#include "package_builder.h"
#include "temp_folder.h"

using pkgbuild::Bytes;

namespace {

namespace fs = std::filesystem;

std::string Utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// Writes a file (UTF-8 path relative to `root`), making the folders on its way.
void Put(const std::string& root, const std::string& relative, const std::string& content) {
    const fs::path path = fs::path(root) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// Every file and folder under `root` by its exact relative name: a folder as "/", a file as
// its bytes. Names listed in `ignore` are left out.
std::map<std::string, std::string> Snapshot(const std::string& root,
                                            const std::string& ignore = "") {
    std::map<std::string, std::string> items;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = entry.path().lexically_relative(root).generic_string();
        if (relative == ignore) {
            continue;
        }
        Bytes content;
        if (!entry.is_directory()) {
            EXPECT_TRUE(pkgbuild::ReadFile(entry.path().string(), &content)) << relative;
        }
        items[relative] = entry.is_directory() ? "/" : std::string(content.begin(), content.end());
    }
    return items;
}

// The names and contents of a package's entries, in directory order, through the reader.
std::vector<std::pair<std::string, Bytes>> Entries(const std::string& path, bool embedded) {
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

class PkgtoolTest : public ::testing::Test {
  public:
    std::string Path(const std::string& name) const { return folder_.Path(name); }

    // Exit status of pkgtool with these arguments; its output goes to output_.
    int Pkgtool(const std::string& arguments) {
        const std::string command = std::string("'") + QLM_PKGTOOL + "' " + arguments + " > '" +
                                    Path("output.txt") + "' 2>&1";
        const int status = std::system(command.c_str());
        std::ifstream in(Path("output.txt"));
        std::stringstream text;
        text << in.rdbuf();
        output_ = text.str();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Quoted(const std::string& name) const { return "'" + Path(name) + "'"; }

    TempFolder folder_{"qlm_pkgtool"};
    std::string output_;
};

TEST_F(PkgtoolTest, BuildsAPackageTheReaderOpens) {
    std::filesystem::create_directories(Path("files/bin"));
    std::ofstream(Path("files/bin/a.dll")) << "library";
    std::ofstream(Path("patch.manifest"))
        << "registry-keys SOFTWARE\\\\Game | Folder | Program | Level | 7\n"
        << "payload files\n"
        << reinterpret_cast<const char*>(u8"folder Сохранения\n");  // manifests are UTF-8
    ASSERT_EQ(Pkgtool("build '" + Path("patch.manifest") + "' '" + Path("patch.pkg") + "'"), 0)
        << output_;

    Package package;
    ASSERT_EQ(OpenPackage(package, Path("patch.pkg").c_str(), false), 0);
    const int library = FindEntry(package, "BIN\\A.DLL");
    ASSERT_GE(library, 0);
    Bytes content(package.directory[library].size);
    EXPECT_TRUE(LoadEntry(package, package.directory[library], content.data()));
    EXPECT_EQ(content, pkgbuild::ToBytes("library"));
    const int folders = FindEntry(package, ":Folders");
    ASSERT_GE(folders, 0);
    Bytes list(package.directory[folders].size);
    EXPECT_TRUE(LoadEntry(package, package.directory[folders], list.data()));
    EXPECT_EQ(list, pkgbuild::StringList({"Сохранения"}));  // Windows-1251 bytes
    ClosePackage(package);

    EXPECT_EQ(Pkgtool("list '" + Path("patch.pkg") + "'"), 0);
    EXPECT_NE(output_.find("bin\\a.dll"), std::string::npos) << output_;
}

TEST_F(PkgtoolTest, RefusesWhatItCannotReadOrBuild) {
    pkgbuild::Package package;
    package.entries = {{.name = "a", .content = pkgbuild::ToBytes("data")}};
    Bytes brokenEntry = pkgbuild::Build(package);
    brokenEntry[32 + 4] ^= 0xFF;  // inside the entry's zlib stream
    Bytes wrongMagic = pkgbuild::Build(package);
    wrongMagic[0] = 'q';
    ASSERT_TRUE(pkgbuild::WriteFile(Path("broken.pkg"), brokenEntry));
    ASSERT_TRUE(pkgbuild::WriteFile(Path("magic.pkg"), wrongMagic));
    ASSERT_TRUE(pkgbuild::WriteFile(Path("empty.pkg"), {}));
    std::ofstream(Path("bad.manifest")) << "folder ok\nfolders typo\n";

    struct Case {
        std::string arguments;
        int status;
    };
    const Case cases[] = {
        {"list '" + Path("broken.pkg") + "'", 1},
        {"list '" + Path("magic.pkg") + "'", 1},
        {"list '" + Path("empty.pkg") + "'", 1},
        {"list '" + Path("none.pkg") + "'", 1},
        {"build '" + Path("bad.manifest") + "' '" + Path("out.pkg") + "'", 1},
        {"list", 2},
        {"frobnicate x", 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Pkgtool(c.arguments), c.status) << c.arguments << "\n" << output_;
    }
    EXPECT_FALSE(std::filesystem::exists(Path("out.pkg")));
}

// diff ----------------------------------------------------------------------------------------

const std::string kBase =
    "registry-keys SOFTWARE\\\\Quellmar\\\\Diff | ProgramPath | ProgramName | PatchLevel | 2\n";

TEST_F(PkgtoolTest, DiffMakesThePatchThatTurnsOldIntoNew) {
    const std::string before = Path("old");
    const std::string after = Path("new");
    const std::string same = "unchanged, and not carried";
    for (const std::string& root : {before, after}) {
        Put(root, "game.exe", same);
        Put(root, "lib.dll.bak", "not the installer's backup");
    }
    Put(before, "changed.txt", "version 1");
    Put(after, "changed.txt", "version 2");
    Put(before, "samesize.dat", "AAAA");
    Put(after, "samesize.dat", "BBBB");
    fs::last_write_time(Path("new/samesize.dat"), fs::last_write_time(Path("old/samesize.dat")));
    Put(before, "Readme.TXT", "renamed in case only");
    Put(after, "readme.txt", "renamed in case only");
    Put(before, Utf8(u8"Документы/Отчёт.txt"), "ё");  // Ё and ё are a case pair of their own
    Put(after, Utf8(u8"Документы/ОТЧЁТ.txt"), "ё");
    Put(before, "lib.dll", "v1");
    Put(after, "lib.dll", "v2");
    Put(before, "gone.txt", "deleted");
    Put(before, "old_tree/a.txt", "a");
    Put(before, "old_tree/sub/b.txt", "b");
    fs::create_directories(Path("old/old_tree/sub/empty"));
    Put(after, "new_folder/deeper/new.txt", "new in a new folder");
    fs::create_directories(Path("new/empty_new/inner"));
    Put(after, "a_folder_with_a_rather_long_name/and_a_long_file_name.txt", "placeholder");
    Put(after, Utf8(u8"Новая папка/файл с длинным русским именем.txt"), "кириллица");
    std::ofstream(Path("base.manifest")) << kBase;

    ASSERT_EQ(Pkgtool("diff " + Quoted("old") + " " + Quoted("new") + " " +
                      Quoted("base.manifest") + " " + Quoted("patch.manifest")),
              0)
        << output_;
    std::ifstream manifest(Path("patch.manifest"));
    const std::string manifestText(std::istreambuf_iterator<char>(manifest), {});
    EXPECT_EQ(manifestText.find("game.exe"), std::string::npos) << manifestText;
    ASSERT_EQ(Pkgtool("build " + Quoted("patch.manifest") + " " + Quoted("patch.pkg")), 0)
        << output_;

    fs::copy(before, Path("Game"), fs::copy_options::recursive);
    std::ofstream(Path("registry.reg"))
        << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quellmar\\Diff]\n\"ProgramPath\"=\""
        << Path("Game") << "\"\n\"ProgramName\"=\"game.exe\"\n";
    const std::string apply = "cd '" + folder_.path() +
                              "' && yes '' | QLM_REGISTRY=" + Quoted("registry.reg") + " '" +
                              QLM_QLMPATCH + "' patch.pkg > apply.txt 2>&1";
    ASSERT_EQ(std::system(apply.c_str()), 0);
    EXPECT_EQ(Snapshot(Path("Game")), Snapshot(after)) << manifestText;
}

using TreeSetup = void (*)(PkgtoolTest& test);

struct DiffRefusal {
    const char* what;
    TreeSetup setup;
    std::string message;
    const char* output = "patch.manifest";
};

TEST_F(PkgtoolTest, DiffRefusesWhatAPatchCannotReproduce) {
    const DiffRefusal cases[] = {
        {"no Windows-1251 form", [](PkgtoolTest& t) { Put(t.Path("new"), Utf8(u8"日本.txt"), ""); },
         "cannot be written in Windows-1251: character U+65E5"},
        {"file becomes folder",
         [](PkgtoolTest& t) {
             Put(t.Path("old"), "x", "file");
             Put(t.Path("new"), "X/inner.txt", "folder");
         },
         "'X' is a file in OLD and a folder in NEW"},
        {"folder becomes file",
         [](PkgtoolTest& t) {
             Put(t.Path("old"), "x/inner.txt", "folder");
             Put(t.Path("new"), "x", "file");
         },
         "'x' is a folder in OLD and a file in NEW"},
        {"folder renamed in case",
         [](PkgtoolTest& t) {
             Put(t.Path("old"), "Data/a.txt", "a");
             Put(t.Path("new"), "data/a.txt", "a");
         },
         "folder 'Data' is named 'data' in NEW"},
        {"symbolic link",
         [](PkgtoolTest& t) {
             Put(t.Path("new"), "target.txt", "t");
             fs::create_symlink("target.txt", t.Path("new/link.txt"));
         },
         "NEW: 'link.txt' is a symbolic link"},
        {"special file",
         [](PkgtoolTest& t) {
             fs::create_directories(t.Path("old"));
             std::system(("mkfifo '" + t.Path("old/pipe") + "'").c_str());
         },
         "OLD: 'pipe' is neither a file nor a folder"},
        {"character Windows forbids", [](PkgtoolTest& t) { Put(t.Path("new"), "what?.txt", ""); },
         "holds '?', which Windows forbids"},
        {"drive-like name", [](PkgtoolTest& t) { Put(t.Path("new"), "c:evil", ""); },
         "holds ':', which Windows forbids"},
        {"trailing dot", [](PkgtoolTest& t) { Put(t.Path("new"), "dir./a.txt", ""); },
         "ends with a blank or a dot"},
        {"device name", [](PkgtoolTest& t) { Put(t.Path("new"), "sub/Con.txt", ""); },
         "'sub/Con.txt' is a device name"},
        {"names one in Windows",
         [](PkgtoolTest& t) {
             Put(t.Path("old"), Utf8(u8"Ёлка.txt"), "1");
             Put(t.Path("old"), Utf8(u8"ёлка.txt"), "2");
         },
         "which Windows takes for one name"},
        {"path too long",
         [](PkgtoolTest& t) {
             Put(t.Path("new"),
                 std::string(200, 'a') + "/" + std::string(200, 'b') + "/" + std::string(104, 'c'),
                 "");
         },
         "is 506 bytes long; beside even the shortest installation folder"},
        {"name of a placeholder",
         [](PkgtoolTest& t) {
             Put(t.Path("new"), "TMP0000000000000001", "");
             Put(t.Path("new"), std::string(40, 'l'), "");
         },
         "entry name 'TMP0000000000000001' is used twice"},
        {"error marker with commands",
         [](PkgtoolTest& t) {
             Put(t.Path("new"), "QLM_PATCH_APPLY_ERR.TXT", "");
             std::ofstream(t.Path("base.manifest"), std::ios::app) << "command 0 | fix.exe\n";
         },
         "NEW holds qlm_patch_apply_err.txt"},
        {"mistake in BASE",
         [](PkgtoolTest& t) { std::ofstream(t.Path("base.manifest"), std::ios::app) << "bogus\n"; },
         "line 2: unknown directive 'bogus' (lines 1 to 2 are BASE's)"},
        {"no OLD", [](PkgtoolTest& t) { fs::remove_all(t.Path("old")); }, "OLD '"},
        {"OUTPUT is BASE", [](PkgtoolTest&) {}, "is BASE; writing it would lose BASE",
         "base.manifest"},
    };
    for (const DiffRefusal& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* name : {"old", "new", "base.manifest", "patch.manifest"}) {
            fs::remove_all(Path(name));
        }
        fs::create_directories(Path("old"));
        fs::create_directories(Path("new"));
        std::ofstream(Path("base.manifest")) << kBase;
        c.setup(*this);
        EXPECT_EQ(Pkgtool("diff " + Quoted("old") + " " + Quoted("new") + " " +
                          Quoted("base.manifest") + " " + Quoted(c.output)),
                  1);
        EXPECT_NE(output_.find(c.message), std::string::npos) << output_;
        EXPECT_FALSE(fs::exists(Path("patch.manifest")));
        Bytes base;
        EXPECT_TRUE(pkgbuild::ReadFile(Path("base.manifest"), &base));
        EXPECT_EQ(std::string(base.begin(), base.end()).substr(0, kBase.size()), kBase);
    }
}

// extract -------------------------------------------------------------------------------------

using pkgbuild::Entry;
using pkgbuild::StringList;
using pkgbuild::ToBytes;

Entry Item(const std::string& name, const Bytes& content, bool compressed = true) {
    Entry entry;
    entry.name = name;
    entry.content = content;
    entry.compressed = compressed;
    return entry;
}

pkgbuild::Package Sample() {
    pkgbuild::Package package;
    package.entries = {
        Item(":RegistryKeys", pkgbuild::RegistryKeysSection("SOFTWARE\\Игра", "P", "N", "L", -5)),
        // Blanks at the ends, a tab, a control byte, '|', '\', " = " and 0x98 in one text.
        Item(":StartupMsg", StringList({" Обновление ", "a\tb\x01|c\\d = e\x98\r\nf "})),
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
        Item("\\rooted.txt", {}),
        Item("tmp2", ToBytes("second")),
    };
    return package;
}

TEST_F(PkgtoolTest, ExtractedPackageBuildsBackTheSameEntries) {
    std::vector<Entry> unusual = {
        Item("payload.txt", ToBytes("first")),
        Item(":Folders", StringList({"after the payload"})),
        Item(":registrykeys", pkgbuild::RegistryKeysSection("K", "F", "P", "L", 1)),
    };
    struct Case {
        const char* what;
        std::vector<Entry> entries;
    };
    const Case cases[] = {
        {"sections in their order, names through the name table", Sample().entries},
        {"a section after the payload, a name in another case", unusual},
        {"sections the directives cannot give",
         {Item(":RegistryKeys", ToBytes(std::string("K\0F\0P\0L\0\1\0\0\0", 12))),
          Item(":StartupMsg", StringList({"caption", "text", "third"})),
          Item(":XlatNamesTable", StringList({"odd"})), Item(":Folders", ToBytes("unterminated")),
          Item(":FilesToRemove", {}), Item(":Custom", ToBytes(std::string("\0\xFF", 2))),
          Item(":CommandsToExecute", ToBytes(std::string("\x01p\0a\0\0\0trailing", 14)))}},
        {"sections out of their order",
         {Item(":FilesToRemove", StringList({"x"})), Item(":Folders", StringList({"y"})),
          Item("z", ToBytes("z"))}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(Path("out"));
        pkgbuild::Package package;
        package.entries = c.entries;
        ASSERT_TRUE(pkgbuild::WriteFile(Path("in.pkg"), pkgbuild::Build(package)));
        ASSERT_EQ(Pkgtool("extract " + Quoted("in.pkg") + " " + Quoted("out")), 0) << output_;
        ASSERT_EQ(Pkgtool("build " + Quoted("out/manifest.txt") + " " + Quoted("re.pkg")), 0)
            << output_;
        EXPECT_EQ(Entries(Path("re.pkg"), false), Entries(Path("in.pkg"), false));
    }
}

TEST_F(PkgtoolTest, ExtractPlacesFilesUnderTheirRealPathsAlsoFromASelfContainedPatch) {
    const Bytes package = pkgbuild::Build(Sample());
    ASSERT_TRUE(
        pkgbuild::WriteFile(Path("patch.run"), pkgbuild::Bind(ToBytes("MZ image"), package)));
    ASSERT_EQ(Pkgtool("extract " + Quoted("patch.run") + " " + Quoted("out")), 0) << output_;
    std::map<std::string, std::string> expected = {
        {Utf8(u8"длинный"), "/"},
        {Utf8(u8"длинный/путь"), "/"},
        {Utf8(u8"длинный/путь/к файлу.dat"), "long"},
        {Utf8(u8"Данные"), "/"},
        {Utf8(u8"Данные/карта.dat"), std::string(70000, 'k')},
        {" lead = name|x", "odd name"},
        {"rooted.txt", ""},
        {"second", "/"},
        {"second/long.txt", "second"},
    };
    EXPECT_EQ(Snapshot(Path("out"), "manifest.txt"), expected);
    ASSERT_EQ(Pkgtool("build " + Quoted("out/manifest.txt") + " " + Quoted("re.pkg")), 0)
        << output_;
    EXPECT_EQ(Entries(Path("re.pkg"), false), Entries(Path("patch.run"), true));
}

TEST_F(PkgtoolTest, ExtractRefusesWhatItCannotTakeApartExactly) {
    pkgbuild::Package damaged;
    damaged.entries = {Item("a.txt", ToBytes("data")), Item("b.txt", ToBytes("more data"))};
    Bytes damagedBytes = pkgbuild::Build(damaged);
    damagedBytes[32 + pkgbuild::Compress(ToBytes("data")).size() + 4] ^= 0xFF;  // b.txt's stream
    const auto withTable = [](const std::string& realPath) {
        return std::vector<Entry>{Item(":XlatNamesTable", StringList({"t", realPath})),
                                  Item("t", ToBytes("x"))};
    };
    struct Case {
        const char* what;
        std::vector<Entry> entries;  // unless `bytes` is given
        Bytes bytes;
        std::string message;
    };
    const Case cases[] = {
        {"damaged entry", {}, damagedBytes, "entry 1 'b.txt' cannot be loaded completely"},
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
        pkgbuild::Package package;
        package.entries = c.entries;
        ASSERT_TRUE(pkgbuild::WriteFile(Path("in.pkg"),
                                        c.bytes.empty() ? pkgbuild::Build(package) : c.bytes));
        EXPECT_EQ(Pkgtool("extract " + Quoted("in.pkg") + " " + Quoted("out")), 1);
        EXPECT_NE(output_.find(c.message), std::string::npos) << output_;
        EXPECT_FALSE(fs::exists(Path("out")));
    }
    ASSERT_TRUE(pkgbuild::WriteFile(Path("in.pkg"), pkgbuild::Build(damaged)));
    Put(Path("busy"), "keep.txt", "mine");
    EXPECT_EQ(Pkgtool("extract " + Quoted("in.pkg") + " " + Quoted("busy")), 1);
    EXPECT_NE(output_.find("is not an empty folder"), std::string::npos) << output_;
    EXPECT_EQ(Snapshot(Path("busy")), (std::map<std::string, std::string>{{"keep.txt", "mine"}}));
}

// show ----------------------------------------------------------------------------------------

TEST_F(PkgtoolTest, ShowDecodesEverySection) {
    ASSERT_TRUE(pkgbuild::WriteFile(Path("in.pkg"), pkgbuild::Build(Sample())));
    ASSERT_EQ(Pkgtool("show " + Quoted("in.pkg")), 0) << output_;
    const std::string expected[] = {
        Utf8(u8"installation       HKEY_LOCAL_MACHINE\\SOFTWARE\\Игра"),
        "patch level        -5",
        Utf8(u8"caption   Обновление \n"),
        "text     a\\x09b\\x01|c\\d = e\\x98\n           f \n",
        Utf8(u8"TMP0000000000000001 -> длинный\\путь\\к файлу.dat"),
        "  saves\n  saves\\auto\n",
        "1. flags 0xF7: wait for exit, relative to the installation folder, program in command "
        "line, bits 3-7 (no effect)",
        "program       <installation folder>\\tools\\fix.exe",
        "command line  \"<installation folder>\\tools\\fix.exe\" DUMMY \n",
        "1. skip (operation 5)  HKEY_LOCAL_MACHINE\\Software\\X (root 7)\n     the key only (type "
        "9)",
        Utf8(u8"Данные\\карта.dat\n"),
        "second\\long.txt  (stored as tmp2)",
    };
    for (const std::string& text : expected) {
        EXPECT_NE(output_.find(text), std::string::npos) << text << "\n---\n" << output_;
    }
}

TEST_F(PkgtoolTest, ShowMarksDamagedSections) {
    struct Case {
        Entry section;
        std::string message;
    };
    const Case cases[] = {
        {Item(":Folders", ToBytes(std::string("a\0b", 3))), "! damaged: ends inside a string"},
        {Item(":RegistryKeys", ToBytes(std::string("K\0F\0P\0L\0\1\0", 10))),
         "! damaged: ends inside the patch level"},
        {Item(":CommandsToExecute", ToBytes(std::string("\x01p\0", 3))),
         "! damaged: ends inside the arguments"},
        {Item(":RegistryTable", ToBytes(std::string("\1\0\0\0\0\0\0\0K\0", 10))),
         "! damaged: ends inside a record"},
        {Item(":CommandsToExecute", pkgbuild::CommandsSection({{4, std::string(1020, 'p'), ""}})),
         "longer than the installer's 1023 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        pkgbuild::Package package;
        package.entries = {c.section, Item(":StartupMsg", StringList({"c", "t", "extra"}))};
        ASSERT_TRUE(pkgbuild::WriteFile(Path("in.pkg"), pkgbuild::Build(package)));
        EXPECT_EQ(Pkgtool("show " + Quoted("in.pkg")), 1);
        EXPECT_NE(output_.find(c.message), std::string::npos) << output_;
        EXPECT_NE(output_.find("7 bytes after its end are never read"), std::string::npos)
            << output_;
    }
}

}  // namespace
