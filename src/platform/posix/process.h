// External programs of the posix backend: a Windows command line becomes an argv.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::posix {

// Splits a command line as the Windows C runtime builds argv from it. The first word is the
// program name: quotes group, backslashes are plain. After it, words are separated by blanks
// and tabs; quotes group and are removed; 2n backslashes before a quote give n backslashes
// and the quote groups, 2n+1 give n backslashes and a literal quote; `""` inside quotes is a
// literal quote; other backslashes are plain. Bytes are returned unchanged otherwise.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// For tests and fuzzers that must not start what a package names: while a recorder is set,
// StartProcess starts nothing, hands the program, its argv and its folder (UTF-8, as they
// would be passed) to the recorder and succeeds, and SleepMilliseconds returns at once, as
// there is no program whose files to wait for. Null goes back to starting programs.
using StartRecorder = void (*)(const std::string& program, const std::vector<std::string>& argv,
                               const std::string& folder);
void RecordStartsForTesting(StartRecorder recorder);

}  // namespace platform::posix
