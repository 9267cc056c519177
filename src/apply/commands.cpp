#include "apply/apply.h"
#include "apply/section.h"
#include "apply/status.h"

namespace {

constexpr const char kCommandErrorText[] = "Ошибка при исполнении внешних программ!\r\n";

// After a program that was waited for has ended, a second's pause before its error marker is
// looked for and the next command or phase runs: the program's own file, and files it wrote,
// may still be held for a moment after its process has ended (by the system, by a scanner, by
// a program it started), and the removals that follow may name them. The packages' programs
// count on this pause.
constexpr uint32_t kExitPauseMilliseconds = 1000;

struct Command {
    uint8_t flags = 0;
    const char* program = nullptr;
    const char* arguments = nullptr;
};

enum class CommandRead { Command, End, Broken };

// The list ends with a record whose program string is empty; a record that does not lie
// wholly within the section is broken.
CommandRead ReadCommand(SectionReader& reader, Command* command) {
    if (!reader.ReadByte(&command->flags) || !reader.ReadString(&command->program)) {
        return CommandRead::Broken;
    }
    if (command->program[0] == '\0') {
        return CommandRead::End;
    }
    return reader.ReadString(&command->arguments) ? CommandRead::Command : CommandRead::Broken;
}

// Starts one program and tells whether it succeeded: it started, and no error marker was in
// the installation folder afterwards (a marker found is deleted).
bool RunCommand(const PatchContext& context, const Command& command) {
    char programPath[kCommandBufferSize];
    char commandLine[kCommandBufferSize];
    char markerPath[kCommandBufferSize];
    const bool programFits =
        (command.flags & kCommandRelativeToInstall)
            ? FormatPath(programPath, sizeof programPath, "%s%s", context.installFolder.get(),
                         command.program)
            : FormatPath(programPath, sizeof programPath, "%s", command.program);
    if (!programFits) {
        return false;
    }
    // The word DUMMY goes in front of the arguments: the packages' programs skip that one word,
    // the first of the line without the program path, the second after it.
    const bool lineFits = (command.flags & kCommandProgramInCommandLine)
                              ? FormatPath(commandLine, sizeof commandLine, kCommandLineWithProgram,
                                           programPath, command.arguments)
                              : FormatPath(commandLine, sizeof commandLine,
                                           kCommandLineWithoutProgram, command.arguments);
    if (!lineFits || !FormatPath(markerPath, sizeof markerPath, "%s%s", context.installFolder.get(),
                                 kErrorMarkerName)) {
        return false;
    }
    // An empty installation folder stands for the current folder.
    const char* folder = context.installFolder.get();
    const char* currentFolder = folder[0] != '\0' ? folder : ".";
    platform::Process process;
    if (!platform::StartProcess(programPath, commandLine, currentFolder, &process)) {
        return false;
    }
    if (command.flags & kCommandWaitForExit) {
        platform::WaitForProcess(process);
        platform::SleepMilliseconds(kExitPauseMilliseconds);
    }
    platform::CloseProcess(process);
    if (platform::PathExists(markerPath)) {
        platform::DeleteFilePath(markerPath);
        return false;
    }
    return true;
}

// Runs the commands in order up to the first that fails; false when one failed or the list
// is broken.
bool RunCommandList(const PatchContext& context, const Section& section) {
    SectionReader reader(section);
    Command command;
    for (;;) {
        switch (ReadCommand(reader, &command)) {
            case CommandRead::End:
                return true;
            case CommandRead::Broken:
                return false;
            case CommandRead::Command:
                break;
        }
        if (!RunCommand(context, command)) {
            return false;
        }
    }
}

}  // namespace

bool RunExternalCommands(PatchContext& context) {
    bool succeeded = true;
    {
        Section section;
        switch (LoadSection(context, SectionKind::CommandsToExecute, &section)) {
            case SectionLoad::Missing:
                return true;
            case SectionLoad::Failed:
                succeeded = false;
                break;
            case SectionLoad::Loaded:
                succeeded = RunCommandList(context, section);
                break;
        }
    }
    if (!succeeded) {
        AskUser(context, kCommandErrorText, "!", platform::kBoxOk | platform::kBoxIconExclamation);
    }
    return succeeded;
}
