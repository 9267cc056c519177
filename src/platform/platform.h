// The only door to the operating system. Everything above this layer speaks in these terms.
// Every text that crosses it (paths, registry names and text data, command lines, what the
// user reads) is UTF-8, whatever the system's code page: the win32 backend converts it to and
// from UTF-16 for the ...W calls, the posix backend converts paths at its boundary
// (backslashes, case-insensitive lookup of components that do not exist under their exact
// name). A buffer for returned text counts characters: `size` bytes hold at most
// codepage::CharacterRoom(size) characters, and a longer text does not fit.
//
// Every operation reports failure through its result; none throws. Handles are plain values
// with an explicit invalid state, so that records holding them can be reset and released
// step by step, as far as they were acquired.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform {

// ---------------------------------------------------------------------------------------------
// Files and mappings

struct File {
    intptr_t value = -1;
    bool valid() const { return value != -1; }
};

// A mapping of a whole file; views of parts of it are mapped from it in separate steps.
struct Mapping {
    intptr_t value = 0;
    bool valid() const { return value != 0; }
};

// A view of part of a mapped file. `data` is the first byte asked for; `base` is what only
// UnmapView needs: the start of the system's view, which maps from an aligned offset at or
// before `data` (win32), or the backend's buffer that holds the bytes (posix).
struct View {
    uint8_t* data = nullptr;
    void* base = nullptr;
    bool valid() const { return data != nullptr; }
};

// Views never cover more than one window of a file: a 32-bit process cannot map a file of
// several GiB whole, so readers and writers move a view of at most this size along the file.
// A multiple of the 64 KiB allocation granularity of Windows.
constexpr uint32_t kViewWindow = 32u << 20;
static_assert(kViewWindow % (64u << 10) == 0);

// The window in force: kViewWindow on win32; on posix, whose views are buffers, a smaller one
// of its own (at most kViewWindow), unless a test made it smaller still.
uint32_t ViewWindow();

// How many bytes a view from `offset` may cover before `end`: up to `end` or to the next
// multiple of the window, whichever comes first (0 when offset >= end). Views that follow one
// another with these lengths each use at most one window of address space.
inline uint32_t ViewLengthAt(uint64_t offset, uint64_t end) {
    if (offset >= end) {
        return 0;
    }
    const uint64_t toBoundary = ViewWindow() - offset % ViewWindow();
    return static_cast<uint32_t>(end - offset < toBoundary ? end - offset : toBoundary);
}

// Opens an existing file for reading. Others may read it meanwhile, but not write it
// (win32 share mode; posix has none). Invalid handle on failure.
File OpenFileRead(const char* path);

// Creates the file, or truncates an existing one, for reading and writing; others may only
// read it while it is open. Invalid handle on failure.
File CreateFileReadWrite(const char* path);

// The file's full length in bytes.
bool GetFileLength(File file, uint64_t* length);

// True when `path` names the very file that `file` has open (same device and inode on posix).
// Win32 relies on share modes instead and answers false.
bool IsSameFile(File file, const char* path);

// A read-only mapping of the whole file. Fails for a file of length 0, as on Windows.
Mapping CreateReadMapping(File file);

// A read-write mapping of `size` bytes (size > 0), for filling a new file: the file grows to
// that length, the new bytes zero. On posix the space is reserved first, so a full disk fails
// here cleanly, before a byte is written.
Mapping CreateWriteMapping(File file, uint64_t size);

// Maps [offset, offset + length) of the mapping with the mapping's access (read-only or
// read-write). Fails (an invalid view) when length is 0 or more than the window, or when the
// range does not lie within the mapping.
//
// Win32 maps the file's pages. Posix copies: a view is a buffer read from the file when it is
// made, and a view of a written file starts as zeros (not as what the file holds) and is
// written to the file when it is released. So on posix a written view is released before its
// mapping is closed, and a written file stays open until its mapping is closed.
View MapView(Mapping mapping, uint64_t offset, uint32_t length);

// Releases a view made by MapView; written bytes reach the file. False when they could not
// (posix writes them here: a write that fails, as past a file-size limit, fails the release);
// releasing an invalid view does nothing and succeeds.
bool UnmapView(const View& view);
void CloseMapping(Mapping mapping);
void CloseFile(File file);

// ---------------------------------------------------------------------------------------------
// Folders and files by name

bool CreateFolder(const char* path);
// Moves a file or folder; fails when the destination exists, as MoveFileW does.
bool MovePath(const char* from, const char* to);
// Deletes a file (never a folder).
bool DeleteFilePath(const char* path);
// Removes an empty folder.
bool RemoveFolder(const char* path);
// True when a file or folder of that name exists (existence only, no access test).
bool PathExists(const char* path);

