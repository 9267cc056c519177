// The end-to-end tests' hands and eyes. It starts the program under test, then finds that
// process's dialog and message boxes, reads their texts, clicks their buttons and says what it
// saw; it also holds files open without sharing. One robot serves one case: steps come one per
// line on standard input and each gets one line of answer, so that a case pays for a single
// robot start however many steps it takes (starting a process of 32-bit Wine through an
// emulator takes seconds).
//
// A step is a name and its arguments separated by tabs; texts are UTF-8 with \r, \n and \\ for
// a carriage return, a line feed and a backslash. The answer is "ok", "ok<TAB>TEXT" or
// "fail<TAB>WHAT WENT WRONG", in the same form.
//
//   start FOLDER COMMAND_LINE   starts the program under test in FOLDER
//   status TEXT MS              until the status line reads TEXT
//   statuses MS TEXT...         the status line shows these texts in turn, and no other
//   box CAPTION TEXT MS         until the program shows a message box with that caption; its
//                               text must be TEXT
//   answer CAPTION ID           clicks button ID of that message box
//   finished MS                 until the run waits for the user: button 1 visible, reading "OK"
//   hidden ID                   control ID of the dialog is hidden
//   click ID                    clicks button ID of the dialog
//   close                       asks the dialog to close, as the close box of its frame does
//   command WPARAM              sends the dialog WM_COMMAND (notification << 16 | id)
//   stays MS                    after MS the program still runs and its dialog is still shown
//   exit MS                     until the program has ended; its exit status must be 0
//   rect                        answers "left top right bottom" of the dialog, in pixels
//   xwindow                     answers the X window that Wine shows the dialog in
//   dpi                         answers the dialog's DPI awareness and the DPI it is drawn at
//   hold FILE                   opens FILE without sharing and keeps it open until the end
//
// Whenever it looks at the dialog, the robot also checks what must hold all through a run:
// control 1001 is empty and the dialog stands centred on the screen. Every wait is bounded and
// so is every message sent; at the end of its input the robot ends the program if it still runs.
#define _WIN32_WINNT 0x0A00
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kDialogCaption[] = L"Quellmar updater";
constexpr int kButtonId = 1;
constexpr int kStatusId = 1000;
constexpr int kSecondTextId = 1001;
constexpr int kMessageTextId = 0xFFFF;
constexpr DWORD kPollMs = 20;
constexpr UINT kSendTimeoutMs = 5000;
constexpr int kTextSize = 4096;
constexpr int kStepSize = 8192;

using Text = std::wstring;
using Words = std::vector<std::string>;

// --- texts ------------------------------------------------------------------------------------

Text Wide(const std::string& utf8) {
    Text wide(utf8.size() + 1, L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                           wide.data(), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? length : 0);
    return wide;
}

std::string Utf8(const Text& wide) {
    std::string utf8(wide.size() * 3 + 1, '\0');
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(),
                            static_cast<int>(utf8.size()), nullptr, nullptr);
    utf8.resize(length > 0 ? length : 0);
    return utf8;
}

// A text as it travels on a line: CR, LF and the backslash escaped.
std::string Escaped(const std::string& text) {
    std::string line;
    for (char c : text) {
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\\') {
            line += "\\\\";
        } else {
            line += c;
        }
    }
    return line;
}

std::string Unescaped(const std::string& field) {
    std::string text;
    for (size_t index = 0; index < field.size(); ++index) {
        const char next = index + 1 < field.size() ? field[index + 1] : '\0';
        if (field[index] == '\\' && (next == 'r' || next == 'n' || next == '\\')) {
            text += next == 'r' ? '\r' : next == 'n' ? '\n' : '\\';
            ++index;
        } else {
            text += field[index];
        }
    }
    return text;
}

Words SplitStep(const std::string& line) {
    Words words;
    size_t begin = 0;
    for (;;) {
        const size_t tab = line.find('\t', begin);
        words.push_back(Unescaped(line.substr(begin, tab - begin)));
        if (tab == std::string::npos) {
            return words;
        }
        begin = tab + 1;
    }
}

std::string Quoted(const Text& text) {
    return "[" + Utf8(text) + "]";
}

// --- the program under test -------------------------------------------------------------------

struct Outcome {
    bool ok;
    std::string text;  // the answer's text, or what went wrong
};

Outcome Ok(std::string text = {}) {
    return {true, std::move(text)};
}

