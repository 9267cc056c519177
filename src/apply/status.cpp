#include "apply/status.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

#include "apply/apply.h"

void ShowStatus(const PatchContext& context, const char* format, ...) {
    // The buffer comes from the heap on every call, so that the worker's small stack never
    // holds a status text; when it cannot be had, nothing is shown.
    std::unique_ptr<char[]> text(new (std::nothrow) char[kStatusBufferSize]);
    if (!text) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text.get(), kStatusBufferSize, format, arguments);
    va_end(arguments);
    platform::SetStatusText(context.dialogWindow, text.get());
}

int AskUser(const PatchContext& context, const char* text, const char* caption, uint32_t type) {
    return platform::AskUser(context.dialogWindow, text, caption, type);
}

bool FormatPath(char* out, size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(out, size, format, arguments);
    va_end(arguments);
    return length >= 0 && static_cast<size_t>(length) < size;
}