// The program's own file as the operating system names it; false when it does not fit in
// `size` bytes.
bool GetOwnProgramPath(char* out, size_t size);

// ---------------------------------------------------------------------------------------------
// Registry

enum class RegistryRoot { LocalMachine, CurrentUser };

struct RegistryKey {
    intptr_t value = 0;
    bool valid() const { return value != 0; }
};

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

// Value types whose data is text: UTF-8 across this layer, whatever the system stores.
inline bool IsTextValueType(uint32_t type) {
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// Opens an existing key for reading values (KEY_QUERY_VALUE).
RegistryKey OpenKeyForQuery(RegistryRoot root, const char* subKey);
// Opens an existing key for setting values (KEY_SET_VALUE | KEY_CREATE_SUB_KEY); never creates.
RegistryKey OpenKeyForSet(RegistryRoot root, const char* subKey);
// Creates the key and its parents when missing, and opens it for writing (KEY_WRITE).
RegistryKey CreateKey(RegistryRoot root, const char* subKey);
// Reads a value's data into `data` (room for *size bytes) and its type. On success *size is
// the data's length; text data comes as UTF-8, its NUL included when the value has one.
// Fails when the value is missing or its data is longer than *size.
bool QueryValue(RegistryKey key, const char* valueName, uint8_t* data, uint32_t* size,
                uint32_t* type);
// Writes a value; an empty name is the key's default value. Text data is UTF-8, its NUL
// included in `size`.
bool SetValue(RegistryKey key, const char* valueName, uint32_t type, const uint8_t* data,
              uint32_t size);
void CloseKey(RegistryKey key);

// ---------------------------------------------------------------------------------------------
// Processes

struct Process {
    intptr_t process = 0;
    intptr_t thread = 0;
};

// Starts `program` with `commandLine` (a writable buffer) in `currentFolder`, inheriting the
// environment and no handles.
bool StartProcess(const char* program, char* commandLine, const char* currentFolder,
                  Process* started);
// Waits without time limit until the process has ended.
void WaitForProcess(const Process& started);
// Closes the process handle, then the thread handle.
void CloseProcess(const Process& started);
void SleepMilliseconds(uint32_t milliseconds);

// ---------------------------------------------------------------------------------------------
// The progress window and the user (the terminal on posix)

// Message-box types and answers, with the Win32 values.
constexpr uint32_t kBoxOk = 0x00;
constexpr uint32_t kBoxOkCancel = 0x01;
constexpr uint32_t kBoxIconExclamation = 0x30;
constexpr uint32_t kBoxIconInformation = 0x40;
constexpr int kAnswerOk = 1;
constexpr int kAnswerCancel = 2;

struct Window {
    intptr_t value = 0;
    bool valid() const { return value != 0; }
};

// The run state, shared by the worker, the window's button and the main loop: the worker
// stores its final state once, as its last act on the window; the button may then store
// kRunClosing.
constexpr int32_t kRunWorking = 0;         // the worker is at work
constexpr int32_t kRunWaitingForUser = 1;  // the run has ended; the button ends the loop
constexpr int32_t kRunClosing = 2;         // the loop ends and the window may close

// Process start: creates the progress window hidden, centres and shows it, sets its icons and
// hides its button. `runState` is read by the window's button and loop. Null on failure.
Window OpenProgressWindow(std::atomic<int32_t>* runState);
// Replaces the status line (control 1000); returns once the window shows the text.
void SetStatusText(Window window, const char* text);
// A message box owned by the window; blocks the calling thread until it is answered.
int AskUser(Window window, const char* text, const char* caption, uint32_t type);
// Shows the button with the caption "OK" (the end of the run).
void ShowFinishButton(Window window);
// Tells the main loop that the run state has changed (the worker's last act).
void WakeWindowLoop(Window window);
// Services the window until the run state reaches kRunClosing.
void RunWindowLoop(Window window);
void CloseProgressWindow(Window window);

// First thing at process start: DLLs load only from the system folder (win32).
void HardenDllSearch();

// The full command line of the process, starting with the program's path.
const char* GetProcessCommandLine();

struct Thread {
    intptr_t value = 0;
    bool valid() const { return value != 0; }
};

// Starts `entry(argument)` on a new thread with a stack of at least `stackSize` bytes.
Thread StartThread(void (*entry)(void*), void* argument, uint32_t stackSize);
void WaitForThread(Thread thread);

}  // namespace platform
