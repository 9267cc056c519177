// The patch context: the one process-wide record shared by the shell, the package reader and
// the phases of the apply sequence. Fields, owners and lifetimes:
//   dialogWindow, workerThread, runState  - the shell (process entry, end of run)
//   words                                 - the worker's command-line step
//   package                               - OpenPackage / ClosePackage
//   registryKey ... packageLevel          - installation discovery
//   nameTable                             - LoadNameTable
// The context owns its texts and tables: the installation fields and the name table go
// together in ReleasePatchContext, the apply sequence's common exit; the words go with the
// context.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "apply/section.h"
#include "package/format.h"
#include "package/reader.h"
#include "platform/platform.h"

constexpr int kMaxArguments = 256;

// A NUL-terminated text the context owns, allocated with new (std::nothrow).
using OwnedText = std::unique_ptr<char[]>;

// The command line's words, at most kMaxArguments.
struct CommandWords {
    OwnedText words[kMaxArguments];
    int32_t count = 0;

    const char* operator[](int32_t index) const { return words[index].get(); }
};

struct PatchContext {
    platform::Window dialogWindow;
    platform::Thread workerThread;
    OwnedText registryKey;
    OwnedText installFolder;  // always ends in a backslash, unless empty
    OwnedText programName;
    OwnedText levelValueName;
    int32_t installedLevel = 0;
    int32_t packageLevel = 0;
    std::atomic<int32_t> runState{platform::kRunWorking};
    Package package;
    Section nameTable;  // string list of (stored name, real path) pairs
    CommandWords words;
};
