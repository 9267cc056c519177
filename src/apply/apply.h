// The apply sequence over an open package and its phases, in the order they run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "apply/context.h"

// Runs every phase in order; clears *waitForUser only when the user declines the opening
// message or the version gate. Whatever phase it stops at, it leaves through one exit,
// ReleasePatchContext; the package stays open for the caller's ClosePackage.
void RunApplySequence(PatchContext& context, bool* waitForUser);
// Releases what the phases acquired: the installation fields and the name table, as far as
// they were had.
void ReleasePatchContext(PatchContext& context);

// Formats into a fixed path buffer of `size` bytes; false when the text did not fit, in bytes
// or in the characters the buffer is for (`out` then holds a text that must not be used as a
// path).
bool FormatPath(char* out, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Calls `action` with the installation folder followed by each string of the string-list
// section `kind`, in order; a path that does not fit its buffer is skipped. True when the
// section is absent or was walked; false when it is present but could not be loaded.
bool ForEachInstallPath(const PatchContext& context, SectionKind kind,
                        void (*action)(const char* path));

// Discovery and version gate.
// Reads a registry value as text into `out` (kRegistryTextSize bytes, always terminated;
// empty after a failure). Its data holds at most 512 characters, the NUL included: 512
// characters without a NUL count as too long.
constexpr size_t kRegistryDataCharacters = 512;
constexpr uint32_t kRegistryTextSize = codepage::TextBufferSize(kRegistryDataCharacters - 1);
bool ReadRegistryString(platform::RegistryRoot root, const char* subKey, const char* valueName,
                        char* out, uint32_t* outType, bool quiet, const PatchContext& context);
bool DiscoverInstallation(PatchContext& context);  // found
bool ConfirmStart(PatchContext& context);          // go on
bool CheckPatchLevel(PatchContext& context);       // go on

// Folders and files. Each returns false when the phase failed (sets the failure flag).
bool LoadNameTable(PatchContext& context);
// Copies the relative name of a payload entry (its pair's real path, or the entry name) into
// `relativeName` (kPathBufferSize bytes); false when it does not fit.
bool TranslateName(const PatchContext& context, const DirectoryEntry& entry, char* relativeName);
bool CreateFolders(PatchContext& context);
bool ReplacePayloadFiles(PatchContext& context);
bool ReplaceFile(PatchContext& context, const DirectoryEntry& entry);

// External commands; false when a command failed.
bool RunExternalCommands(PatchContext& context);

// Removal, registry table, stamp.
bool RemoveFiles(PatchContext& context);
bool ApplyRegistryTable(PatchContext& context);
void StampPatchLevel(PatchContext& context, bool failed);
