#include <cstring>
#include <utility>

#include "apply/apply.h"
#include "apply/section.h"
#include "apply/status.h"

namespace {

constexpr const char kUpdatingText[] = "Обновляем файл %s....";
constexpr const char kUpdatedText[] = "Обновление успешно завершено!\r\n(%s)\r\n";
constexpr const char kUpdateErrorText[] = "Ошибка в процессе обновления файла!\r\n(%s)\r\n";

// Creates each folder on the way to the file: the installation folder followed by the part
// of the relative name before each backslash. Results are not examined; a file whose folder
// is missing fails when it is created.
void CreateIntermediateFolders(const PatchContext& context, const char* relativeName) {
    const char* name = relativeName[0] == '\\' ? relativeName + 1 : relativeName;
    for (const char* separator = strchr(name, '\\'); separator != nullptr;
         separator = strchr(separator + 1, '\\')) {
        char folder[kPathBufferSize];
        if (FormatPath(folder, sizeof folder, "%s%.*s", context.installFolder.get(),
                       static_cast<int>(separator - name), name)) {
            platform::CreateFolder(folder);
        }
    }
}

// Creates the new file at its final size and fills it through views of its mapping with
// `fill(mapping)`. False when any step fails or `fill` does. An empty file gets no mapping (it
// cannot have one) and is filled with an invalid one.
template <typename Fill>
bool CreateAndFill(const char* target, uint64_t size, Fill fill) {
    const platform::File file = platform::CreateFileReadWrite(target);
    if (!file.valid()) {
        return false;
    }
    const platform::Mapping mapping =
        size == 0 ? platform::Mapping{} : platform::CreateWriteMapping(file, size);
    const bool filled = (size == 0 || mapping.valid()) && fill(mapping);
    if (mapping.valid()) {
        platform::CloseMapping(mapping);
    }
    platform::CloseFile(file);
    return filled;
}

// The new file from the entry's content, window by window.
bool WriteNewFile(const PatchContext& context, const DirectoryEntry& entry, const char* target) {
    return CreateAndFill(target, entry.size, [&](platform::Mapping mapping) {
        return entry.size == 0 || LoadEntryToFile(context.package, entry, mapping);
    });
}

// Writes the delta's blocks into the new file, each through a walk of its own (so no view of
// the file is larger than a block), then checks the new file's hash.
bool WriteDeltaBlocks(DeltaApply& apply, Walk& delta, const char* target) {
    return CreateAndFill(target, apply.header.newSize, [&](platform::Mapping mapping) {
        bool written = true;
        while (written && apply.length != 0) {
            Walk out = FileWalk(mapping, apply.done, apply.length);
            written = ApplyDeltaBlock(apply, delta, out) && WalkDone(out);
            EndWalk(out);
        }
        return written && FinishDelta(apply, delta);
    });
}

// The new file rebuilt by the delta entry from the file it replaces, now its backup: the
// backup's size and hash are checked before the new file is created, the new file's hash
// once it is filled. A backup that already is the new file (a run interrupted after the file
// was replaced) is moved back as it is. False when the backup is missing or is another file,
// or the delta is damaged.
bool RebuildFile(const PatchContext& context, const DirectoryEntry& entry, const char* target,
                 const char* backup) {
    Walk delta;
    DeltaHeader header;
    if (!StartDeltaEntry(context.package, entry, &delta, &header)) {
        return false;
    }
    MappedFile old;
    DeltaApply apply;
    const bool opened = OpenMappedFile(backup, &old);
    bool rebuilt = opened && StartDelta(apply, header, old.mapping, old.length);
    const bool alreadyNew =
        opened && !rebuilt &&
        FileHasSizeAndHash(old.mapping, old.length, header.newSize, header.newHash);
    rebuilt = rebuilt && WriteDeltaBlocks(apply, delta, target);
    EndDelta(apply);
    EndWalk(delta);
    CloseMappedFile(old);
    return alreadyNew ? platform::MovePath(backup, target) : rebuilt;
}

// A relative name that is empty or ends in a backslash names a folder, not a file: replacing
// it would move the folder itself out of the way.
bool NamesAFile(const char* relativeName) {
    const size_t length = strlen(relativeName);
    return length > 0 && relativeName[length - 1] != '\\';
}

}  // namespace

