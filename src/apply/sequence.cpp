#include <cstdint>

#include "apply/apply.h"
#include "apply/status.h"

namespace {

constexpr const char kNotFoundText[] = "Оригинальная программа не найдена на вашем компьютере!\r\n";

// Every phase of a run, in order: finding the installation, the opening message and the
// version gate (where a run may stop), then the name table, folders, payload files, external
// programs, removals, the registry table and the patch-level stamp (which all run). Nothing on
// disk or in the registry changes before the folders are created, so every stop before that
// leaves the installation untouched.
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

}  // namespace

void RunApplySequence(PatchContext& context, bool* waitForUser) {
    RunPhases(context, waitForUser);
    ReleasePatchContext(context);
}

void ReleasePatchContext(PatchContext& context) {
    context.registryKey.reset();
    context.installFolder.reset();
    context.programName.reset();
    context.levelValueName.reset();
    context.installedLevel = 0;
    context.packageLevel = 0;
    context.nameTable = Section{};
}
