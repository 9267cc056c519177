// The test helper's entry point on Windows: the arguments as the system gives them, UTF-16,
// turned into UTF-8 (never through the ANSI code page, which cannot hold every name).
#include <windows.h>

#include "helper.h"

namespace {

std::string Utf8Of(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back();  // the NUL
    return utf8;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int index = 0; index < argc; ++index) {
        arguments.push_back(Utf8Of(argv[index]));
    }
    return RunHelper(arguments);
}
