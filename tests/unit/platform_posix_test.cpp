// The posix backend of the platform layer: path conversion, names, mappings, the ".reg"
// registry store, command-line splitting, processes and the terminal front end.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/files.h"
#include "platform/posix/path.h"
#include "platform/posix/process.h"
#include "platform/posix/registry_store.h"
#include "platform/posix/terminal.h"
#include "platform/posix/text.h"
#include "temp_folder.h"

namespace {

using platform::posix::ConvertPath;

// Narrow literals are Windows-1251 here; names on disk are UTF-8.
std::string Utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// Program form of a system path: backslashes, Windows-1251.
std::string ProgramPath(const std::string& native) {
    std::string path = platform::posix::Utf8ToCp1251(native);
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

std::string ReadWhole(const std::string& path) {
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return "<missing>";
    }
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, got);
    }
    fclose(file);
    return bytes;
}

void WriteWhole(const std::string& path, const std::string& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Sets an environment variable for one test and restores it after.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        const char* old = getenv(name);
        hadOld_ = old != nullptr;
        old_ = old ? old : "";
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (hadOld_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::string old_;
    bool hadOld_ = false;
};

// --- text and paths -------------------------------------------------------------------------

TEST(PosixText, ConvertsEveryByteBothWays) {
    std::string all;
    for (int byte = 1; byte < 256; ++byte) {
        all.push_back(static_cast<char>(byte));
    }
    std::string back;
    ASSERT_TRUE(platform::posix::Utf8ToCp1251Exact(platform::posix::Cp1251ToUtf8(all), &back));
    EXPECT_EQ(back, all);
    EXPECT_EQ(platform::posix::Cp1251ToUtf8("Ёлка №1 — €"), Utf8(u8"Ёлка №1 — €"));
    // Characters outside the code page and broken UTF-8 become '?'.
    const std::string foreign = Utf8(u8"a漢b") + "\xC3";  // outside the macro: not in CP1251
    EXPECT_EQ(platform::posix::Utf8ToCp1251(foreign), "a?b?");
    EXPECT_TRUE(platform::posix::EqualFoldCp1251("ПаПкА Ёж ЇҐЎ", "папка ёЖ їґў"));
    EXPECT_FALSE(platform::posix::EqualFoldCp1251("файл", "фаил"));
}

TEST(PosixPath, ConvertsAndFindsComponentsIgnoringCase) {
    TempFolder temp("qlm_platform");
    ASSERT_FALSE(temp.path().empty());
    ASSERT_EQ(mkdir((temp.Path("Data")).c_str(), 0755), 0);
    ASSERT_EQ(mkdir((temp.Path("Data/Sub")).c_str(), 0755), 0);
    WriteWhole(temp.Path("Data/Sub/File.TXT"), "x");
    ASSERT_EQ(mkdir((temp.Path(Utf8(u8"ПАПКА"))).c_str(), 0755), 0);
    WriteWhole(temp.Path(Utf8(u8"ПАПКА/Ёлка.dat")), "y");
    const std::string base = ProgramPath(temp.path());
    const std::string native = temp.path();

    struct Case {
        std::string program;
        std::string expected;
    };
    const Case cases[] = {
        {base + "\\Data\\Sub\\File.TXT", native + "/Data/Sub/File.TXT"},
        {base + "\\data\\SUB\\file.txt", native + "/Data/Sub/File.TXT"},
        {base + "\\папка\\ёЛКА.DAT", native + Utf8(u8"/ПАПКА/Ёлка.dat")},
        {base + "\\\\Data\\\\\\sub", native + "/Data/Sub"},
        {base + "/data\\sub/", native + "/Data/Sub/"},
        // Missing components are kept as written, and so is all below them.
        {base + "\\data\\Новая\\sub", native + Utf8(u8"/Data/Новая/sub")},
        {base + "\\DATA\\sub\\new.txt", native + "/Data/Sub/new.txt"},
        // Every folder has "." and "..", though no folder lists them.
        {base + "\\data\\.\\sub\\..\\SUB\\file.txt", native + "/Data/./Sub/../Sub/File.TXT"},
        {base + "\\data\\sub\\..", native + "/Data/Sub/.."},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ConvertPath(c.program), c.expected) << c.program;
    }

    // Relative paths resolve against the current folder.
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(native.c_str()), 0);
    const std::string relative = ConvertPath("data\\sub\\FILE.txt");
    const bool exists = platform::PathExists("DATA\\SUB\\file.txt");
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(relative, "Data/Sub/File.TXT");
    EXPECT_TRUE(exists);
}

