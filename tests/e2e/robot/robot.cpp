// The end-to-end tests' hands and eyes: finds the updater's dialog and message boxes, reads
// their texts, tells where windows stand and whether controls are visible, clicks buttons,
// and holds a file open without sharing. Texts are printed as the bytes they are (the
// program's 8-bit code page); every wait is bounded, and so is every message sent, so that a
// hung program under test never hangs the robot.
//
//   robot wait CLASS CAPTION TIMEOUT_MS     until a top-level window of that class and caption
//   robot wait-gone TIMEOUT_MS              until the updater's dialog is gone
//   robot text ID                           prints the text of a control of the dialog
//   robot status                            the same for the status line (control 1000)
//   robot wait-status TEXT TIMEOUT_MS       until the status line contains TEXT, then prints it
//   robot visible ID                        prints "visible" or "hidden"
//   robot wait-visible ID TIMEOUT_MS        until the control is visible
//   robot click ID                          clicks a button of the dialog
//   robot close                             asks the dialog to close, as its frame's close box
//   robot command WPARAM                    sends the dialog WM_COMMAND (notification << 16 | id)
//   robot msgbox CAPTION TIMEOUT_MS         waits for a message box, prints its text
//   robot click-msgbox CAPTION ID           clicks a button of that message box
//   robot rect                              "left top right bottom screen-width screen-height"
//   robot hold FILE MS                      opens FILE without sharing, prints "held", holds it
//
// Exit status: 0 done, 1 not found or timed out, 2 wrong call.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kDialogClass[] = "#32770";
constexpr char kDialogCaption[] = "Quellmar updater";
constexpr int kStatusId = 1000;
constexpr int kMessageTextId = 0xFFFF;
constexpr DWORD kPollMs = 50;
constexpr UINT kSendTimeoutMs = 5000;
constexpr int kTextSize = 4096;

enum Outcome { kDone = 0, kFailed = 1, kWrongCall = 2 };

HWND FindDialog() {
    return FindWindowA(kDialogClass, kDialogCaption);
}

// Polls `found` until it answers true or `timeoutMs` has passed.
template <typename Test>
bool WaitUntil(DWORD timeoutMs, Test found) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (found()) {
            return true;
        }
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        Sleep(kPollMs);
    }
}

// A control's text through a bounded send; false when the window does not answer.
bool ReadText(HWND control, char* text, int size) {
    text[0] = '\0';
    DWORD_PTR copied = 0;
    if (control == nullptr ||
        !SendMessageTimeoutA(control, WM_GETTEXT, size, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied)) {
        return false;
    }
    text[copied < static_cast<DWORD_PTR>(size) ? copied : size - 1] = '\0';
    return true;
}

bool ReadDialogText(int id, char* text, int size) {
    HWND dialog = FindDialog();
    return dialog != nullptr && ReadText(GetDlgItem(dialog, id), text, size);
}

int PrintText(const char* text) {
    fwrite(text, 1, strlen(text), stdout);
    fputc('\n', stdout);
    return kDone;
}

int Click(HWND window, int id) {
    HWND button = window == nullptr ? nullptr : GetDlgItem(window, id);
    DWORD_PTR ignored = 0;
    if (button == nullptr ||
        !SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored)) {
        fprintf(stderr, "robot: no button %d to click\n", id);
        return kFailed;
    }
    return kDone;
}

bool IsControlVisible(int id) {
    HWND dialog = FindDialog();
    HWND control = dialog == nullptr ? nullptr : GetDlgItem(dialog, id);
    return control != nullptr && IsWindowVisible(control);
}

int Report(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "robot: %s\n", what);
    }
    return ok ? kDone : kFailed;
}

int WaitForWindow(const char* className, const char* caption, DWORD timeoutMs) {
    const bool found = WaitUntil(timeoutMs, [&] { return FindWindowA(className, caption); });
    return Report(found, "window did not appear");
}

int WaitGone(DWORD timeoutMs) {
    return Report(WaitUntil(timeoutMs, [] { return FindDialog() == nullptr; }),
                  "dialog is still there");
}

int WaitStatus(const char* wanted, DWORD timeoutMs) {
    char text[kTextSize];
    const bool found = WaitUntil(timeoutMs, [&] {
        return ReadDialogText(kStatusId, text, sizeof(text)) && strstr(text, wanted) != nullptr;
    });
    if (!found) {
        fprintf(stderr, "robot: status line never showed the text; it reads:\n");
        fwrite(text, 1, strlen(text), stderr);
        fputc('\n', stderr);
        return kFailed;
    }
    return PrintText(text);
}