Outcome Fail(std::string what) {
    return {false, std::move(what)};
}

PROCESS_INFORMATION program{};
std::vector<HANDLE> heldFiles;

struct WindowQuery {
    DWORD processId;
    const wchar_t* caption;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM data) {
    auto* query = reinterpret_cast<WindowQuery*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64];
    wchar_t caption[kTextSize];
    if (owner != query->processId || !IsWindowVisible(window) || !GetClassNameW(window, name, 64) ||
        wcscmp(name, kDialogClass) != 0) {
        return TRUE;
    }
    GetWindowTextW(window, caption, kTextSize);
    if (wcscmp(caption, query->caption) != 0) {
        return TRUE;
    }
    query->found = window;
    return FALSE;
}

// A shown top-level dialog of the program under test with that caption.
HWND FindProgramWindow(const wchar_t* caption) {
    WindowQuery query{program.dwProcessId, caption, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

HWND FindDialog() {
    return program.hProcess == nullptr ? nullptr : FindProgramWindow(kDialogCaption);
}

// A control's text through a bounded send; false when the window does not answer.
bool ReadText(HWND control, Text* text) {
    wchar_t buffer[kTextSize];
    DWORD_PTR copied = 0;
    if (control == nullptr ||
        !SendMessageTimeoutW(control, WM_GETTEXT, kTextSize, reinterpret_cast<LPARAM>(buffer),
                             SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied)) {
        return false;
    }
    text->assign(buffer, copied < kTextSize ? copied : kTextSize - 1);
    return true;
}

bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR ignored = 0;
    return window != nullptr && SendMessageTimeoutW(window, message, wParam, lParam,
                                                    SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored);
}

bool ProgramRunning() {
    return program.hProcess != nullptr && WaitForSingleObject(program.hProcess, 0) == WAIT_TIMEOUT;
}

// What must hold whenever the dialog is shown: control 1001 empty, the window centred (half
// the difference between the screen's extent and the window's, truncated toward zero).
Outcome CheckDialog(HWND dialog) {
    Text second;
    if (ReadText(GetDlgItem(dialog, kSecondTextId), &second) && !second.empty()) {
        return Fail("control 1001 reads " + Quoted(second));
    }
    RECT rect;
    if (!GetWindowRect(dialog, &rect)) {
        return Ok();  // gone meanwhile
    }
    const long x = (GetSystemMetrics(SM_CXSCREEN) + rect.left - rect.right) / 2;
    const long y = (GetSystemMetrics(SM_CYSCREEN) + rect.top - rect.bottom) / 2;
    if (rect.left != x || rect.top != y) {
        char where[128];
        snprintf(where, sizeof(where), "the dialog stands at (%ld, %ld), not centred at (%ld, %ld)",
                 rect.left, rect.top, x, y);
        return Fail(where);
    }
    return Ok();
}

// Polls `test` until it answers true or `timeoutMs` has passed, checking the dialog meanwhile.
// `test` returns true when done and may set `why` to what it saw last.
template <typename Test>
Outcome WaitFor(DWORD timeoutMs, const char* what, Test test) {
    const DWORD start = GetTickCount();
    std::string why;
    for (;;) {
        if (HWND dialog = FindDialog()) {
            Outcome checked = CheckDialog(dialog);
            if (!checked.ok) {
                return checked;
            }
        }
        if (test(&why)) {
            return Ok();
        }
        if (GetTickCount() - start >= timeoutMs) {
            return Fail(std::string(what) + (why.empty() ? "" : "; " + why));
        }
        Sleep(kPollMs);
    }
}

Outcome ReadStatus(Text* text) {
    HWND dialog = FindDialog();
    if (dialog == nullptr || !ReadText(GetDlgItem(dialog, kStatusId), text)) {
        return Fail("no dialog");
    }
    return Ok();
}

// --- steps ----------------------------------------------------------------------------------

DWORD Number(const std::string& text) {
    return strtoul(text.c_str(), nullptr, 0);
}

Outcome Start(const std::string& folder, const std::string& commandLine) {
    if (program.hProcess != nullptr) {
        CloseHandle(program.hProcess);
        CloseHandle(program.hThread);
        program = {};
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    Text line = Wide(commandLine);
    const Text where = Wide(folder);
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, where.c_str(),
                        &startup, &program)) {
        return Fail("cannot start " + commandLine + ": error " + std::to_string(GetLastError()));
    }
    return Ok();
}

