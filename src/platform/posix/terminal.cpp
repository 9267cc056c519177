// The progress window as a terminal: status texts are printed as they are set, questions are
// answered by a line of input, and the end of the run waits on a condition variable (never
// polling) until the worker has stored the final run state.
#include "platform/posix/terminal.h"

#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "text/codepage.h"

namespace platform {
namespace {

// The one progress "window" of the process.
struct Terminal {
    std::mutex lock;
    std::condition_variable runStateChanged;
    std::atomic<int32_t>* runState = nullptr;
    FILE* input = nullptr;   // null: stdin
    FILE* output = nullptr;  // null: stdout
};

Terminal& TheTerminal() {
    static Terminal terminal;
    return terminal;
}

FILE* InputOf(const Terminal& terminal) {
    return terminal.input ? terminal.input : stdin;
}
FILE* OutputOf(const Terminal& terminal) {
    return terminal.output ? terminal.output : stdout;
}

// CR LF shown as a line feed.
std::string DisplayText(const char* text) {
    const std::string shown = text ? text : "";
    std::string out;
    out.reserve(shown.size() + 1);
    for (size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n') {
            continue;
        }
        out.push_back(shown[i]);
    }
    return out;
}

// Ends in one line break, without doubling the text's own.
std::string AsLine(std::string text) {
    if (text.empty() || text.back() != '\n') {
        text.push_back('\n');
    }
    return text;
}

void Print(FILE* output, const std::string& text) {
    fwrite(text.data(), 1, text.size(), output);
    fflush(output);
}

// One line of input without its line break and surrounding blanks; false at end of input
// with nothing read.
bool ReadLine(FILE* input, std::string* line) {
    line->clear();
    bool any = false;
    int c;
    while ((c = fgetc(input)) != EOF) {
        any = true;
        if (c == '\n') {
            break;
        }
        line->push_back(static_cast<char>(c));
    }
    const size_t first = line->find_first_not_of(" \t\r");
    const size_t last = line->find_last_not_of(" \t\r");
    *line = first == std::string::npos ? std::string() : line->substr(first, last - first + 1);
    return any;
}

// Input that is no terminal was not echoed: a line break ends the prompt's line instead.
void EndPromptLine(FILE* input, FILE* output) {
    const int fd = fileno(input);
    if (fd < 0 || !isatty(fd)) {
        Print(output, "\n");
    }
}

bool MeansOk(const std::string& answer) {
    return answer.empty() || codepage::EqualFoldUtf8(answer, "ok") ||
           codepage::EqualFoldUtf8(answer, "o");
}

}  // namespace

void SetTerminalStreams(FILE* input, FILE* output) {
    Terminal& terminal = TheTerminal();
    std::lock_guard<std::mutex> guard(terminal.lock);
    terminal.input = input;
    terminal.output = output;
}

Window OpenProgressWindow(std::atomic<int32_t>* runState) {
    Terminal& terminal = TheTerminal();
    std::lock_guard<std::mutex> guard(terminal.lock);
    terminal.runState = runState;
    return Window{1};
}

void SetStatusText(Window, const char* text) {
    Terminal& terminal = TheTerminal();
    std::lock_guard<std::mutex> guard(terminal.lock);
    Print(OutputOf(terminal), AsLine(DisplayText(text)));
}

int AskUser(Window, const char* text, const char* caption, uint32_t type) {
    Terminal& terminal = TheTerminal();
    std::lock_guard<std::mutex> guard(terminal.lock);
    FILE* input = InputOf(terminal);
    FILE* output = OutputOf(terminal);
    const bool okCancel = (type & 0xF) == kBoxOkCancel;
    Print(output, "[" + DisplayText(caption) + "] " + AsLine(DisplayText(text)) +
                      (okCancel ? "(OK/Cancel) > " : "(OK) > "));
    std::string answer;
    const bool answered = ReadLine(input, &answer);
    EndPromptLine(input, output);
    if (!okCancel) {
        return kAnswerOk;
    }
    return answered && MeansOk(answer) ? kAnswerOk : kAnswerCancel;
}

// The terminal has no button to show; the end of the run is announced by RunWindowLoop.
void ShowFinishButton(Window) {}

void WakeWindowLoop(Window) {
    Terminal& terminal = TheTerminal();
    // Taking the lock orders the wake-up after the loop's test of the run state.
    std::lock_guard<std::mutex> guard(terminal.lock);
    terminal.runStateChanged.notify_all();
}

void RunWindowLoop(Window) {
    Terminal& terminal = TheTerminal();
    std::unique_lock<std::mutex> guard(terminal.lock);
    std::atomic<int32_t>* runState = terminal.runState;
    if (runState == nullptr) {
        return;
    }
    terminal.runStateChanged.wait(guard, [runState] { return runState->load() != kRunWorking; });
    if (runState->load() == kRunWaitingForUser) {
        Print(OutputOf(terminal), "[OK]\n");
        std::string ignored;
        ReadLine(InputOf(terminal), &ignored);
        runState->store(kRunClosing);
    }
}

void CloseProgressWindow(Window) {
    Terminal& terminal = TheTerminal();
    std::lock_guard<std::mutex> guard(terminal.lock);
    fflush(OutputOf(terminal));
}

}  // namespace platform