// The index a lookup makes of a folder follows every later change: made through the backend,
// behind its back, or by an external program. Each step changes the folder, then looks a name
// up in it.
TEST(PosixPath, FolderIndexFollowsEveryChange) {
    TempFolder temp("qlm_platform");
    WriteWhole(temp.Path("Data.TXT"), "d");
    const std::string base = ProgramPath(temp.path()) + "\\";
    const std::string native = temp.path() + "/";
    const auto external = [&base](const char* script) {
        std::string line = std::string("sh -c \"") + script + "\"";
        platform::Process process;
        ASSERT_TRUE(platform::StartProcess("\\bin\\sh", line.data(), base.c_str(), &process));
        platform::WaitForProcess(process);
    };
    struct Step {
        const char* what;
        std::function<void()> change;
        std::string lookup;    // under the folder, as the program names it
        std::string expected;  // what it converts to under the folder
        bool exists;
    };
    const Step steps[] = {
        {"first lookup", [] {}, "data.txt", "Data.TXT", true},
        {"moved by the backend",
         [&] {
             EXPECT_TRUE(platform::MovePath((base + "DATA.txt").c_str(), (base + "a").c_str()));
         },
         "data.txt", "data.txt", false},
        {"renamed behind its back",
         [&] { ASSERT_EQ(rename((native + "a").c_str(), (native + "Moved.Bin").c_str()), 0); },
         "moved.BIN", "Moved.Bin", true},
        {"two names fold alike",
         [&] { WriteWhole(native + "aA.txt", "2"), WriteWhole(native + "Aa.txt", "1"); }, "AA.TXT",
         "Aa.txt", true},
        {"the smaller deleted by the backend",
         [&] { EXPECT_TRUE(platform::DeleteFilePath((base + "aa.txt").c_str())); }, "AA.TXT",
         "aA.txt", true},
        {"created by the backend",
         [&] { platform::CloseFile(platform::CreateFileReadWrite((base + "Новый.dat").c_str())); },
         "НОВЫЙ.DAT", Utf8(u8"Новый.dat"), true},
        {"folder created by the backend once",
         [&] {
             EXPECT_TRUE(platform::CreateFolder((base + "Sub").c_str()));
             EXPECT_FALSE(platform::CreateFolder((base + "SUB").c_str()));
         },
         "SUB\\f.txt", "Sub/f.txt", false},
        {"exact folder name appears behind its back",
         [&] { ASSERT_EQ(mkdir((native + "SUB").c_str(), 0755), 0); }, "SUB\\f.txt", "SUB/f.txt",
         false},
        {"and goes again", [&] { ASSERT_EQ(rmdir((native + "SUB").c_str()), 0); }, "SUB\\f.txt",
         "Sub/f.txt", false},
        {"renamed and created by an external program",
         [&] { external("mv Moved.Bin MOVED.bin; : > Extra.TXT"); }, "moved.bin", "MOVED.bin",
         true},
        {"removed by an external program", [&] { external("rm Extra.TXT"); }, "extra.txt",
         "extra.txt", false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        EXPECT_EQ(ConvertPath(base + step.lookup), native + step.expected);
        EXPECT_EQ(platform::PathExists((base + step.lookup).c_str()), step.exists);
    }
}

// --- files, folders and mappings ------------------------------------------------------------

TEST(PosixFiles, MovePathNeverReplacesTheDestination) {
    TempFolder temp("qlm_platform");
    WriteWhole(temp.Path("a.txt"), "first");
    WriteWhole(temp.Path("b.txt"), "second");
    ASSERT_EQ(mkdir((temp.Path("dir")).c_str(), 0755), 0);
    ASSERT_EQ(mkdir((temp.Path("other")).c_str(), 0755), 0);
    const std::string base = ProgramPath(temp.path());

    EXPECT_FALSE(platform::MovePath((base + "\\a.txt").c_str(), (base + "\\b.txt").c_str()));
    // A destination differing only in case is the same name on a Windows file system.
    EXPECT_FALSE(platform::MovePath((base + "\\a.txt").c_str(), (base + "\\B.TXT").c_str()));
    EXPECT_FALSE(platform::MovePath((base + "\\dir").c_str(), (base + "\\other").c_str()));
    EXPECT_EQ(ReadWhole(temp.Path("a.txt")), "first");
    EXPECT_EQ(ReadWhole(temp.Path("b.txt")), "second");

    EXPECT_TRUE(platform::MovePath((base + "\\A.txt").c_str(), (base + "\\a.bak").c_str()));
    EXPECT_EQ(ReadWhole(temp.Path("a.bak")), "first");
    EXPECT_FALSE(platform::PathExists((base + "\\a.txt").c_str()));
    EXPECT_FALSE(platform::MovePath((base + "\\gone").c_str(), (base + "\\c").c_str()));

    EXPECT_FALSE(platform::DeleteFilePath((base + "\\dir").c_str()));
    EXPECT_TRUE(platform::RemoveFolder((base + "\\DIR").c_str()));
    EXPECT_TRUE(platform::DeleteFilePath((base + "\\a.BAK").c_str()));
    EXPECT_TRUE(platform::CreateFolder((base + "\\Новая").c_str()));
    struct stat info;
    EXPECT_EQ(stat((temp.Path(Utf8(u8"Новая"))).c_str(), &info), 0);
}

TEST(PosixFiles, WriteMappingMakesTheFileOfExactlyThatSizeWrittenThroughViews) {
    TempFolder temp("qlm_platform");
    const std::string path = ProgramPath(temp.Path("out.bin"));
    WriteWhole(temp.Path("out.bin"), std::string(50000, 'z'));  // longer than the new file

    platform::File file = platform::CreateFileReadWrite(path.c_str());
    ASSERT_TRUE(file.valid());
    EXPECT_FALSE(platform::CreateWriteMapping(file, 0).valid());
    platform::Mapping mapping = platform::CreateWriteMapping(file, 10000);
    ASSERT_TRUE(mapping.valid());
    // Two views meeting at an offset that is no multiple of a page.
    for (const uint32_t start : {0u, 4321u}) {
        const uint32_t length = start == 0 ? 4321 : 10000 - 4321;
        platform::View view = platform::MapView(mapping, start, length);
        ASSERT_TRUE(view.valid());
        EXPECT_EQ(view.data[length - 1], 0);
        for (uint32_t i = 0; i < length; ++i) {
            view.data[i] = static_cast<uint8_t>((start + i) * 7);
        }
        platform::UnmapView(view);
    }
    platform::CloseMapping(mapping);
    uint64_t length = 0;
    EXPECT_TRUE(platform::GetFileLength(file, &length));
    EXPECT_EQ(length, 10000u);
    platform::CloseFile(file);

    const std::string bytes = ReadWhole(temp.Path("out.bin"));
    ASSERT_EQ(bytes.size(), 10000u);
    for (uint32_t i = 0; i < 10000; ++i) {
        ASSERT_EQ(static_cast<uint8_t>(bytes[i]), static_cast<uint8_t>(i * 7)) << i;
    }
}

TEST(PosixFiles, ReadMappingAndFileIdentity) {
    TempFolder temp("qlm_platform");
    WriteWhole(temp.Path("empty.bin"), "");
    WriteWhole(temp.Path("Data.bin"), "payload");
    WriteWhole(temp.Path("other.bin"), "payload");
    const std::string base = ProgramPath(temp.path());

    platform::File empty = platform::OpenFileRead((base + "\\empty.bin").c_str());
    ASSERT_TRUE(empty.valid());
    EXPECT_FALSE(platform::CreateReadMapping(empty).valid());
    platform::CloseFile(empty);
    EXPECT_FALSE(platform::OpenFileRead((base + "\\missing.bin").c_str()).valid());

    platform::File file = platform::OpenFileRead((base + "\\DATA.BIN").c_str());
    ASSERT_TRUE(file.valid());
    EXPECT_TRUE(platform::IsSameFile(file, (base + "\\data.bin").c_str()));
    EXPECT_FALSE(platform::IsSameFile(file, (base + "\\other.bin").c_str()));
    EXPECT_FALSE(platform::IsSameFile(file, (base + "\\missing.bin").c_str()));
    platform::Mapping mapping = platform::CreateReadMapping(file);
    ASSERT_TRUE(mapping.valid());
    // The mapping outlives its file handle, as on Windows.
    platform::CloseFile(file);

    // A view lies within the mapping and within one window (4 bytes here).
    platform::posix::SetViewWindowForTesting(4);
    struct Case {
        uint64_t offset;
        uint32_t length;
        const char* bytes;  // null: no view
    };
    const Case cases[] = {
        {0, 4, "payl"},  {3, 4, "load"},  {6, 1, "d"},     {0, 0, nullptr},
        {0, 5, nullptr}, {6, 2, nullptr}, {7, 1, nullptr}, {UINT64_MAX, 1, nullptr},
    };
    for (const Case& c : cases) {
        platform::View view = platform::MapView(mapping, c.offset, c.length);
        EXPECT_EQ(view.valid(), c.bytes != nullptr) << c.offset << "+" << c.length;
        if (view.valid() && c.bytes != nullptr) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(view.data), c.length), c.bytes);
        }
        platform::UnmapView(view);
    }
    platform::posix::SetViewWindowForTesting(0);
    platform::CloseMapping(mapping);
}