Outcome WaitStatus(const Text& wanted, DWORD timeoutMs) {
    return WaitFor(timeoutMs, "the status line never showed the text", [&](std::string* why) {
        Text status;
        if (!ReadStatus(&status).ok) {
            return false;
        }
        *why = "it reads " + Quoted(status);
        return status == wanted;
    });
}

// Every text the status line shows, from now until it shows the last one wanted, polled as
// fast as the window answers: the texts must be exactly those wanted, in that order.
Outcome WaitStatuses(DWORD timeoutMs, const std::vector<Text>& wanted) {
    std::vector<Text> seen;
    const DWORD start = GetTickCount();
    while (seen.empty() || seen.back() != wanted.back()) {
        Text status;
        if (ReadStatus(&status).ok && !status.empty() && (seen.empty() || status != seen.back())) {
            seen.push_back(status);
        }
        if (GetTickCount() - start >= timeoutMs || seen.size() > wanted.size()) {
            break;
        }
        Sleep(1);
    }
    if (seen == wanted) {
        return Ok();
    }
    std::string shown;
    for (const Text& text : seen) {
        shown += " " + Quoted(text);
    }
    return Fail("the status line showed" + (shown.empty() ? " nothing" : shown));
}

Outcome WaitBox(const Text& caption, const Text& wanted, DWORD timeoutMs) {
    Text text;
    Outcome found = WaitFor(timeoutMs, "no message box with that caption", [&](std::string*) {
        HWND box = FindProgramWindow(caption.c_str());
        return box != nullptr && ReadText(GetDlgItem(box, kMessageTextId), &text);
    });
    if (!found.ok) {
        return found;
    }
    return text == wanted ? Ok() : Fail("the box reads " + Quoted(text));
}

Outcome Click(HWND window, int id) {
    return Send(GetDlgItem(window, id), BM_CLICK, 0, 0)
               ? Ok()
               : Fail("no button " + std::to_string(id) + " to click");
}

Outcome WaitFinished(DWORD timeoutMs) {
    return WaitFor(timeoutMs, "the run never waited for the user", [](std::string* why) {
        HWND dialog = FindDialog();
        HWND button = dialog == nullptr ? nullptr : GetDlgItem(dialog, kButtonId);
        Text caption;
        if (button == nullptr || !IsWindowVisible(button) || !ReadText(button, &caption)) {
            return false;
        }
        *why = "the button reads " + Quoted(caption);
        return caption == L"OK";
    });
}

Outcome ExpectHidden(int id) {
    HWND dialog = FindDialog();
    if (dialog == nullptr) {
        return Fail("no dialog");
    }
    HWND control = GetDlgItem(dialog, id);
    return control != nullptr && !IsWindowVisible(control)
               ? Ok()
               : Fail("control " + std::to_string(id) + " is visible");
}

Outcome SendToDialog(UINT message, WPARAM wParam) {
    return Send(FindDialog(), message, wParam, 0) ? Ok() : Fail("no dialog to send to");
}

Outcome Stays(DWORD milliseconds) {
    Sleep(milliseconds);
    if (!ProgramRunning()) {
        return Fail("the program has ended");
    }
    HWND dialog = FindDialog();
    return dialog == nullptr ? Fail("the dialog has closed") : CheckDialog(dialog);
}

