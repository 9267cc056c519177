// Program paths to system paths: the program names files in Windows-1251 with backslashes
// and expects a Windows file system's case-insensitive names.
#pragma once

#include <string>
#include <string_view>

namespace platform::posix {

// `\` (and `/`) separate components, repeated separators count as one; each component is
// converted to UTF-8 and, when no entry of exactly that name exists in its parent folder,
// looked up there ignoring ASCII and Cyrillic letter case. A component found neither way,
// and everything after it, is kept as written so that new files and folders can be named.
// A relative path stays relative (the system resolves it against the current folder).
std::string ConvertPath(std::string_view path);

// The same for a C string; null converts to the empty path, which names nothing.
std::string ConvertPath(const char* path);

}  // namespace platform::posix