TEST(PosixFiles, ViewLengthsStopAtWindowMultiples) {
    platform::posix::SetViewWindowForTesting(100);
    EXPECT_EQ(platform::ViewLengthAt(0, 1000), 100u);
    EXPECT_EQ(platform::ViewLengthAt(99, 1000), 1u);
    EXPECT_EQ(platform::ViewLengthAt(150, 170), 20u);
    EXPECT_EQ(platform::ViewLengthAt(170, 170), 0u);
    EXPECT_EQ(platform::ViewLengthAt(5000000030, UINT64_MAX), 70u);  // beyond 4 GiB
    platform::posix::SetViewWindowForTesting(0);
    EXPECT_EQ(platform::ViewWindow(), platform::kViewWindow);
    EXPECT_EQ(platform::ViewLengthAt(1, 3ull << 30), platform::kViewWindow - 1);
}

TEST(PosixFiles, OwnProgramPathNamesAnExistingFile) {
    char path[4096];
    ASSERT_TRUE(platform::GetOwnProgramPath(path, sizeof path));
    EXPECT_TRUE(platform::PathExists(path));
    EXPECT_FALSE(platform::GetOwnProgramPath(path, strlen(path)));  // no room for the NUL
}

// --- the registry store ---------------------------------------------------------------------

// The file's exact text, in the order written: every form of value the store writes.
const char kCanonicalReg[] =
    "REGEDIT4\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Фирма]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Фирма\\Игра]\n"
    "@=\"default\"\n"
    "\"Path\"=\"C:\\\\Games\\\\Игра\\\\ \\\"q\\\"\"\n"
    "\"Level\"=dword:0000000b\n"
    "\"Blob\"=hex(3):00,ff,10\n"
    "\"Empty\"=hex(0):\n"
    "\"NoNul\"=hex(1):61,62\n"
    "\"TwoNul\"=hex(1):61,00,62,00\n"
    "\"Lines\"=hex(1):61,0d,0a,62,00\n"
    "\"Short\"=hex(4):01,02\n"
    "\n"
    "[HKEY_CURRENT_USER\\Software]\n"
    "\n"
    "[HKEY_CURRENT_USER\\Software\\Firm]\n"
    "\"\\\"\"=\"\"\n"
    "\n";

