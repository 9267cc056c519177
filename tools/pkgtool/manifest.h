// The package manifest: the text a patch author writes to describe a package, one directive a
// line (docs/manifest.md). The manifest is UTF-8; entry names and section texts are converted
// to Windows-1251, the package's text encoding. Host paths (payload folders, source files)
// stay as they are and count from the manifest's folder.
#pragma once

#include <string>
#include <string_view>

#include "package_builder.h"

namespace pkgbuild {

// Converts UTF-8 text to Windows-1251. Fails on malformed UTF-8 and on a character that has
// no Windows-1251 form; `problem` then says which.
bool Utf8ToWindows1251(std::string_view utf8, std::string* out, std::string* problem);

// Converts Windows-1251 text to UTF-8 for display. Control bytes and the one byte with no
// character (0x98) come out as "\xNN", so a damaged name cannot disturb a terminal.
std::string Windows1251ToUtf8(std::string_view text);

// ASCII letters folded, as the installer compares entry names.
std::string FoldName(std::string_view name);

// Parses a manifest into a package ready for Build: control sections first, in their fixed
// order, then the payload entries in order of appearance. Payload files are read from disk,
// relative to `baseFolder`; a manifest without payload directives reads no file. On failure
// `error` is "line N: ..." (or a message about the whole manifest) and `out` is unspecified.
bool ParseManifest(const std::string& text, const std::string& baseFolder, Package* out,
                   std::string* error);

// The manifest form of a field (UTF-8 text): backslashes, '|' and line breaks escaped, and
// what the parser would take for something else (a control character, a blank at either
// end, an '=' between blanks) written as \xNN, so that the field reads back exactly.
std::string EscapeField(std::string_view utf8);

// The manifest `text` with the host paths of its lines (`payload`, `file`, `stored-file`), which
// count from `fromFolder`, rewritten to count from `toFolder`; every other line is kept as it
// is. Lines are read as ParseManifest reads them.
std::string RebaseHostPaths(std::string_view text, const std::string& fromFolder,
                            const std::string& toFolder);

}  // namespace pkgbuild