Outcome WaitExit(DWORD timeoutMs) {
    if (program.hProcess == nullptr) {
        return Fail("no program was started");
    }
    if (WaitForSingleObject(program.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return Fail("the program did not end");
    }
    DWORD status = 0;
    GetExitCodeProcess(program.hProcess, &status);
    return status == 0 ? Ok() : Fail("exit status " + std::to_string(status));
}

Outcome Rect() {
    HWND dialog = FindDialog();
    RECT rect;
    if (dialog == nullptr || !GetWindowRect(dialog, &rect)) {
        return Fail("no dialog");
    }
    char text[64];
    snprintf(text, sizeof(text), "%ld %ld %ld %ld", rect.left, rect.top, rect.right, rect.bottom);
    return Ok(text);
}

// The X window that Wine's display driver made for the dialog: the desktop reads the window's
// icons and process from its properties (icons are not handed across processes under Wine).
Outcome XWindow() {
    HWND dialog = FindDialog();
    HANDLE window = dialog == nullptr ? nullptr : GetPropW(dialog, L"__wine_x11_whole_window");
    return window == nullptr ? Fail("no X window for the dialog")
                             : Ok(std::to_string(reinterpret_cast<uintptr_t>(window)));
}

// The dialog's DPI awareness and the DPI it is drawn at: "per-monitor 192", say.
Outcome DpiAwareness() {
    HWND dialog = FindDialog();
    if (dialog == nullptr) {
        return Fail("no dialog");
    }
    DPI_AWARENESS_CONTEXT context = GetWindowDpiAwarenessContext(dialog);
    const char* awareness = "unaware";
    if (AreDpiAwarenessContextsEqual(context, DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) {
        awareness = "per-monitor-v2";
    } else if (GetAwarenessFromDpiAwarenessContext(context) == DPI_AWARENESS_PER_MONITOR_AWARE) {
        awareness = "per-monitor";
    } else if (GetAwarenessFromDpiAwarenessContext(context) == DPI_AWARENESS_SYSTEM_AWARE) {
        awareness = "system";
    }
    return Ok(std::string(awareness) + " " + std::to_string(GetDpiForWindow(dialog)));
}

Outcome Hold(const std::string& path) {
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail("cannot open " + path);
    }
    heldFiles.push_back(file);
    return Ok();
}

Outcome RunStep(const Words& step) {
    const std::string& name = step[0];
    const size_t count = step.size() - 1;
    auto arg = [&](size_t index) -> const std::string& { return step[index + 1]; };
    if (name == "start" && count == 2) {
        return Start(arg(0), arg(1));
    }
    if (name == "status" && count == 2) {
        return WaitStatus(Wide(arg(0)), Number(arg(1)));
    }
    if (name == "statuses" && count >= 2) {
        std::vector<Text> wanted;
        for (size_t index = 1; index < count; ++index) {
            wanted.push_back(Wide(arg(index)));
        }
        return WaitStatuses(Number(arg(0)), wanted);
    }
    if (name == "box" && count == 3) {
        return WaitBox(Wide(arg(0)), Wide(arg(1)), Number(arg(2)));
    }
    if (name == "answer" && count == 2) {
        HWND box = FindProgramWindow(Wide(arg(0)).c_str());
        return box == nullptr ? Fail("no message box with that caption")
                              : Click(box, static_cast<int>(Number(arg(1))));
    }
    if (name == "finished" && count == 1) {
        return WaitFinished(Number(arg(0)));
    }
    if (name == "hidden" && count == 1) {
        return ExpectHidden(static_cast<int>(Number(arg(0))));
    }
    if (name == "click" && count == 1) {
        return Click(FindDialog(), static_cast<int>(Number(arg(0))));
    }
    if (name == "close" && count == 0) {
        // The frame's close box: the default handling turns it into the cancel command.
        return SendToDialog(WM_SYSCOMMAND, SC_CLOSE);
    }
    if (name == "command" && count == 1) {
        return SendToDialog(WM_COMMAND, Number(arg(0)));
    }
    if (name == "stays" && count == 1) {
        return Stays(Number(arg(0)));
    }
    if (name == "exit" && count == 1) {
        return WaitExit(Number(arg(0)));
    }
    if (name == "rect" && count == 0) {
        return Rect();
    }
    if (name == "xwindow" && count == 0) {
        return XWindow();
    }
    if (name == "dpi" && count == 0) {
        return DpiAwareness();
    }
    if (name == "hold" && count == 1) {
        return Hold(arg(0));
    }
    return Fail("unknown step or wrong number of arguments: " + name);
}

void Answer(const Outcome& outcome) {
    std::string line = outcome.ok ? "ok" : "fail";
    if (!outcome.text.empty()) {
        line += "\t" + Escaped(outcome.text);
    }
    line += "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}

void EndProgram() {
    if (ProgramRunning()) {
        TerminateProcess(program.hProcess, 1);
        WaitForSingleObject(program.hProcess, kSendTimeoutMs);
    }
    for (HANDLE file : heldFiles) {
        CloseHandle(file);
    }
}

}  // namespace

int main() {
    // Pixels as they are on the screen, also when the desktop is scaled.
    SetProcessDPIAware();
    // Lines leave and arrive as they are: no line-end translation.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    static char line[kStepSize];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (!text.empty()) {
            Answer(RunStep(SplitStep(text)));
        }
    }
    EndProgram();
    return 0;
}