TEST(PosixRegistryText, RoundTripsEveryValueForm) {
    const platform::posix::RegStore store = platform::posix::ParseRegText(kCanonicalReg);
    EXPECT_EQ(platform::posix::FormatRegText(store), kCanonicalReg);

    ASSERT_EQ(store.keys.size(), 5u);
    const auto& game = store.keys[2];
    struct Expected {
        const char* name;
        uint32_t type;
        std::string data;
    };
    const Expected values[] = {
        {"", 1, std::string("default", 8)},
        {"path", 1, std::string("C:\\Games\\Игра\\ \"q\"") + '\0'},
        {"LEVEL", 4, std::string("\x0b\0\0\0", 4)},
        {"blob", 3, std::string("\0\xff\x10", 3)},
        {"Empty", 0, ""},
        {"NoNul", 1, "ab"},
        {"TwoNul", 1, std::string("a\0b\0", 4)},
    };
    for (const Expected& expected : values) {
        const platform::posix::RegValue* value = platform::posix::FindValue(game, expected.name);
        ASSERT_NE(value, nullptr) << expected.name;
        EXPECT_EQ(value->type, expected.type) << expected.name;
        EXPECT_EQ(value->data, expected.data) << expected.name;
    }
    ASSERT_EQ(store.keys[4].values.size(), 1u);
    EXPECT_EQ(store.keys[4].values[0].name, "\"");
}

