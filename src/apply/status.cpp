#include "apply/status.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "apply/apply.h"
#include "text/codepage.h"

void ShowStatus(const PatchContext& context, const char* format, ...) {
    // The buffer comes from the heap on every call, so that the worker's small stack never
    // holds a status text; when it cannot be had, nothing is shown.
    std::unique_ptr<char[]> text(new (std::nothrow) char[kStatusBufferSize]);
    if (!text) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(text.get(), kStatusBufferSize, format, arguments);
    va_end(arguments);
    if (length < 0) {
        return;
    }
    // A longer text is cut after its last whole character that the line may hold.
    const std::string_view formatted(text.get(), strlen(text.get()));
    text[codepage::CharacterPrefix(formatted, kStatusCharacters)] = '\0';
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
    return length >= 0 && static_cast<size_t>(length) < size &&
           codepage::CountCharacters(out) <= codepage::CharacterRoom(size);
}
