// Process entry of both programs: the progress window on the main thread, the work on a
// worker thread; they meet in the run state. The exit status is always 0.
#include "apply/context.h"
#include "platform/platform.h"
#include "shell/command_line.h"

// At namespace scope, not a local static: the latter would need a thread-safe guard.
static PatchContext context;

int main() {
    platform::HardenDllSearch();
    context.runState.store(platform::kRunWorking);
    context.dialogWindow = platform::OpenProgressWindow(&context.runState);
    if (!context.dialogWindow.valid()) {
        return 0;
    }
    context.workerThread = platform::StartThread(WorkerMain, &context, kWorkerStackSize);
    if (!context.workerThread.valid()) {
        platform::CloseProgressWindow(context.dialogWindow);
        return 0;
    }
    platform::RunWindowLoop(context.dialogWindow);
    platform::WaitForThread(context.workerThread);
    platform::CloseProgressWindow(context.dialogWindow);
    return 0;
}