TEST(PosixRegistryText, SkipsWhatItCannotRead) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"", "REGEDIT4\n\n"},
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
    for (const Case& c : cases) {
        EXPECT_EQ(platform::posix::FormatRegText(platform::posix::ParseRegText(c.text)), c.expected)
            << c.text;
    }
}

class PosixRegistry : public ::testing::Test {
  protected:
    PosixRegistry() : store_(temp_.Path("store/registry.reg")), env_("QLM_REGISTRY", store_) {}

    // Queries a value into a buffer of `room` bytes.
    static bool Query(platform::RegistryKey key, const char* name, uint32_t room, std::string* data,
                      uint32_t* type) {
        std::vector<uint8_t> buffer(room + 1);
        uint32_t size = room;
        if (!platform::QueryValue(key, name, buffer.data(), &size, type)) {
            return false;
        }
        data->assign(reinterpret_cast<const char*>(buffer.data()), size);
        return true;
    }

    TempFolder temp_{"qlm_platform"};
    std::string store_;
    ScopedEnv env_;
};

TEST_F(PosixRegistry, MissingFileIsAnEmptyRegistry) {
    using platform::RegistryRoot;
    EXPECT_FALSE(platform::OpenKeyForQuery(RegistryRoot::LocalMachine, "Software\\X").valid());
    EXPECT_FALSE(platform::OpenKeyForSet(RegistryRoot::CurrentUser, "Software\\X").valid());
    EXPECT_EQ(ReadWhole(store_), "<missing>");
}

