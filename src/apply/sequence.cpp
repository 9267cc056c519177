#include <cstdint>

#include "apply/apply.h"
#include "apply/status.h"

namespace {

constexpr const char kNotFoundText[] = "Оригинальная программа не найдена на вашем компьютере!\r\n";

// Steps 2 to 12: returns at the first stop. Nothing on disk or in the registry changes before
// the folders are created, so every stop before that leaves the installation untouched.
void RunPhases(PatchContext& context, bool* waitForUser) {
    if (!DiscoverInstallation(context)) {
        ShowStatus(context, kNotFoundText);
        return;
    }
    if (!ConfirmStart(context) || !CheckPatchLevel(context)) {
        *waitForUser = false;
        return;
    }
    const bool namesLoaded = LoadNameTable(context);
    // The failure flag decides only whether the run is completed and stamped; every phase
    // below runs whatever the earlier ones did.
    bool failed = !namesLoaded;
    if (!CreateFolders(context)) {
        failed = true;
    }
    if (!ReplacePayloadFiles(context)) {
        failed = true;
    }
    if (!RunExternalCommands(context)) {
        failed = true;
    }
    if (!RemoveFiles(context)) {
        failed = true;
    }
    if (!ApplyRegistryTable(context)) {
        failed = true;
    }
    StampPatchLevel(context, failed);
}

void FreeText(char*& text) {
    delete[] text;
    text = nullptr;
}

}  // namespace

void RunApplySequence(PatchContext& context, bool* waitForUser) {
    context.registryKey = nullptr;
    context.installFolder = nullptr;
    context.programName = nullptr;
    context.levelValueName = nullptr;
    context.installedLevel = 0;
    context.packageLevel = 0;
    context.nameTable = Section{};

    RunPhases(context, waitForUser);

    context.nameTable = Section{};
    ReleasePatchContext(context);
}

void ReleasePatchContext(PatchContext& context) {
    FreeText(context.registryKey);
    FreeText(context.installFolder);
    FreeText(context.programName);
    FreeText(context.levelValueName);
}
