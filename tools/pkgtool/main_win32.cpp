// pkgtool's entry point on Windows: the arguments as the system gives them, UTF-16, turned
// into UTF-8 (never through the ANSI code page, which cannot hold every name), and the text
// printed to a console shown as Unicode (console_win32.h).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "console_win32.h"
#include "main.h"
#include "platform/win32/wide.h"
#include "text/codepage.h"

namespace {

constexpr int kExitUsage = 2;

bool Utf8Of(const wchar_t* text, std::string* utf8) {
    const size_t length = std::wcslen(text);
    utf8->assign(codepage::TextBufferSize(length), '\0');
    size_t written = 0;
    if (!platform::WideToUtf8(text, static_cast<int>(length), utf8->data(), utf8->size(),
                              &written)) {
        return false;
    }
    utf8->resize(written);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments(static_cast<size_t>(argc));
    std::vector<char*> pointers;
    for (int i = 0; i < argc; ++i) {
        if (!Utf8Of(argv[i], &arguments[i])) {
            std::fprintf(stderr, "pkgtool: argument %d is not valid Unicode\n", i);
            return kExitUsage;
        }
        pointers.push_back(arguments[i].data());
    }
    pointers.push_back(nullptr);
    static ConsoleOutput console;  // the streams keep its buffers until the program ends
    console.Start();
    const int status = RunPkgtool(argc, pointers.data());
    console.Finish();
    return status;
}
