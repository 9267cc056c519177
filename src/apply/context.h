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
#include "package/reader.h"
#include "platform/platform.h"
#include "text/codepage.h"

constexpr int kMaxArguments = 256;

// Texts are UTF-8 and limits count characters (see text/codepage.h): a buffer of
// TextBufferSize(n) bytes holds a text of at most n characters.
// Path texts hold at most 511 characters; a payload target 507, leaving room for ".bak".
constexpr size_t kPathCharacters = 511;
constexpr size_t kPathBufferSize = codepage::TextBufferSize(kPathCharacters);
// Program paths and command lines of external programs hold at most 1023 characters.
constexpr size_t kCommandCharacters = 1023;
constexpr size_t kCommandBufferSize = codepage::TextBufferSize(kCommandCharacters);

struct PatchContext {
    platform::Window dialogWindow;
    platform::Thread workerThread;
    char* registryKey = nullptr;
    char* installFolder = nullptr;  // always ends in a backslash, unless empty
    char* programName = nullptr;
    char* levelValueName = nullptr;
    int32_t installedLevel = 0;
    int32_t packageLevel = 0;
    std::atomic<int32_t> runState{0};
    Package package;
    Section nameTable;  // string list of (stored name, real path) pairs
    char* argv[kMaxArguments] = {};
    int32_t argc = 0;
};

// Run states shared by the worker, the window's button and the main loop.
constexpr int32_t kRunWorking = 0;
constexpr int32_t kRunWaitingForUser = 1;
constexpr int32_t kRunClosing = 2;