int MessageBoxText(const char* caption, DWORD timeoutMs) {
    HWND box = nullptr;
    char text[kTextSize];
    const bool found = WaitUntil(timeoutMs, [&] {
        box = FindWindowA(kDialogClass, caption);
        return box != nullptr && ReadText(GetDlgItem(box, kMessageTextId), text, sizeof(text));
    });
    return found ? PrintText(text) : Report(false, "no message box with that caption");
}

int SendToDialog(UINT message, WPARAM wParam) {
    HWND dialog = FindDialog();
    DWORD_PTR ignored = 0;
    const bool sent =
        dialog != nullptr &&
        SendMessageTimeoutA(dialog, message, wParam, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored);
    return Report(sent, "no dialog to send to");
}

int PrintRect() {
    HWND dialog = FindDialog();
    RECT rect;
    if (dialog == nullptr || !GetWindowRect(dialog, &rect)) {
        return Report(false, "no dialog");
    }
    printf("%ld %ld %ld %ld %d %d\n", rect.left, rect.top, rect.right, rect.bottom,
           GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    return kDone;
}

int Hold(const char* path, DWORD milliseconds) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Report(false, "cannot open the file");
    }
    printf("held\n");
    fflush(stdout);
    Sleep(milliseconds);
    CloseHandle(file);
    return kDone;
}

DWORD Milliseconds(const char* text) {
    return strtoul(text, nullptr, 10);
}

int Number(const char* text) {
    return static_cast<int>(strtol(text, nullptr, 0));
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        return kWrongCall;
    }
    const char* command = argv[1];
    const int count = argc - 2;
    char** args = argv + 2;
    char text[kTextSize];
    if (strcmp(command, "wait") == 0 && count == 3) {
        return WaitForWindow(args[0], args[1], Milliseconds(args[2]));
    }
    if (strcmp(command, "wait-gone") == 0 && count == 1) {
        return WaitGone(Milliseconds(args[0]));
    }
    if (strcmp(command, "text") == 0 && count == 1) {
        return ReadDialogText(Number(args[0]), text, sizeof(text)) ? PrintText(text)
                                                                   : Report(false, "no text");
    }
    if (strcmp(command, "status") == 0 && count == 0) {
        return ReadDialogText(kStatusId, text, sizeof(text)) ? PrintText(text)
                                                             : Report(false, "no status");
    }
    if (strcmp(command, "wait-status") == 0 && count == 2) {
        return WaitStatus(args[0], Milliseconds(args[1]));
    }
    if (strcmp(command, "visible") == 0 && count == 1) {
        if (FindDialog() == nullptr) {
            return Report(false, "no dialog");
        }
        return PrintText(IsControlVisible(Number(args[0])) ? "visible" : "hidden");
    }
    if (strcmp(command, "wait-visible") == 0 && count == 2) {
        const int id = Number(args[0]);
        return Report(WaitUntil(Milliseconds(args[1]), [&] { return IsControlVisible(id); }),
                      "control never became visible");
    }
    if (strcmp(command, "click") == 0 && count == 1) {
        return Click(FindDialog(), Number(args[0]));
    }
    if (strcmp(command, "close") == 0 && count == 0) {
        // The frame's close box: the default handling turns it into the cancel command.
        return SendToDialog(WM_SYSCOMMAND, SC_CLOSE);
    }
    if (strcmp(command, "command") == 0 && count == 1) {
        return SendToDialog(WM_COMMAND, strtoul(args[0], nullptr, 0));
    }
    if (strcmp(command, "msgbox") == 0 && count == 2) {
        return MessageBoxText(args[0], Milliseconds(args[1]));
    }
    if (strcmp(command, "click-msgbox") == 0 && count == 2) {
        return Click(FindWindowA(kDialogClass, args[0]), Number(args[1]));
    }
    if (strcmp(command, "rect") == 0 && count == 0) {
        return PrintRect();
    }
    if (strcmp(command, "hold") == 0 && count == 2) {
        return Hold(args[0], Milliseconds(args[1]));
    }
    return kWrongCall;
}

}  // namespace

int main(int argc, char** argv) {
    // Texts leave as they are: no line-end translation.
    _setmode(_fileno(stdout), _O_BINARY);
    const int outcome = Run(argc, argv);
    if (outcome == kWrongCall) {
        fprintf(stderr, "robot: unknown command or wrong number of arguments\n");
    }
    fflush(stdout);
    return outcome;
}