TEST_F(PosixRegistry, WritesReadBackIgnoringCase) {
    using platform::RegistryRoot;
    platform::RegistryKey created =
        platform::CreateKey(RegistryRoot::LocalMachine, "\\Software\\\\Фирма\\Игра\\");
    ASSERT_TRUE(created.valid());
    const std::string path = "C:\\Игры\\";
    const uint32_t level = 11;
    EXPECT_TRUE(platform::SetValue(created, "Путь", platform::kRegSz,
                                   reinterpret_cast<const uint8_t*>(path.c_str()),
                                   static_cast<uint32_t>(path.size() + 1)));
    EXPECT_TRUE(platform::SetValue(created, "Level", platform::kRegDword,
                                   reinterpret_cast<const uint8_t*>(&level), 4));
    EXPECT_TRUE(platform::SetValue(created, "", platform::kRegSz,
                                   reinterpret_cast<const uint8_t*>("d"), 2));
    EXPECT_FALSE(platform::SetValue(created, "two\nlines", platform::kRegSz,
                                    reinterpret_cast<const uint8_t*>("x"), 2));
    platform::CloseKey(created);

    // Parents exist; names match in any case; the other root is separate.
    EXPECT_FALSE(platform::OpenKeyForQuery(RegistryRoot::CurrentUser, "Software\\Фирма").valid());
    platform::RegistryKey parent =
        platform::OpenKeyForQuery(RegistryRoot::LocalMachine, "SOFTWARE\\фИРМА");
    EXPECT_TRUE(parent.valid());
    platform::CloseKey(parent);
    platform::RegistryKey key =
        platform::OpenKeyForQuery(RegistryRoot::LocalMachine, "software\\ФИРМА\\игра");
    ASSERT_TRUE(key.valid());

    std::string data;
    uint32_t type = 0;
    EXPECT_TRUE(Query(key, "ПУТЬ", 512, &data, &type));
    EXPECT_EQ(data, std::string(path.c_str(), path.size() + 1));
    EXPECT_EQ(type, platform::kRegSz);
    EXPECT_TRUE(Query(key, "level", 4, &data, &type));
    EXPECT_EQ(data, std::string("\x0b\0\0\0", 4));
    EXPECT_EQ(type, platform::kRegDword);
    EXPECT_TRUE(Query(key, "", 2, &data, &type));
    EXPECT_EQ(data, std::string("d", 2));
    EXPECT_FALSE(Query(key, "Missing", 512, &data, &type));

    // Data longer than the room fails, reporting the length needed.
    uint8_t small[4];
    uint32_t size = sizeof small;
    EXPECT_FALSE(platform::QueryValue(key, "Путь", small, &size, &type));
    EXPECT_EQ(size, path.size() + 1);
    platform::CloseKey(key);

    // Another store (the variable is read at each call) does not have the key.
    {
        ScopedEnv other("QLM_REGISTRY", temp_.Path("other.reg"));
        EXPECT_FALSE(platform::OpenKeyForQuery(RegistryRoot::LocalMachine, "Software").valid());
    }

    EXPECT_EQ(ReadWhole(store_),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Фирма]\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Фирма\\Игра]\n"
              "\"Путь\"=\"C:\\\\Игры\\\\\"\n\"Level\"=dword:0000000b\n@=\"d\"\n\n");
    // Each write replaced the file whole: no temporary file is left beside it.
    EXPECT_EQ(FolderEntries(temp_.Path("store")),
              (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST_F(PosixRegistry, ReadsAFileWrittenByHandAndKeepsItsOtherKeys) {
    using platform::RegistryRoot;
    ASSERT_EQ(mkdir((temp_.Path("store")).c_str(), 0755), 0);
    WriteWhole(store_,
               "REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\Kept]\r\n\"a\"=\"b\"\r\n"
               "[HKEY_LOCAL_MACHINE\\Software\\Game]\r\n\"Level\"=dword:00000002\r\n");
    platform::RegistryKey key =
        platform::OpenKeyForSet(RegistryRoot::LocalMachine, "software\\game");
    ASSERT_TRUE(key.valid());
    std::string data;
    uint32_t type = 0;
    EXPECT_TRUE(Query(key, "LEVEL", 4, &data, &type));
    EXPECT_EQ(data, std::string("\2\0\0\0", 4));
    const uint32_t level = 3;
    EXPECT_TRUE(platform::SetValue(key, "level", platform::kRegDword,
                                   reinterpret_cast<const uint8_t*>(&level), 4));
    platform::CloseKey(key);
    EXPECT_EQ(ReadWhole(store_),
              "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\Kept]\n\"a\"=\"b\"\n\n"
              "[HKEY_LOCAL_MACHINE\\Software]\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Game]\n\"Level\"=dword:00000003\n\n");
}

// --- processes ------------------------------------------------------------------------------

TEST(PosixProcess, SplitsCommandLinesAsTheCRuntime) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"prog", {"prog"}},
        {"\"C:\\My Games\\fix.exe\" DUMMY -q", {"C:\\My Games\\fix.exe", "DUMMY", "-q"}},
        {"DUMMY  \t a", {"DUMMY", "a"}},
        {"p \"abc\" d e", {"p", "abc", "d", "e"}},
        {"p a\\\\\\b d\"e f\"g h", {"p", "a\\\\\\b", "de fg", "h"}},
        {"p a\\\\\\\"b c d", {"p", "a\\\"b", "c", "d"}},
        {"p a\\\\\\\\\"b c\" d e", {"p", "a\\\\b c", "d", "e"}},
        {"p a\"b\"\" c d", {"p", "ab\" c d"}},
        {"p \"\" x", {"p", "", "x"}},
        {"p \"unclosed arg", {"p", "unclosed arg"}},
        {"p trailing\\", {"p", "trailing\\"}},
        {"\"pro\"g\\ x\\", {"prog\\", "x\\"}},
        {"p \"Игры\\\" \\\"мои\"", {"p", "Игры\" \"мои"}},
        {"p ", {"p"}},
        {"", {""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::posix::SplitCommandLine(c.line), c.words) << c.line;
    }
}

