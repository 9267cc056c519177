// The end-to-end tests' hands and eyes. It starts the program under test, then finds that
// process's dialog and message boxes, reads their texts, clicks their buttons and says what it
// saw; it also holds files open without sharing. One robot serves one case: steps come on
// standard input and each gets one answer, so that a case pays for a single robot start however
// many steps it takes (starting a process of 32-bit Wine through an emulator takes seconds).
//
// A step is a name and its arguments separated by tabs and ends in a NUL byte, so that texts
// (UTF-8) travel with their line breaks as they are. The answer is "ok<TAB>TEXT" (TEXT often
// empty) or "fail<TAB>WHAT WENT WRONG", also ending in a NUL byte.
//
//   start FOLDER COMMAND_LINE   starts the program under test in FOLDER
//   box CAPTION TEXT MS [ID]    until the program shows a message box with that caption; its
//                               text must be TEXT; then clicks its button ID, if given
//   finished TEXT MS            until the run waits for the user (button 1 visible, reading
//                               "OK") with the status line reading TEXT
//   statuses MS TEXT...         the status line shows these texts in turn, and no other
//   dismiss                     the run waits for the user and still does a second later; a
//                               click on OK then ends the program, with exit status 0
//   hidden ID                   control ID of the dialog is hidden
//   click ID                    clicks button ID of the dialog
//   close                       asks the dialog to close, as the close box of its frame does
//   command WPARAM              sends the dialog WM_COMMAND (notification << 16 | id)
//   stays MS                    after MS the program still runs and its dialog is still shown
//   exit MS                     until the program has ended; its exit status must be 0
//   dialog                      answers the dialog's DPI awareness (a DPI_AWARENESS: 2 is per
//                               monitor), the DPI it is drawn at and its rectangle:
//                               "2 192 LEFT TOP RIGHT BOTTOM", say
//   xwindow                     answers the X window that Wine shows the dialog in
//   hold FILE                   opens FILE without sharing and keeps it open until the robot ends
//   codepage                    answers the ANSI code page that programs started now get
//
// Whenever it looks at the dialog, the robot also checks what must hold all through a run:
// control 1001 is empty and the dialog stands centred on the screen. Every wait is bounded and
// so is every message sent; at the end of its input the robot ends the program if it still runs.
#define _WIN32_WINNT 0x0A00
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
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

using Text = std::wstring;
using Words = std::vector<std::string>;

Text Wide(const std::string& utf8) {
    Text wide(utf8.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    wide.data(), static_cast<int>(wide.size())));
    return wide;
}

std::string Quoted(const Text& wide) {
    std::string utf8(wide.size() * 3, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr));
    return "[" + utf8 + "]";
}

DWORD Number(const std::string& text) {
    return strtoul(text.c_str(), nullptr, 0);
}

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

struct WindowQuery {
    const Text& caption;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM data) {
    auto* query = reinterpret_cast<WindowQuery*>(data);
    DWORD owner = 0;
    wchar_t name[kTextSize];
    GetWindowThreadProcessId(window, &owner);
    if (owner == program.dwProcessId && IsWindowVisible(window) &&
        GetClassNameW(window, name, kTextSize) && Text(kDialogClass) == name &&
        GetWindowTextW(window, name, kTextSize) == static_cast<int>(query->caption.size()) &&
        query->caption == name) {
        query->found = window;
        return FALSE;
    }
    return TRUE;
}

