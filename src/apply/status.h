// The worker's channels to the user: the status line and message boxes owned by the
// progress window. Every phase reports through these.
#pragma once

#include <cstdint>

#include "apply/context.h"
#include "text/codepage.h"

// The status line holds at most 65,535 characters.
constexpr size_t kStatusCharacters = 65535;
constexpr size_t kStatusBufferSize = codepage::TextBufferSize(kStatusCharacters);

// Formats (printf rules, bounded to 65,535 characters) and replaces the whole status line.
void ShowStatus(const PatchContext& context, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Asks through a message box owned by the progress window; the platform's answer code.
int AskUser(const PatchContext& context, const char* text, const char* caption, uint32_t type);
