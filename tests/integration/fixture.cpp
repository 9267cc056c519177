#include "fixture.h"

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "apply/apply.h"
#include "apply/context.h"
#include "platform/posix/terminal.h"

namespace fixture {
namespace {

std::string Utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

std::string ReadAll(FILE* file) {
    fflush(file);
    rewind(file);
    std::string text;
    char chunk[4096];
    size_t read = 0;
    while ((read = fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, read);
    }
    return text;
}

}  // namespace

std::string NotFound() {
    return Utf8(u8"Оригинальная программа не найдена на вашем компьютере!\n");
}
std::string KeyError(const std::string& subKey) {
    return Utf8(u8"Ошибка при получении ключа ") + subKey + Utf8(u8" из Windows registry\n");
}
std::string ValueError(const std::string& valueName) {
    return Utf8(u8"Ошибка при чтении из Windows registry (") + valueName + ")\n";
}
std::string Updating(const std::string& relativeName) {
    return Utf8(u8"Обновляем файл ") + relativeName + "....\n";
}
std::string Updated(const std::string& target) {
    return Utf8(u8"Обновление успешно завершено!\n(") + target + ")\n";
}
std::string UpdateError(const std::string& target) {
    return Utf8(u8"Ошибка в процессе обновления файла!\n(") + target + ")\n";
}
std::string Completed() {
    return Utf8(u8"Обновление успешно установлено!\n");
}
std::string LevelQuestion() {
    return Utf8(u8"[!] Обнаружено текущее или более позднее обновление!\nПродолжить установку?\n");
}
std::string CommandError() {
    return Utf8(u8"[!] Ошибка при исполнении внешних программ!\n");
}

void SetRaw(platform::RegistryRoot root, const std::string& key, const std::string& name,
            uint32_t type, const std::string& data) {
    const platform::RegistryKey handle = platform::CreateKey(root, key.c_str());
    ASSERT_TRUE(handle.valid());
    EXPECT_TRUE(platform::SetValue(handle, name.c_str(), type,
                                   reinterpret_cast<const uint8_t*>(data.data()),
                                   static_cast<uint32_t>(data.size())));
    platform::CloseKey(handle);
}

void SetString(platform::RegistryRoot root, const std::string& key, const std::string& name,
               const std::string& text) {
    SetRaw(root, key, name, platform::kRegSz, std::string(text.c_str(), text.size() + 1));
}

void SetDword(platform::RegistryRoot root, const std::string& key, const std::string& name,
              int32_t value) {
    SetRaw(root, key, name, platform::kRegDword, Dword(value));
}

std::optional<RegistryValue> ReadValue(platform::RegistryRoot root, const std::string& key,
                                       const std::string& name) {
    const platform::RegistryKey handle = platform::OpenKeyForQuery(root, key.c_str());
    if (!handle.valid()) {
        return std::nullopt;
    }
    uint8_t data[4096];
    uint32_t size = sizeof data;
    RegistryValue value;
    const bool read = platform::QueryValue(handle, name.c_str(), data, &size, &value.type);
    platform::CloseKey(handle);
    if (!read) {
        return std::nullopt;
    }
    value.data.assign(reinterpret_cast<const char*>(data), size);
    return value;
}

bool KeyExists(platform::RegistryRoot root, const std::string& key) {
    const platform::RegistryKey handle = platform::OpenKeyForQuery(root, key.c_str());
    platform::CloseKey(handle);
    return handle.valid();
}

pkgbuild::Entry Section(const std::string& name, const pkgbuild::Bytes& content) {
    pkgbuild::Entry entry;
    entry.name = name;
    entry.content = content;
    return entry;
}

pkgbuild::Entry Payload(const std::string& name, const std::string& content) {
    return Section(name, pkgbuild::ToBytes(content));
}

pkgbuild::Package PackageAtLevel(int32_t level, std::vector<pkgbuild::Entry> more) {
    pkgbuild::Package package;
    package.entries.push_back(Section(
        ":RegistryKeys",
        pkgbuild::RegistryKeysSection(kSubKey, "ProgramPath", "ProgramName", "PatchLevel", level)));
    for (pkgbuild::Entry& entry : more) {
        package.entries.push_back(std::move(entry));
    }
    return package;
}

::testing::AssertionResult InOrder(const std::string& transcript,
                                   const std::vector<std::string>& texts) {
    size_t from = 0;
    for (const std::string& text : texts) {
        const size_t at = transcript.find(text, from);
        if (at == std::string::npos) {
            return ::testing::AssertionFailure() << "\"" << text << "\" not found in order in:\n"
                                                 << transcript;
        }
        from = at + text.size();
    }
    return ::testing::AssertionSuccess();
}

size_t Count(const std::string& transcript, const std::string& text) {
    size_t count = 0;
    for (size_t at = transcript.find(text); at != std::string::npos;
         at = transcript.find(text, at + text.size())) {
        ++count;
    }
    return count;
}

Installation::Installation() {
    EXPECT_FALSE(root_.path().empty());
    folder_ = root_.Path("Game");
    std::filesystem::create_directory(folder_);
    setenv("QLM_REGISTRY", RegistryFile().c_str(), 1);
    Write(kProgramName, "the installed program");
}

Installation::~Installation() {
    unsetenv("QLM_REGISTRY");
}

std::string Installation::Path(const std::string& relative) const {
    std::string path = folder_ + "/" + relative;
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

void Installation::Register(std::optional<int32_t> level) const {
    SetString(platform::RegistryRoot::LocalMachine, kSubKey, "ProgramPath", folder_);
    SetString(platform::RegistryRoot::LocalMachine, kSubKey, "ProgramName", kProgramName);
    if (level) {
        SetDword(platform::RegistryRoot::LocalMachine, kSubKey, "PatchLevel", *level);
    }
}

std::optional<int32_t> Installation::InstalledLevel() const {
    const std::optional<RegistryValue> value =
        ReadValue(platform::RegistryRoot::LocalMachine, kSubKey, "PatchLevel");
    if (!value || value->type != platform::kRegDword || value->data.size() != 4) {
        return std::nullopt;
    }
    int32_t level = 0;
    std::memcpy(&level, value->data.data(), sizeof level);
    return level;
}

void Installation::Write(const std::string& relative, const std::string& content) const {
    const std::filesystem::path path = Path(relative);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::optional<std::string> Installation::Read(const std::string& relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    if (!in || std::filesystem::is_directory(Path(relative))) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool Installation::Exists(const std::string& relative) const {
    return std::filesystem::exists(Path(relative));
}

void Installation::MakeFolder(const std::string& relative) const {
    std::filesystem::create_directories(Path(relative));
}

RunResult Installation::Run(const pkgbuild::Package& package, const std::string& answers) const {
    RunResult result;
    const std::string packagePath = root_.Path("patch.pkg");
    EXPECT_TRUE(pkgbuild::WriteFile(packagePath, pkgbuild::Build(package)));

    FILE* input = tmpfile();
    FILE* output = tmpfile();
    fwrite(answers.data(), 1, answers.size(), input);
    rewind(input);
    platform::SetTerminalStreams(input, output);

    auto context = std::make_unique<PatchContext>();
    context->dialogWindow = platform::OpenProgressWindow(&context->runState);
    if (OpenPackage(context->package, packagePath.c_str(), false) >= 0) {
        RunApplySequence(*context, &result.waitForUser);
    } else {
        ADD_FAILURE() << "the test package does not open";
    }
    ClosePackage(context->package);
    platform::CloseProgressWindow(context->dialogWindow);

    platform::SetTerminalStreams(nullptr, nullptr);
    result.transcript = ReadAll(output);
    fclose(input);
    fclose(output);
    return result;
}

}  // namespace fixture
