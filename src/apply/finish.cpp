#include <cstring>

#include "apply/apply.h"
#include "apply/section.h"
#include "apply/status.h"
#include "package/numbers.h"

namespace {

constexpr const char kCompletedText[] = "Обновление успешно установлено!\r\n";

struct RegistryRecord {
    uint32_t operation = 0;
    uint32_t root = 0;
    const char* subKey = nullptr;
    uint32_t valueType = 0;
    const char* valueName = nullptr;
    const char* data = nullptr;
};

// False at the end of the table: its terminator, or a record that does not lie wholly
// within the section. A number is parsed from the bytes as the package holds them.
bool ReadRegistryRecord(SectionReader& reader, RegistryRecord* record) {
    return reader.ReadUint32(&record->operation) && record->operation != kRegistryOperationEnd &&
           reader.ReadUint32(&record->root) && reader.ReadString(&record->subKey) &&
           reader.ReadUint32(&record->valueType) && reader.ReadString(&record->valueName) &&
           (record->valueType == kRegistryValueDword ? reader.ReadRawString(&record->data)
                                                     : reader.ReadString(&record->data));
}

void WriteDword(platform::RegistryKey key, const char* valueName, int32_t value) {
    uint8_t bytes[sizeof value];
    memcpy(bytes, &value, sizeof value);  // little-endian, as REG_DWORD is
    platform::SetValue(key, valueName, platform::kRegDword, bytes, sizeof bytes);
}

// Outcomes are not reported: a key or value that cannot be written is passed over.
void ApplyRegistryRecord(const RegistryRecord& record) {
    const platform::RegistryRoot root = record.root == kRegistryRootCurrentUser
                                            ? platform::RegistryRoot::CurrentUser
                                            : platform::RegistryRoot::LocalMachine;
    const platform::RegistryKey key = platform::CreateKey(root, record.subKey);
    if (!key.valid()) {
        return;
    }
    if (record.valueType == kRegistryValueDword) {
        WriteDword(key, record.valueName, ParseNumber(record.data));
    } else if (record.valueType == kRegistryValueText) {
        platform::SetValue(key, record.valueName, platform::kRegSz,
                           reinterpret_cast<const uint8_t*>(record.data),
                           static_cast<uint32_t>(strlen(record.data) + 1));
    }
    platform::CloseKey(key);
}

}  // namespace

bool RemoveFiles(PatchContext& context) {
    // A file goes with the first call; an empty folder survives it and goes with the second.
    return ForEachInstallPath(context, SectionKind::FilesToRemove, [](const char* path) {
        platform::DeleteFilePath(path);
        platform::RemoveFolder(path);
    });
}

bool ApplyRegistryTable(PatchContext& context) {
    Section section;
    switch (LoadSection(context, SectionKind::RegistryTable, &section)) {
        case SectionLoad::Missing:
            return true;
        case SectionLoad::Failed:
            return false;
        case SectionLoad::Loaded:
            break;
    }
    SectionReader reader(section);
    RegistryRecord record;
    while (ReadRegistryRecord(reader, &record)) {
        if (record.operation == kRegistryOperationApply) {
            ApplyRegistryRecord(record);
        }
    }
    return true;
}

void StampPatchLevel(PatchContext& context, bool failed) {
    if (failed) {
        return;
    }
    ShowStatus(context, kCompletedText);
    // The key is opened, never created: a lost stamp goes unreported.
    const platform::RegistryKey key =
        platform::OpenKeyForSet(platform::RegistryRoot::LocalMachine, context.registryKey.get());
    if (!key.valid()) {
        return;
    }
    WriteDword(key, context.levelValueName.get(), context.packageLevel);
    platform::CloseKey(key);
}
