// The patch context: the one process-wide record shared by the shell, the package reader and
// the phases of the apply sequence. Fields, owners and lifetimes:
//   dialogWindow, workerThread, runState  - the shell (process entry, end of run)
//   argv, argc                            - the worker's command-line step; never freed
//   package                               - OpenPackage / ClosePackage
//   registryKey ... packageLevel          - installation discovery; freed by ReleasePatchContext
//   nameTable                             - LoadNameTable; freed at the end of the apply sequence
#pragma once

#include <atomic>
#include <cstdint>

#include "apply/section.h"
#include "package/format.h"
#include "package/reader.h"
#include "platform/platform.h"

constexpr int kMaxArguments = 256;

struct PatchContext {
    platform::Window dialogWindow;
    platform::Thread workerThread;
    char* registryKey = nullptr;
    char* installFolder = nullptr;  // always ends in a backslash, unless empty
    char* programName = nullptr;
    char* levelValueName = nullptr;
    int32_t installedLevel = 0;
    int32_t packageLevel = 0;
    std::atomic<int32_t> runState{platform::kRunWorking};
    Package package;
    Section nameTable;  // string list of (stored name, real path) pairs
    char* argv[kMaxArguments] = {};
    int32_t argc = 0;
};
