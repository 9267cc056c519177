// Processes, the worker thread and the process-wide settings on Win32.
#include <process.h>
#include <windows.h>

#include <new>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace platform {
namespace {

struct ThreadStart {
    void (*entry)(void*);
    void* argument;
};

unsigned __stdcall RunThread(void* parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    start.entry(start.argument);
    return 0;
}

}  // namespace

bool StartProcess(const char* program, char* commandLine, const char* currentFolder,
                  Process* started) {
    // The command line as a writable UTF-16 copy, as CreateProcessW wants it.
    const WidePath wideProgram(program);
    const WideText wideLine(commandLine);
    const WidePath wideFolder(currentFolder);
    if (!wideProgram.ok() || !wideLine.ok() || !wideFolder.ok()) {
        return false;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information = {};
    if (!CreateProcessW(wideProgram.get(), wideLine.get(), nullptr, nullptr, FALSE, 0, nullptr,
                        wideFolder.get(), &startup, &information)) {
        return false;
    }
    started->process = reinterpret_cast<intptr_t>(information.hProcess);
    started->thread = reinterpret_cast<intptr_t>(information.hThread);
    return true;
}

void WaitForProcess(const Process& started) {
    WaitForSingleObject(reinterpret_cast<HANDLE>(started.process), INFINITE);
}

void CloseProcess(const Process& started) {
    CloseHandle(reinterpret_cast<HANDLE>(started.process));
    CloseHandle(reinterpret_cast<HANDLE>(started.thread));
}

void SleepMilliseconds(uint32_t milliseconds) {
    Sleep(milliseconds);
}

// Started through the C runtime, so that the runtime's per-thread state is set up and freed.
Thread StartThread(void (*entry)(void*), void* argument, uint32_t stackSize) {
    ThreadStart* start = new (std::nothrow) ThreadStart{entry, argument};
    if (start == nullptr) {
        return Thread{};
    }
    const uintptr_t handle = _beginthreadex(nullptr, stackSize, RunThread, start, 0, nullptr);
    if (handle == 0) {
        delete start;
        return Thread{};
    }
    return Thread{static_cast<intptr_t>(handle)};
}

// The handle is closed once the thread has ended: nobody waits for a thread twice.
void WaitForThread(Thread thread) {
    if (!thread.valid()) {
        return;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(thread.value);
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
}

// Limits DLL loading to the system folder, so that a DLL planted beside a downloaded patch is
// never loaded. The call is looked up, because Windows before 8 (without its update) lacks it.
void HardenDllSearch() {
    using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
    constexpr DWORD kSearchSystem32 = 0x800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) {
        return;
    }
    FARPROC found = GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (found == nullptr) {
        return;
    }
    // Through the generic function type, which converts to any other without a warning.
    auto call = reinterpret_cast<SetDefaultDllDirectoriesCall>(reinterpret_cast<void (*)()>(found));
    call(kSearchSystem32);
}

// Converted at each call into memory kept for the life of the process (the worker asks once).
// The empty line when it cannot be had.
const char* GetProcessCommandLine() {
    const wchar_t* wide = GetCommandLineW();
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    char* line = size > 0 ? new (std::nothrow) char[size] : nullptr;
    if (line == nullptr ||
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, line, size, nullptr, nullptr) != size) {
        delete[] line;
        return "";
    }
    return line;
}

}  // namespace platform
