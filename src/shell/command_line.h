// The worker's body: the command line, the choice of run mode, and the end of the run.
#pragma once

#include <cstdint>

#include "apply/context.h"

constexpr char kUsageText[] = "Usage: PATCH.EXE resource_nm [output_nm MAKEEXE]";
constexpr char kBinderKeyword[] = "MAKEEXE";
constexpr uint32_t kWorkerStackSize = 65536;

// Splits the command line into at most kMaxArguments words: blanks (0x01-0x20) separate
// words, a double quote opens a word that runs to the next double quote or the end, and an
// empty quoted word ends the parsing. Bytes 0x80-0xFF are ordinary word bytes. A word that
// cannot be allocated ends the parsing too.
void ParseCommandLine(const char* commandLine, CommandWords* words);

enum class RunMode { Usage, Embedded, PackageFile, Binder };
RunMode ChooseRunMode(const CommandWords& words);

// Runs the mode the command line asks for; returns the wait-for-user flag.
bool RunCommandLine(PatchContext& context, const char* commandLine);

// The worker thread's entry; the argument is the process's PatchContext.
void WorkerMain(void* context);

// The worker's last act on the window: the "OK" button, then the final run state.
void FinishRun(PatchContext& context, bool waitForUser);
