#include "shell/command_line.h"

#include <cstring>
#include <new>
#include <utility>

#include "apply/apply.h"
#include "apply/status.h"
#include "package/binder.h"

static bool IsBlank(unsigned char c) {
    return c >= 0x01 && c <= 0x20;
}

static OwnedText CopyToken(const char* start, size_t length) {
    OwnedText token(new (std::nothrow) char[length + 1]);
    if (token) {
        std::memcpy(token.get(), start, length);
        token[length] = '\0';
    }
    return token;
}

void ParseCommandLine(const char* commandLine, CommandWords* words) {
    *words = CommandWords{};
    const char* cursor = commandLine;
    while (words->count < kMaxArguments) {
        while (IsBlank(static_cast<unsigned char>(*cursor))) {
            ++cursor;
        }
        if (*cursor == '\0') {
            return;
        }
        const bool quoted = *cursor == '"';
        const char* start = quoted ? cursor + 1 : cursor;
        const char* end = start;
        if (quoted) {
            while (*end != '\0' && *end != '"') {
                ++end;
            }
        } else {
            while (*end != '\0' && !IsBlank(static_cast<unsigned char>(*end))) {
                ++end;
            }
        }
        if (end == start) {
            return;  // an empty quoted word ends the command line
        }
        OwnedText token = CopyToken(start, static_cast<size_t>(end - start));
        if (!token) {
            return;
        }
        words->words[words->count++] = std::move(token);
        cursor = (quoted && *end == '"') ? end + 1 : end;
    }
}

RunMode ChooseRunMode(const CommandWords& words) {
    if (words.count >= 4) {
        return std::strcmp(words[3], kBinderKeyword) == 0 ? RunMode::Binder : RunMode::Usage;
    }
    if (words.count >= 2) {
        return RunMode::PackageFile;
    }
    return words.count == 1 ? RunMode::Embedded : RunMode::Usage;
}

// Opens the package; in embedded mode, a first word that does not open as a file (a program
// started through PATH, or without its extension) falls back to the program's own file.
static bool OpenRunPackage(Package& package, const char* path, bool embedded) {
    if (OpenPackage(package, path, embedded) >= 0) {
        return true;
    }
    char ownPath[kPathBufferSize];
    if (!embedded || package.packageFile.valid() ||
        !platform::GetOwnProgramPath(ownPath, sizeof ownPath)) {
        return false;
    }
    ClosePackage(package);
    return OpenPackage(package, ownPath, true) >= 0;
}

bool RunCommandLine(PatchContext& context, const char* commandLine) {
    ParseCommandLine(commandLine, &context.words);
    const CommandWords& words = context.words;
    const RunMode mode = ChooseRunMode(words);
    if (mode == RunMode::Binder) {
        BindPackage(words[0], words[1], words[2]);
        return false;
    }
    if (mode == RunMode::Usage) {
        ShowStatus(context, "%s", kUsageText);
        return true;
    }
    const bool embedded = mode == RunMode::Embedded;
    bool waitForUser = true;
    if (OpenRunPackage(context.package, words[embedded ? 0 : 1], embedded)) {
        RunApplySequence(context, &waitForUser);
    } else {
        ShowStatus(context, "%s", kUsageText);
    }
    ClosePackage(context.package);
    return waitForUser;
}

void FinishRun(PatchContext& context, bool waitForUser) {
    platform::ShowFinishButton(context.dialogWindow);
    context.runState.store(waitForUser ? platform::kRunWaitingForUser : platform::kRunClosing);
    platform::WakeWindowLoop(context.dialogWindow);
}

void WorkerMain(void* argument) {
    PatchContext& context = *static_cast<PatchContext*>(argument);
    const bool waitForUser = RunCommandLine(context, platform::GetProcessCommandLine());
    FinishRun(context, waitForUser);
}
