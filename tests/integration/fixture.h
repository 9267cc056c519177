// Whole runs of the apply sequence in-process: a temporary installation folder and registry
// store, a package made by the package builder, scripted answers and the terminal transcript.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "delta_diff.h"
#include "package_builder.h"
#include "platform/platform.h"
#include "support.h"

namespace fixture {

using pkgbuild::Entry;
using test::Tree;

// Where every test package says the installation is registered.
inline const std::string kSubKey = "SOFTWARE\\Quellmar\\Game";
constexpr char kProgramName[] = "game.exe";

// The texts of a run as the terminal prints them (UTF-8, line breaks as "\n"), with the
// installation folder shown as "<game>".
inline const std::string kNotFound =
    std::string("Оригинальная программа не найдена на вашем компьютере!\n");
inline const std::string kCompleted = std::string("Обновление успешно установлено!\n");
inline const std::string kLevelQuestion =
    std::string("[!] Обнаружено текущее или более позднее обновление!\nПродолжить установку?\n") +
    "(OK/Cancel) > \n";
inline const std::string kCommandError =
    std::string("[!] Ошибка при исполнении внешних программ!\n(OK) > \n");
inline const std::string kUpdateError = std::string("Ошибка в процессе обновления файла!\n");
inline std::string Updating(const std::string& name) {
    return std::string("Обновляем файл ") + name + "....\n";
}
inline std::string Updated(const std::string& target) {
    return std::string("Обновление успешно завершено!\n(") + target + ")\n";
}
// A payload file installed under the installation folder.
inline std::string Installed(const std::string& name) {
    return Updating(name) + Updated("<game>\\" + name);
}

inline size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

inline std::string Dword(int32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// Names and strings are given as UTF-8 and stored as Windows-1251, as a package holds them.
inline Entry Section(const std::string& name, const pkgbuild::Bytes& content) {
    return Entry{.name = test::W(name), .content = content};
}
inline Entry Payload(const std::string& name, const std::string& content) {
    return Section(name, pkgbuild::ToBytes(content));
}
inline Entry List(const std::string& name, const std::vector<std::string>& strings) {
    std::vector<std::string> stored;
    for (const std::string& text : strings) {
        stored.push_back(test::W(text));
    }
    return Section(name, pkgbuild::StringList(stored));
}
// Its stream ends before its `size` bytes: the entry cannot be loaded.
inline Entry Damaged(Entry entry) {
    entry.size = static_cast<uint32_t>(entry.content.size() + 100);
    return entry;
}
// A delta entry that rebuilds `after` from `before`, in blocks of the smallest size so that
// a few KiB take several blocks.
inline Entry DeltaPayload(const std::string& name, const std::string& before,
                          const std::string& after) {
    pkgbuild::Bytes delta;
    pkgbuild::DeltaReport report;
    const auto bytes = [](const std::string& text) {
        return reinterpret_cast<const uint8_t*>(text.data());
    };
    EXPECT_TRUE(pkgbuild::EncodeDelta(bytes(before), before.size(), bytes(after), after.size(),
                                      {.blockSize = kDeltaMinBlockSize}, &delta, &report));
    return Entry{.name = test::W(name),
                 .content = delta,
                 .compressed = false,
                 .size = static_cast<uint32_t>(after.size()),
                 .delta = pkgbuild::DeltaSource{}};
}
// By default names the installation in another case than Register does: the registry ignores
// case.
Entry RegistryKeys(int32_t level, const std::string& subKey = "software\\QUELLMAR\\game",
                   const std::string& programValue = "PROGRAMNAME",
                   const std::string& levelValue = "patchlevel");
// A package of that level for the installation Register makes, `more` after its :RegistryKeys.
pkgbuild::Package PackageAtLevel(int32_t level, std::vector<Entry> more = {});

struct RunResult {
    bool waitForUser = true;
    std::string transcript;
};

// What a test does right before and right after the apply sequence itself (not around the
// building and opening of the package).
struct AroundApply {
    std::function<void()> before;
    std::function<void()> after;
};

// The transcript that the run under way has printed so far, as RunResult gives it; empty
// outside a run.
std::string TranscriptSoFar();

// A temporary installation folder with its main program file, and a registry store that is
// empty until Register seeds it. The folder and the store go with the object.
class Installation {
  public:
    Installation();
    ~Installation();
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    // The folder as a posix path, and as the installer names it (with its final backslash).
    const std::string& Folder() const { return folder_; }
    std::string FolderText() const { return folder_ + "\\"; }
    std::string Path(const std::string& relative) const { return folder_ + "/" + relative; }
    // The registry store, in a folder its first write makes.
    std::string RegistryFolder() const { return root_.Path("store"); }
    std::string RegistryFile() const { return RegistryFolder() + "/registry.reg"; }

    // ProgramPath, ProgramName and PatchLevel 0 under kSubKey.
    void Register() const;
    // Sets a value under kSubKey.
    void Set(const std::string& name, uint32_t type, const std::string& data) const;
    std::optional<int32_t> InstalledLevel() const;
    // The store's text after the installation's own key: what runs wrote elsewhere.
    std::string OtherKeys() const;

    // Writes files ("/" for a folder) under the folder, and takes its snapshot, the program
    // file left out.
    void Put(const Tree& items) const { test::Put(folder_, items); }
    Tree Files() const { return test::Snapshot(folder_, kProgramName); }

    // Builds the package and runs the apply sequence over it, `answers` one line a question.
    RunResult Run(const pkgbuild::Package& package, const std::string& answers = "",
                  const AroundApply& around = {}) const;

  private:
    test::TempFolder root_{"qlm_apply"};
    std::string folder_ = root_.Path("Game");
};

}  // namespace fixture
