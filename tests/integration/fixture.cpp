#include "fixture.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "apply/apply.h"
#include "apply/context.h"
#include "platform/posix/terminal.h"

namespace fixture {
namespace {

// The terminal's transcript while a run is under way: its memory stream's buffer and length,
// and the installation folder that RunResult shows as "<game>".
struct Transcript {
    char** text = nullptr;
    size_t* size = nullptr;
    std::string folder;
};
Transcript current;

std::string ShowGame(std::string text, const std::string& folder) {
    for (size_t at; (at = text.find(folder)) != std::string::npos;) {
        text.replace(at, folder.size(), "<game>");
    }
    return text;
}

}  // namespace

std::string TranscriptSoFar() {
    // The terminal flushes each text it prints, which brings the buffer and length up to date.
    if (current.text == nullptr || *current.text == nullptr) {
        return {};
    }
    return ShowGame(std::string(*current.text, *current.size), current.folder);
}

Entry RegistryKeys(int32_t level, const std::string& subKey, const std::string& programValue,
                   const std::string& levelValue) {
    return Section(":RegistryKeys", pkgbuild::RegistryKeysSection(subKey, "programPath",
                                                                  programValue, levelValue, level));
}

pkgbuild::Package PackageAtLevel(int32_t level, std::vector<Entry> more) {
    pkgbuild::Package package{.entries = {RegistryKeys(level)}};
    package.entries.insert(package.entries.end(), more.begin(), more.end());
    return package;
}

Installation::Installation() {
    EXPECT_FALSE(root_.path().empty());
    setenv("QLM_REGISTRY", RegistryFile().c_str(), 1);
    test::Write(Path(kProgramName), "the installed program");
}

Installation::~Installation() {
    unsetenv("QLM_REGISTRY");
}

void Installation::Register() const {
    Set("ProgramPath", platform::kRegSz, folder_ + '\0');
    Set("ProgramName", platform::kRegSz, std::string(kProgramName) + '\0');
    Set("PatchLevel", platform::kRegDword, Dword(0));
}

void Installation::Set(const std::string& name, uint32_t type, const std::string& data) const {
    const platform::RegistryKey key =
        platform::CreateKey(platform::RegistryRoot::LocalMachine, kSubKey.c_str());
    EXPECT_TRUE(platform::SetValue(key, name.c_str(), type,
                                   reinterpret_cast<const uint8_t*>(data.data()),
                                   static_cast<uint32_t>(data.size())));
    platform::CloseKey(key);
}

std::optional<int32_t> Installation::InstalledLevel() const {
    const platform::RegistryKey key =
        platform::OpenKeyForQuery(platform::RegistryRoot::LocalMachine, kSubKey.c_str());
    int32_t level = 0;
    uint32_t size = sizeof level;
    uint32_t type = 0;
    const bool read =
        key.valid() &&
        platform::QueryValue(key, "PatchLevel", reinterpret_cast<uint8_t*>(&level), &size, &type);
    platform::CloseKey(key);
    return read && type == platform::kRegDword && size == 4 ? std::optional(level) : std::nullopt;
}

std::string Installation::OtherKeys() const {
    const std::string text = test::Read(RegistryFile()).value_or("");
    const size_t key = text.find("[HKEY_LOCAL_MACHINE\\" + kSubKey + "]");
    const size_t end = text.find("\n\n", key);
    return key == std::string::npos || end == std::string::npos ? text : text.substr(end + 2);
}

RunResult Installation::Run(const pkgbuild::Package& package, const std::string& answers,
                            const AroundApply& around) const {
    const std::string packagePath = root_.Path("patch.pkg");
    EXPECT_TRUE(pkgbuild::WriteFile(packagePath, pkgbuild::Build(package)));
    // The terminal reads the answers and writes the transcript to memory.
    FILE* input = tmpfile();
    fwrite(answers.data(), 1, answers.size(), input);
    rewind(input);
    char* text = nullptr;
    size_t size = 0;
    FILE* output = open_memstream(&text, &size);
    platform::SetTerminalStreams(input, output);
    RunResult result;
    auto context = std::make_unique<PatchContext>();
    context->dialogWindow = platform::OpenProgressWindow(&context->runState);
    current = Transcript{&text, &size, folder_};
    if (OpenPackage(context->package, packagePath.c_str(), false) >= 0) {
        if (around.before) {
            around.before();
        }
        RunApplySequence(*context, &result.waitForUser);
        if (around.after) {
            around.after();
        }
    } else {
        ADD_FAILURE() << "the test package does not open";
    }
    ClosePackage(context->package);
    platform::CloseProgressWindow(context->dialogWindow);
    platform::SetTerminalStreams(nullptr, nullptr);
    fclose(input);
    fclose(output);
    current = Transcript{};
    result.transcript = ShowGame(std::string(text, size), folder_);
    free(text);
    return result;
}

}  // namespace fixture
