#include <cstring>
#include <new>
#include <string_view>

#include "apply/apply.h"
#include "apply/section.h"
#include "apply/status.h"

namespace {

constexpr const char kKeyErrorText[] = "Ошибка при получении ключа %s из Windows registry\r\n";
constexpr const char kValueErrorText[] = "Ошибка при чтении из Windows registry (%s)\r\n";
constexpr const char kLevelQuestion[] =
    "Обнаружено текущее или более позднее обновление!\r\nПродолжить установку?\r\n";

// The folder text may take one more character, the backslash appended to it.
constexpr size_t kFolderTextSize = kRegistryTextSize + 1;
// Folder text and program name together always fit: 512 + 511 characters.
constexpr size_t kProgramPathSize = codepage::TextBufferSize(2 * kRegistryDataCharacters - 1);

OwnedText CopyText(const char* text) {
    const size_t size = strlen(text) + 1;
    OwnedText copy(new (std::nothrow) char[size]);
    if (copy) {
        memcpy(copy.get(), text, size);
    }
    return copy;
}

struct RegistryKeys {
    const char* subKey;
    const char* folderValue;
    const char* programValue;
    const char* levelValue;
    int32_t packageLevel;
};

// All four strings and the level must lie within the section.
bool ReadRegistryKeys(const Section& section, RegistryKeys* keys) {
    SectionReader reader(section);
    uint32_t level = 0;
    if (!reader.ReadString(&keys->subKey) || !reader.ReadString(&keys->folderValue) ||
        !reader.ReadString(&keys->programValue) || !reader.ReadString(&keys->levelValue) ||
        !reader.ReadUint32(&level)) {
        return false;
    }
    keys->packageLevel = static_cast<int32_t>(level);
    return true;
}

void AppendBackslash(char* folder) {
    const size_t length = strlen(folder);
    // An empty folder text stays empty: paths then resolve against the current folder.
    if (length > 0 && folder[length - 1] != '\\') {
        folder[length] = '\\';
        folder[length + 1] = '\0';
    }
}

int32_t ReadInstalledLevel(const PatchContext& context, const RegistryKeys& keys) {
    char data[kRegistryTextSize];
    uint32_t type = 0;
    if (!ReadRegistryString(platform::RegistryRoot::LocalMachine, keys.subKey,
                            context.levelValueName.get(), data, &type, true, context) ||
        type != platform::kRegDword) {
        return 0;
    }
    int32_t level = 0;
    memcpy(&level, data, sizeof level);
    return level;
}

// Fills the installation fields; false when something could not be had.
bool FillInstallation(PatchContext& context, const RegistryKeys& keys, bool* programRead) {
    context.registryKey = CopyText(keys.subKey);
    if (!context.registryKey) {
        return false;
    }
    char folder[kFolderTextSize];
    uint32_t type = 0;
    ReadRegistryString(platform::RegistryRoot::LocalMachine, keys.subKey, keys.folderValue, folder,
                       &type, false, context);
    AppendBackslash(folder);
    context.installFolder = CopyText(folder);
    if (!context.installFolder) {
        return false;
    }
    char program[kRegistryTextSize];
    *programRead = ReadRegistryString(platform::RegistryRoot::LocalMachine, keys.subKey,
                                      keys.programValue, program, &type, false, context);
    if (*programRead) {
        context.programName = CopyText(program);
        if (!context.programName) {
            return false;
        }
    }
    context.levelValueName = CopyText(keys.levelValue);
    if (!context.levelValueName) {
        return false;
    }
    context.packageLevel = keys.packageLevel;
    context.installedLevel = ReadInstalledLevel(context, keys);
    return true;
}

// Text data counts in characters, other data in bytes: at most 512, of which one must be the
// terminator when all 512 are used.
bool TooLong(const char* data, uint32_t size, uint32_t type) {
    const std::string_view bytes(data, size);
    const size_t count = platform::IsTextValueType(type) ? codepage::CountCharacters(bytes) : size;
    return count > kRegistryDataCharacters ||
           (count == kRegistryDataCharacters && bytes.find('\0') == std::string_view::npos);
}

}  // namespace

bool ReadRegistryString(platform::RegistryRoot root, const char* subKey, const char* valueName,
                        char* out, uint32_t* outType, bool quiet, const PatchContext& context) {
    memset(out, 0, kRegistryTextSize);
    *outType = 0;
    const platform::RegistryKey key = platform::OpenKeyForQuery(root, subKey);
    if (!key.valid()) {
        if (!quiet) {
            ShowStatus(context, kKeyErrorText, subKey);
        }
        return false;
    }
    uint32_t size = kRegistryTextSize;
    uint32_t type = 0;
    bool read = platform::QueryValue(key, valueName, reinterpret_cast<uint8_t*>(out), &size, &type);
    if (read && TooLong(out, size, type)) {
        read = false;  // no room left for the terminator
    }
    platform::CloseKey(key);
    if (!read) {
        memset(out, 0, kRegistryTextSize);
        if (!quiet) {
            ShowStatus(context, kValueErrorText, valueName);
        }
        return false;
    }
    // Data without a NUL ends at its length; the bytes after it are still the zeros above.
    *outType = type;
    return true;
}

bool DiscoverInstallation(PatchContext& context) {
    Section section;
    RegistryKeys keys{};
    if (LoadSection(context, SectionKind::RegistryKeys, &section) != SectionLoad::Loaded ||
        !ReadRegistryKeys(section, &keys)) {
        return false;
    }
    bool programRead = false;
    if (!FillInstallation(context, keys, &programRead) || !programRead) {
        return false;
    }
    char programPath[kProgramPathSize];
    return FormatPath(programPath, sizeof programPath, "%s%s", context.installFolder.get(),
                      context.programName.get()) &&
           platform::PathExists(programPath);
}

bool ConfirmStart(PatchContext& context) {
    Section section;
    switch (LoadSection(context, SectionKind::StartupMsg, &section)) {
        case SectionLoad::Missing:
            return true;
        case SectionLoad::Failed:
            return false;  // as if declined: nothing has been changed yet
        case SectionLoad::Loaded:
            break;
    }
    SectionReader reader(section);
    const char* caption = nullptr;
    const char* text = nullptr;
    reader.ReadString(&caption);
    reader.ReadString(&text);
    return AskUser(context, text, caption,
                   platform::kBoxOkCancel | platform::kBoxIconInformation) == platform::kAnswerOk;
}

bool CheckPatchLevel(PatchContext& context) {
    if (context.installedLevel < context.packageLevel) {
        return true;
    }
    return AskUser(context, kLevelQuestion, "!",
                   platform::kBoxOkCancel | platform::kBoxIconExclamation) == platform::kAnswerOk;
}
