// The progress window on Win32: a modeless dialog from template 101 owned by the main thread.
// The worker changes it only through calls that return once the main thread has applied them
// (sent messages), so the main loop must keep servicing sent messages at all times, also
// while a message box of the worker is open.
//
// The loop does not poll: it sleeps until a message arrives or the worker signals the end of
// the run through an event. There is no dialog keyboard handling and a close request from
// the frame does nothing; only a click on button 1 after the run has finished ends it.
#include <windows.h>

#include <new>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace platform {
namespace {

constexpr int kDialogTemplate = 101;
constexpr int kIconGroup = 103;
constexpr int kButtonId = 1;
constexpr int kStatusId = 1000;
constexpr int kSecondTextId = 1001;
constexpr UINT kMoveOnly = SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE;  // 0x15

struct ProgressWindow {
    HWND dialog;
    std::atomic<int32_t>* runState;
    HANDLE runEnded;  // set by the worker right after it stores the final run state
};

ProgressWindow* Record(Window window) {
    return reinterpret_cast<ProgressWindow*>(window.value);
}

// Half the difference between the screen's extent and the window's, in signed 32-bit
// arithmetic truncating toward zero: a window larger than the screen gets a negative place.
void CentreOnScreen(HWND dialog) {
    RECT outer;
    if (!GetWindowRect(dialog, &outer)) {
        return;
    }
    const int32_t screenHeight = GetSystemMetrics(SM_CYSCREEN);
    const int32_t screenWidth = GetSystemMetrics(SM_CXSCREEN);
    const int32_t y = (screenHeight + outer.top - outer.bottom) / 2;
    const int32_t x = (screenWidth + outer.left - outer.right) / 2;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, kMoveOnly);
}

INT_PTR CALLBACK DialogProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        SetDlgItemTextW(dialog, kStatusId, L"");
        SetDlgItemTextW(dialog, kSecondTextId, L"");
        SetDlgItemTextW(dialog, kButtonId, L"Done");
        CentreOnScreen(dialog);
        return 0;  // no keyboard focus is assigned
    }
    if (message == WM_COMMAND) {
        const auto* window =
            reinterpret_cast<const ProgressWindow*>(GetWindowLongPtrW(dialog, DWLP_USER));
        const bool click = HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == kButtonId;
        // Clicks while the worker is still working are ignored.
        if (window != nullptr && click && window->runState->load() != kRunWorking) {
            window->runState->store(kRunClosing);
            return 1;
        }
    }
    return 0;
}

// The big and the small icon, each at the size the system asks for, from icon group 103.
void SetIcons(HWND dialog, HINSTANCE instance) {
    const struct {
        WPARAM which;
        int width;
        int height;
    } kinds[] = {{ICON_BIG, SM_CXICON, SM_CYICON}, {ICON_SMALL, SM_CXSMICON, SM_CYSMICON}};
    for (const auto& kind : kinds) {
        // Shared: the system owns the icon, so nothing is left to free when the window goes.
        HANDLE icon =
            LoadImageW(instance, MAKEINTRESOURCEW(kIconGroup), IMAGE_ICON,
                       GetSystemMetrics(kind.width), GetSystemMetrics(kind.height), LR_SHARED);
        SendMessageW(dialog, WM_SETICON, kind.which, reinterpret_cast<LPARAM>(icon));
    }
}

}  // namespace

Window OpenProgressWindow(std::atomic<int32_t>* runState) {
    ProgressWindow* window = new (std::nothrow) ProgressWindow{nullptr, runState, nullptr};
    if (window == nullptr) {
        return Window{};
    }
    window->runEnded = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (window->runEnded != nullptr) {
        window->dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(kDialogTemplate), nullptr,
                                            DialogProcedure, reinterpret_cast<LPARAM>(window));
    }
    if (window->dialog == nullptr) {
        if (window->runEnded != nullptr) {
            CloseHandle(window->runEnded);
        }
        delete window;
        return Window{};
    }
    ShowWindow(window->dialog, SW_SHOW);
    SetIcons(window->dialog, instance);
    ShowWindow(GetDlgItem(window->dialog, kButtonId), SW_HIDE);
    return Window{reinterpret_cast<intptr_t>(window)};
}

// A text that cannot be converted or allocated is not shown; the line stays as it was.
void SetStatusText(Window window, const char* text) {
    const WideText wide(text);
    if (wide.ok()) {
        SetDlgItemTextW(Record(window)->dialog, kStatusId, wide.get());
    }
}

// A box whose texts cannot be converted or allocated is answered Cancel unseen, as if closed.
int AskUser(Window window, const char* text, const char* caption, uint32_t type) {
    const WideText wideText(text);
    const WideText wideCaption(caption);
    if (!wideText.ok() || !wideCaption.ok()) {
        return IDCANCEL;
    }
    return MessageBoxW(Record(window)->dialog, wideText.get(), wideCaption.get(), type);
}

void ShowFinishButton(Window window) {
    HWND dialog = Record(window)->dialog;
    ShowWindow(GetDlgItem(dialog, kButtonId), SW_SHOW);
    SetDlgItemTextW(dialog, kButtonId, L"OK");
}

void WakeWindowLoop(Window window) {
    SetEvent(Record(window)->runEnded);
}

void RunWindowLoop(Window window) {
    const ProgressWindow* progress = Record(window);
    MSG message;
    while (progress->runState->load() < kRunClosing) {
        // Only the dialog's own messages are removed; every peek also services the messages
        // that other threads send, such as the worker's status texts.
        while (PeekMessageW(&message, progress->dialog, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (progress->runState->load() >= kRunClosing) {
            break;
        }
        // Returns for what arrives after the peek above: a message, one sent by the worker,
        // or the end of the run. Not asking for input already queued means that a message
        // for another window of this thread, which the peek leaves alone, cannot keep the
        // loop busy.
        MsgWaitForMultipleObjectsEx(1, &progress->runEnded, INFINITE, QS_ALLINPUT, 0);
    }
}

void CloseProgressWindow(Window window) {
    ProgressWindow* progress = Record(window);
    if (progress == nullptr) {
        return;
    }
    DestroyWindow(progress->dialog);
    CloseHandle(progress->runEnded);
    delete progress;
}

}  // namespace platform