bool ForEachInstallPath(const PatchContext& context, SectionKind kind,
                        void (*action)(const char* path)) {
    Section section;
    switch (LoadSection(context, kind, &section)) {
        case SectionLoad::Missing:
            return true;
        case SectionLoad::Failed:
            return false;
        case SectionLoad::Loaded:
            break;
    }
    SectionReader reader(section);
    const char* relative = nullptr;
    while (reader.NextListString(&relative)) {
        char path[kPathBufferSize];
        if (FormatPath(path, sizeof path, "%s%s", context.installFolder.get(), relative)) {
            action(path);
        }
    }
    return true;
}

bool LoadNameTable(PatchContext& context) {
    Section section;
    switch (LoadSection(context, SectionKind::XlatNamesTable, &section)) {
        case SectionLoad::Failed:
            return false;  // placeholder names must never be installed as they are
        case SectionLoad::Missing:
            // The empty table: its guard byte ends the list.
            if (!AllocateSection(0, &section)) {
                return false;
            }
            break;
        case SectionLoad::Loaded:
            break;
    }
    context.nameTable = std::move(section);
    return true;
}

bool TranslateName(const PatchContext& context, const DirectoryEntry& entry, char* relativeName) {
    char entryName[kNameSize * codepage::kMaxCp1251Utf8Bytes + 1];
    const size_t entryLength =
        codepage::DecodeCp1251(entry.name, EntryNameLength(entry), entryName);
    SectionReader reader(context.nameTable);
    const char* storedName = nullptr;
    const char* realPath = nullptr;
    // A stored name without a real path after it (an odd count) ends the table unmatched.
    while (reader.NextListString(&storedName) && reader.NextListString(&realPath)) {
        if (NamesMatch(storedName, strlen(storedName), entryName, entryLength)) {
            return FormatPath(relativeName, kPathBufferSize, "%s", realPath);
        }
    }
    return FormatPath(relativeName, kPathBufferSize, "%s", entryName);
}

bool CreateFolders(PatchContext& context) {
    return ForEachInstallPath(context, SectionKind::Folders,
                              [](const char* path) { platform::CreateFolder(path); });
}

bool ReplacePayloadFiles(PatchContext& context) {
    if (!context.nameTable.data) {
        return false;  // without the name table no payload file can be placed
    }
    bool allReplaced = true;
    for (uint32_t index = 0; index < context.package.header.entryCount; ++index) {
        const DirectoryEntry& entry = context.package.directory[index];
        if (!IsControlSection(entry) && !ReplaceFile(context, entry)) {
            allReplaced = false;
        }
    }
    return allReplaced;
}

bool ReplaceFile(PatchContext& context, const DirectoryEntry& entry) {
    char relativeName[kPathBufferSize];
    char target[kPathBufferSize];
    char backup[kPathBufferSize];
    // Both texts are always formed, truncated at worst, so that the reports can show them.
    const bool nameFits = TranslateName(context, entry, relativeName);
    const bool targetFits =
        FormatPath(target, sizeof target, "%s%s", context.installFolder.get(), relativeName);
    // A target leaves room for its backup's suffix within the path limit.
    const bool pathsFit = nameFits && targetFits && NamesAFile(relativeName) &&
                          FormatPath(backup, sizeof backup, "%s%s", target, kBackupSuffix);
    ShowStatus(context, kUpdatingText, relativeName);
    if (!pathsFit) {
        // Nothing has been touched for a name that cannot be held.
        ShowStatus(context, kUpdateErrorText, target);
        return false;
    }
    CreateIntermediateFolders(context, relativeName);

    // When a backup of that name is left over, the move fails and the current file goes; the
    // leftover, the older copy, is then what a failure restores. A delta is rebuilt from the
    // backup alone: when the move failed and there is none, the current file is the only copy
    // of the old data and stays as it is.
    const bool delta = StorageOf(context.package.header, entry) == EntryStorage::Delta;
    if (!platform::MovePath(target, backup) && delta && !platform::PathExists(backup)) {
        ShowStatus(context, kUpdateErrorText, target);
        return false;
    }
    platform::DeleteFilePath(target);
    const bool written =
        delta ? RebuildFile(context, entry, target, backup) : WriteNewFile(context, entry, target);
    if (!written) {
        platform::DeleteFilePath(target);
        platform::MovePath(backup, target);
        ShowStatus(context, kUpdateErrorText, target);
        return false;
    }
    platform::DeleteFilePath(backup);
    ShowStatus(context, kUpdatedText, target);
    return true;
}
