// Paths of the machine pkgtool runs on. Text inside the program is UTF-8; the file system's
// names are bytes on Linux and UTF-16 on Windows, where std::filesystem would read and write
// a std::string in the ANSI code page, which cannot hold every name. So every conversion
// between the two goes through the UTF-8 (char8_t) forms here, and files are opened by path,
// never by a narrow name.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace pkgbuild {

// The path named by UTF-8 text. The text must be valid UTF-8 on Windows (check it first where
// it comes from a person: std::filesystem refuses it with an exception otherwise).
inline std::filesystem::path PathOfUtf8(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The path as UTF-8 text, with '/' between names on every system, so that manifests and
// messages read the same on Linux and Windows.
inline std::string Utf8OfPath(const std::filesystem::path& path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

// std::fopen for a path of any name (on Windows through the UTF-16 name); null on failure.
std::FILE* OpenHostFile(const std::filesystem::path& path, const char* mode);

}  // namespace pkgbuild