TEST(PosixProcess, StartsInTheFolderWithConvertedArguments) {
    TempFolder temp("qlm_platform");
    ASSERT_EQ(mkdir((temp.Path(Utf8(u8"Игра"))).c_str(), 0755), 0);
    const std::string folder = ProgramPath(temp.path()) + "\\игра\\";
    std::string line = "sh -c \"pwd > where.txt; printf %s \\\"$1\\\" > arg.txt\" x \"Привет мир\"";

    platform::Process process;
    ASSERT_TRUE(platform::StartProcess("\\bin\\SH", line.data(), folder.c_str(), &process));
    platform::WaitForProcess(process);
    platform::CloseProcess(process);
    EXPECT_EQ(ReadWhole(temp.Path(Utf8(u8"Игра/where.txt"))), temp.Path(Utf8(u8"Игра\n")));
    EXPECT_EQ(ReadWhole(temp.Path(Utf8(u8"Игра/arg.txt"))), Utf8(u8"Привет мир"));

    EXPECT_FALSE(
        platform::StartProcess("\\bin\\missing-program", line.data(), folder.c_str(), &process));
    EXPECT_FALSE(
        platform::StartProcess("\\bin\\sh", line.data(), (folder + "missing\\").c_str(), &process));
}

TEST(PosixThread, RunsTheEntryWithItsArgument) {
    std::atomic<int> value{0};
    platform::Thread thread = platform::StartThread(
        [](void* argument) { static_cast<std::atomic<int>*>(argument)->store(42); }, &value, 65536);
    ASSERT_TRUE(thread.valid());
    platform::WaitForThread(thread);
    EXPECT_EQ(value.load(), 42);
}

// --- the terminal front end -----------------------------------------------------------------

// Input and output of the terminal on temporary files for one test.
class TerminalStreams {
  public:
    explicit TerminalStreams(const std::string& input) : input_(tmpfile()), output_(tmpfile()) {
        fwrite(input.data(), 1, input.size(), input_);
        rewind(input_);
        platform::SetTerminalStreams(input_, output_);
    }
    ~TerminalStreams() {
        platform::SetTerminalStreams(nullptr, nullptr);
        fclose(input_);
        fclose(output_);
    }
    TerminalStreams(const TerminalStreams&) = delete;
    TerminalStreams& operator=(const TerminalStreams&) = delete;

