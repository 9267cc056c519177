// Whole runs of the apply sequence in-process: a temporary installation folder and registry
// store, a package made by the package builder, scripted answers and the terminal transcript.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package_builder.h"
#include "platform/platform.h"
#include "temp_folder.h"

namespace fixture {

// Where every test package says the installation is registered, and its value names.
inline const std::string kSubKey = "SOFTWARE\\Quellmar\\Game";
constexpr char kProgramName[] = "game.exe";

// The texts of a run as the terminal prints them (UTF-8, line breaks as "\n").
std::string NotFound();
std::string KeyError(const std::string& subKey);
std::string ValueError(const std::string& valueName);
std::string Updating(const std::string& relativeName);
std::string Updated(const std::string& target);
std::string UpdateError(const std::string& target);
std::string Completed();
std::string LevelQuestion();
std::string CommandError();

struct RegistryValue {
    uint32_t type = 0;
    std::string data;
};

void SetString(platform::RegistryRoot root, const std::string& key, const std::string& name,
               const std::string& text);
void SetDword(platform::RegistryRoot root, const std::string& key, const std::string& name,
              int32_t value);
void SetRaw(platform::RegistryRoot root, const std::string& key, const std::string& name,
            uint32_t type, const std::string& data);
std::optional<RegistryValue> ReadValue(platform::RegistryRoot root, const std::string& key,
                                       const std::string& name);
bool KeyExists(platform::RegistryRoot root, const std::string& key);
inline std::string Dword(int32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

pkgbuild::Entry Section(const std::string& name, const pkgbuild::Bytes& content);
pkgbuild::Entry Payload(const std::string& name, const std::string& content);
// A package registered under kSubKey with the value names ProgramPath, ProgramName, PatchLevel.
pkgbuild::Package PackageAtLevel(int32_t level, std::vector<pkgbuild::Entry> more = {});

struct RunResult {
    bool waitForUser = true;
    std::string transcript;  // status texts and questions, in order
};

// `texts` appear in `transcript` in this order.
::testing::AssertionResult InOrder(const std::string& transcript,
                                   const std::vector<std::string>& texts);
size_t Count(const std::string& transcript, const std::string& text);

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
    // A path under the installation folder, the installer's backslashes turned into slashes.
    std::string Path(const std::string& relative) const;
    std::string RegistryFile() const { return root_.Path("registry.reg"); }

    // ProgramPath, ProgramName and, when given, PatchLevel as a REG_DWORD.
    void Register(std::optional<int32_t> level = std::nullopt) const;
    std::optional<int32_t> InstalledLevel() const;

    void Write(const std::string& relative, const std::string& content) const;
    std::optional<std::string> Read(const std::string& relative) const;
    bool Exists(const std::string& relative) const;
    void MakeFolder(const std::string& relative) const;

    // Builds the package, runs the apply sequence over it with `answers` (one line per
    // question) and returns the wait-for-user flag and the transcript.
    RunResult Run(const pkgbuild::Package& package, const std::string& answers = "") const;

  private:
    TempFolder root_{"qlm_apply"};
    std::string folder_;
};

}  // namespace fixture
