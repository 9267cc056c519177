// The terminal front end of the posix backend: the progress window's status line, questions
// and final "[OK]" wait, on a pair of streams (stdin and stdout unless a test sets others).
#pragma once

#include <cstdio>

namespace platform {

// Texts go to `output` (as UTF-8), answers are read from `input`.
void SetTerminalStreams(FILE* input, FILE* output);

}  // namespace platform