    std::string output() {
        fflush(output_);
        rewind(output_);
        std::string text;
        int c;
        while ((c = fgetc(output_)) != EOF) {
            text.push_back(static_cast<char>(c));
        }
        return text;
    }
    // What is left of the input.
    std::string rest() {
        std::string text;
        int c;
        while ((c = fgetc(input_)) != EOF) {
            text.push_back(static_cast<char>(c));
        }
        return text;
    }

  private:
    FILE* input_;
    FILE* output_;
};

TEST(PosixTerminal, StatusTextsAreUtf8Lines) {
    TerminalStreams streams("");
    std::atomic<int32_t> runState{0};
    const platform::Window window = platform::OpenProgressWindow(&runState);
    EXPECT_NE(window.value, 0);
    platform::SetStatusText(window, "abc\r\n");
    platform::SetStatusText(window, "Установка...");
    platform::SetStatusText(window, "a\r\nb\r\n\r\n");
    platform::SetStatusText(window, "");
    EXPECT_EQ(streams.output(), Utf8(u8"abc\nУстановка...\na\nb\n\n\n"));
}

TEST(PosixTerminal, AnswersQuestionsByOneLine) {
    struct Case {
        uint32_t type;
        const char* input;
        int answer;
        const char* rest;
    };
    const uint32_t question = platform::kBoxOkCancel | platform::kBoxIconExclamation;
    const uint32_t information = platform::kBoxOk | platform::kBoxIconInformation;
    const Case cases[] = {
        {question, "\nnext\n", platform::kAnswerOk, "next\n"},
        {question, "ok\n", platform::kAnswerOk, ""},
        {question, " O \r\n", platform::kAnswerOk, ""},
        {question, "Ok", platform::kAnswerOk, ""},
        {question, "cancel\n", platform::kAnswerCancel, ""},
        {question, "okay\n", platform::kAnswerCancel, ""},
        {question, "", platform::kAnswerCancel, ""},
        {information, "\n", platform::kAnswerOk, ""},
        {information, "cancel\nx", platform::kAnswerOk, "x"},
        {information, "", platform::kAnswerOk, ""},
    };
    for (const Case& c : cases) {
        TerminalStreams streams(c.input);
        std::atomic<int32_t> runState{0};
        const platform::Window window = platform::OpenProgressWindow(&runState);
        EXPECT_EQ(platform::AskUser(window, "Продолжить?\r\n", "!", c.type), c.answer) << c.input;
        EXPECT_EQ(streams.rest(), c.rest) << c.input;
        const bool okCancel = c.type == question;
        EXPECT_EQ(streams.output(), Utf8(okCancel ? u8"[!] Продолжить?\n(OK/Cancel) > \n"
                                                  : u8"[!] Продолжить?\n(OK) > \n"))
            << c.input;
    }
}

TEST(PosixTerminal, RunLoopWaitsForTheRunState) {
    {
        // The run ends waiting for the user: "[OK]" and one line.
        TerminalStreams streams("\nmore\n");
        std::atomic<int32_t> runState{1};
        const platform::Window window = platform::OpenProgressWindow(&runState);
        platform::RunWindowLoop(window);
        EXPECT_EQ(runState.load(), 2);
        EXPECT_EQ(streams.output(), "[OK]\n");
        EXPECT_EQ(streams.rest(), "more\n");
    }
    {
        // The run ends without waiting; the loop sleeps until the worker wakes it.
        TerminalStreams streams("unread\n");
        std::atomic<int32_t> runState{0};
        const platform::Window window = platform::OpenProgressWindow(&runState);
        std::thread worker([&] {
            platform::SleepMilliseconds(20);
            runState.store(2);
            platform::WakeWindowLoop(window);
        });
        platform::RunWindowLoop(window);
        worker.join();
        EXPECT_EQ(runState.load(), 2);
        platform::CloseProgressWindow(window);
        EXPECT_EQ(streams.output(), "");
        EXPECT_EQ(streams.rest(), "unread\n");
    }
}

}  // namespace