// A shown top-level dialog of the program under test with exactly that caption: the programs
// of other cases show the same windows meanwhile. EnumWindows takes a snapshot, so that windows
// closing meanwhile cannot cut the search short.
HWND FindProgramWindow(const Text& caption) {
    WindowQuery query{caption, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

HWND FindDialog() {
    return FindProgramWindow(kDialogCaption);
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

bool ReadStatus(Text* text) {
    return ReadText(GetDlgItem(FindDialog(), kStatusId), text);
}

bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR ignored = 0;
    return window != nullptr && SendMessageTimeoutW(window, message, wParam, lParam,
                                                    SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored);
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
// `test` may set `why` to what it saw last.
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

// --- steps ----------------------------------------------------------------------------------

Outcome Start(const std::string& folder, const std::string& commandLine) {
    if (program.hProcess != nullptr) {
        CloseHandle(program.hProcess);
        CloseHandle(program.hThread);
        program = {};
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    Text line = Wide(commandLine);
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        Wide(folder).c_str(), &startup, &program)) {
        return Fail("cannot start " + commandLine + ": error " + std::to_string(GetLastError()));
    }
    return Ok();
}

Outcome Click(HWND window, DWORD id) {
    return Send(GetDlgItem(window, static_cast<int>(id)), BM_CLICK, 0, 0)
               ? Ok()
               : Fail("no button " + std::to_string(id) + " to click");
}

Outcome WaitBox(const Words& step) {
    HWND box = nullptr;
    Text text;
    Outcome found = WaitFor(Number(step[3]), "no message box with that caption", [&](std::string*) {
        box = FindProgramWindow(Wide(step[1]));
        return box != nullptr && ReadText(GetDlgItem(box, kMessageTextId), &text);
    });
    if (!found.ok || text != Wide(step[2])) {
        return found.ok ? Fail("the box reads " + Quoted(text)) : found;
    }
    return step.size() > 4 ? Click(box, Number(step[4])) : Ok();
}

// Until the run waits for the user, with the status line reading `status` (any text if empty).
Outcome WaitFinished(DWORD timeoutMs, const Text& status) {
    return WaitFor(timeoutMs, "the run never waited for the user", [&](std::string* why) {
        HWND button = GetDlgItem(FindDialog(), kButtonId);
        Text caption, shown;
        if (button == nullptr || !IsWindowVisible(button) || !ReadText(button, &caption) ||
            !ReadStatus(&shown)) {
            return false;
        }
        *why = "the button reads " + Quoted(caption) + ", the status line " + Quoted(shown);
        return caption == L"OK" && (status.empty() || shown == status);
    });
}

// Every text the status line shows, from now until it shows the last one wanted, polled as
// fast as the window answers: the texts must be exactly those wanted, in that order.
Outcome WaitStatuses(const Words& step) {
    std::vector<Text> wanted;
    for (size_t index = 2; index < step.size(); ++index) {
        wanted.push_back(Wide(step[index]));
    }
    std::vector<Text> seen;
    std::string shown;
    const DWORD start = GetTickCount();
    while ((seen.empty() || seen.back() != wanted.back()) && seen.size() <= wanted.size() &&
           GetTickCount() - start < Number(step[1])) {
        Text status;
        if (ReadStatus(&status) && !status.empty() && (seen.empty() || status != seen.back())) {
            seen.push_back(status);
            shown += " " + Quoted(status);
        }
        Sleep(1);
    }
    return seen == wanted ? Ok()
                          : Fail("the status line showed" + (seen.empty() ? " nothing" : shown));
}

Outcome Stays(DWORD milliseconds) {
    if (WaitForSingleObject(program.hProcess, milliseconds) != WAIT_TIMEOUT) {
        return Fail("the program has ended");
    }
    HWND dialog = FindDialog();
    return dialog == nullptr ? Fail("the dialog has closed") : CheckDialog(dialog);
}

Outcome WaitExit(DWORD timeoutMs) {
    DWORD status = 0;
    if (program.hProcess == nullptr ||
        WaitForSingleObject(program.hProcess, timeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(program.hProcess, &status)) {
        return Fail("the program did not end");
    }
    return status == 0 ? Ok() : Fail("exit status " + std::to_string(status));
}

Outcome Dismiss() {
    Outcome outcome = WaitFinished(60000, {});
    outcome = outcome.ok ? Stays(1000) : outcome;
    outcome = outcome.ok ? Click(FindDialog(), kButtonId) : outcome;
    return outcome.ok ? WaitExit(30000) : outcome;
}

Outcome ExpectHidden(DWORD id) {
    HWND control = GetDlgItem(FindDialog(), static_cast<int>(id));
    return control != nullptr && !IsWindowVisible(control)
               ? Ok()
               : Fail("control " + std::to_string(id) + " is missing or visible");
}

Outcome SendToDialog(UINT message, WPARAM wParam) {
    return Send(FindDialog(), message, wParam, 0) ? Ok() : Fail("no dialog to send to");
}

Outcome DescribeDialog() {
    HWND dialog = FindDialog();
    RECT rect;
    if (dialog == nullptr || !GetWindowRect(dialog, &rect)) {
        return Fail("no dialog");
    }
    char text[128];
    snprintf(text, sizeof(text), "%d %u %ld %ld %ld %ld",
             GetAwarenessFromDpiAwarenessContext(GetWindowDpiAwarenessContext(dialog)),
             GetDpiForWindow(dialog), rect.left, rect.top, rect.right, rect.bottom);
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

// The file stays open until the robot ends.
Outcome Hold(const std::string& path) {
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? Fail("cannot open " + path) : Ok();
}

// The robot runs under the locale of the program it starts, so its own code page is theirs.
Outcome CodePage() {
    return Ok(std::to_string(GetACP()));
}

// Each step with the least and the most number of words it takes, its name included.
struct Step {
    const char* name;
    size_t least;
    size_t most;
    Outcome (*run)(const Words& step);
};

const Step kSteps[] = {
    {"start", 3, 3, [](const Words& s) { return Start(s[1], s[2]); }},
    {"box", 4, 5, WaitBox},
    {"finished", 3, 3, [](const Words& s) { return WaitFinished(Number(s[2]), Wide(s[1])); }},
    {"statuses", 3, SIZE_MAX, WaitStatuses},
    {"dismiss", 1, 1, [](const Words&) { return Dismiss(); }},
    {"hidden", 2, 2, [](const Words& s) { return ExpectHidden(Number(s[1])); }},
    {"click", 2, 2, [](const Words& s) { return Click(FindDialog(), Number(s[1])); }},
    // The frame's close box: the default handling turns it into the cancel command.
    {"close", 1, 1, [](const Words&) { return SendToDialog(WM_SYSCOMMAND, SC_CLOSE); }},
    {"command", 2, 2, [](const Words& s) { return SendToDialog(WM_COMMAND, Number(s[1])); }},
    {"stays", 2, 2, [](const Words& s) { return Stays(Number(s[1])); }},
    {"exit", 2, 2, [](const Words& s) { return WaitExit(Number(s[1])); }},
    {"dialog", 1, 1, [](const Words&) { return DescribeDialog(); }},
    {"xwindow", 1, 1, [](const Words&) { return XWindow(); }},
    {"hold", 2, 2, [](const Words& s) { return Hold(s[1]); }},
    {"codepage", 1, 1, [](const Words&) { return CodePage(); }},
};

Outcome RunStep(const std::string& line) {
    Words step;
    std::istringstream words(line);
    for (std::string word; std::getline(words, word, '\t');) {
        step.push_back(word);
    }
    for (const Step& known : kSteps) {
        if (!step.empty() && step[0] == known.name && step.size() >= known.least &&
            step.size() <= known.most) {
            return known.run(step);
        }
    }
    return Fail("unknown step or wrong number of arguments: " + line);
}

}  // namespace

int main() {
    // Pixels as they are on the screen, also when the desktop is scaled.
    SetProcessDPIAware();
    // Texts leave and arrive as they are: no line-end translation.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    for (std::string line; std::getline(std::cin, line, '\0');) {
        const Outcome outcome = RunStep(line);
        std::cout << (outcome.ok ? "ok\t" : "fail\t") << outcome.text << '\0' << std::flush;
    }
    TerminateProcess(program.hProcess, 1);  // fails harmlessly when it has ended
    WaitForSingleObject(program.hProcess, kSendTimeoutMs);
    return 0;
}
