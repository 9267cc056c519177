// The ".reg" text of the registry store, its in-memory model, and the file's atomic
// replacement. The model holds UTF-8, as the program does. The file is Windows-1251 text, as
// it always was, unless some name or text has no Windows-1251 form: then the whole file is
// UTF-8, marked by a byte-order mark (EF BB BF) in front of the header.
//
// Text form (REGEDIT4):
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\Firm\Product]
//   @="default value"
//   "Name"="text with \\ and \" escaped"
//   "Level"=dword:0000000b
//   "Other"=hex(3):01,02,ff
//
// A REG_SZ that is not a plain NUL-terminated one-line text is written as hex(1), so every
// value's bytes come back exactly. Lines may continue after a trailing backslash.
#include "platform/posix/registry_store.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/faults.h"
#include "text/codepage.h"

namespace platform::posix {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kRootNames[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"};
constexpr std::string_view kStoreFolder = "/qlm-patch/registry.reg";
// A registry file larger than this is not ours; refusing it beats exhausting memory.
constexpr size_t kMaxFileSize = 64u << 20;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

// --- reading --------------------------------------------------------------------------------

// A bounded cursor over one logical line.
struct Cursor {
    std::string_view text;
    size_t pos = 0;

    bool atEnd() const { return pos >= text.size(); }
    char peek() const { return atEnd() ? '\0' : text[pos]; }
    bool take(char c) {
        if (atEnd() || text[pos] != c) {
            return false;
        }
        ++pos;
        return true;
    }
    // Case-insensitive ASCII prefix, as regedit accepts "DWORD:" too.
    bool takeWord(std::string_view word) {
        if (text.size() - pos < word.size() ||
            !codepage::EqualFoldCp1251(text.substr(pos, word.size()), word)) {
            return false;
        }
        pos += word.size();
        return true;
    }
    void skipBlanks() {
        while (!atEnd() && (text[pos] == ' ' || text[pos] == '\t')) {
            ++pos;
        }
    }
};

// 1 to `maxDigits` hex digits.
bool TakeHexNumber(Cursor* cursor, size_t maxDigits, uint32_t* value) {
    size_t digits = 0;
    *value = 0;
    while (digits < maxDigits && codepage::HexDigitValue(cursor->peek()) >= 0) {
        *value = (*value << 4) | static_cast<uint32_t>(codepage::HexDigitValue(cursor->peek()));
        ++cursor->pos;
        ++digits;
    }
    return digits > 0 && codepage::HexDigitValue(cursor->peek()) < 0;
}

// A double-quoted text with `\` escaping the next byte; the cursor is on the opening quote.
bool TakeQuoted(Cursor* cursor, std::string* out) {
    out->clear();
    if (!cursor->take('"')) {
        return false;
    }
    while (!cursor->atEnd()) {
        char c = cursor->text[cursor->pos++];
        if (c == '"') {
            return true;
        }
        if (c == '\\') {
            if (cursor->atEnd()) {
                return false;
            }
            c = cursor->text[cursor->pos++];
        }
        out->push_back(c);
    }
    return false;
}

// "aa,bb,..." up to the end of the line; blanks around bytes allowed, an empty list too.
bool TakeHexBytes(Cursor* cursor, std::string* out) {
    out->clear();
    cursor->skipBlanks();
    if (cursor->atEnd()) {
        return true;
    }
    for (;;) {
        cursor->skipBlanks();
        uint32_t byte = 0;
        if (!TakeHexNumber(cursor, 2, &byte)) {
            return false;
        }
        out->push_back(static_cast<char>(byte));
        cursor->skipBlanks();
        if (cursor->atEnd()) {
            return true;
        }
        if (!cursor->take(',')) {
            return false;
        }
    }
}

bool TakeValueData(Cursor* cursor, uint32_t* type, std::string* data) {
    if (cursor->peek() == '"') {
        if (!TakeQuoted(cursor, data)) {
            return false;
        }
        data->push_back('\0');
        *type = kRegSz;
        return true;
    }
    if (cursor->takeWord("dword:")) {
        uint32_t value = 0;
        if (!TakeHexNumber(cursor, 8, &value)) {
            return false;
        }
        data->assign(4, '\0');
        for (int i = 0; i < 4; ++i) {
            (*data)[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        }
        *type = kRegDword;
        return true;
    }
    if (cursor->takeWord("hex:")) {
        *type = kRegBinary;
        return TakeHexBytes(cursor, data);
    }
    if (cursor->takeWord("hex(")) {
        if (!TakeHexNumber(cursor, 8, type) || !cursor->take(')') || !cursor->take(':')) {
            return false;
        }
        return TakeHexBytes(cursor, data);
    }
    return false;
}

// `"name"=data` or `@=data` into `key`; false for a line that cannot be read.
bool ParseValueLine(std::string_view line, RegKeyEntry* key) {
    Cursor cursor{line};
    std::string name;
    if (!cursor.take('@') && !TakeQuoted(&cursor, &name)) {
        return false;
    }
    cursor.skipBlanks();
    if (!cursor.take('=')) {
        return false;
    }
    cursor.skipBlanks();
    uint32_t type = 0;
    std::string data;
    if (!TakeValueData(&cursor, &type, &data)) {
        return false;
    }
    PutValue(key, name, type, std::move(data));
    return true;
}

// The next logical line: physical lines joined where one ends in a backslash (how long hex
// data is wrapped), a carriage return before the line feed dropped, leading blanks skipped.
std::string NextLine(std::string_view text, size_t* pos) {
    std::string line;
    while (*pos < text.size()) {
        size_t end = text.find('\n', *pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view piece = text.substr(*pos, end - *pos);
        *pos = end < text.size() ? end + 1 : end;
        if (!piece.empty() && piece.back() == '\r') {
            piece.remove_suffix(1);
        }
        const size_t start = piece.find_first_not_of(" \t");
        piece = start == std::string_view::npos ? std::string_view() : piece.substr(start);
        line += piece;
        if (line.empty() || line.back() != '\\') {
            break;
        }
        line.pop_back();
    }
    return line;
}

// --- writing --------------------------------------------------------------------------------

void AppendQuoted(std::string_view text, std::string* out) {
    out->push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out->push_back('\\');
        }
        out->push_back(c);
    }
    out->push_back('"');
}

// A REG_SZ written as "text": one NUL, at the end, and no line break.
bool IsPlainString(std::string_view data) {
    return !data.empty() && data.back() == '\0' &&
           data.substr(0, data.size() - 1).find_first_of(std::string_view("\0\r\n", 3)) ==
               std::string_view::npos;
}

void AppendValue(const RegValue& value, std::string* out) {
    if (value.name.empty()) {
        out->push_back('@');
    } else {
        AppendQuoted(value.name, out);
    }
    out->push_back('=');
    char buffer[32];
    if (value.type == kRegSz && IsPlainString(value.data)) {
        AppendQuoted(std::string_view(value.data).substr(0, value.data.size() - 1), out);
    } else if (value.type == kRegDword && value.data.size() == 4) {
        uint32_t number = 0;
        for (int i = 3; i >= 0; --i) {
            number = (number << 8) | static_cast<unsigned char>(value.data[i]);
        }
        snprintf(buffer, sizeof buffer, "dword:%08x", number);
        *out += buffer;
    } else {
        snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
        *out += buffer;
        for (size_t i = 0; i < value.data.size(); ++i) {
            snprintf(buffer, sizeof buffer, i == 0 ? "%02x" : ",%02x",
                     static_cast<unsigned char>(value.data[i]));
            *out += buffer;
        }
    }
    out->push_back('\n');
}

// --- the encoding of the file --------------------------------------------------------------

// Applies `convert` to every text of the store: key paths, value names and the data of text
// values. False as soon as one cannot be converted.
template <typename Convert>
bool ConvertTexts(RegStore* store, Convert convert) {
    for (RegKeyEntry& key : store->keys) {
        if (!convert(&key.path)) {
            return false;
        }
        for (RegValue& value : key.values) {
            const bool isText =
                value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz;
            if (!convert(&value.name) || (isText && !convert(&value.data))) {
                return false;
            }
        }
    }
    return true;
}

std::string FormatStore(const RegStore& store) {
    std::string out(kHeader);
    out += "\n\n";
    for (const RegKeyEntry& key : store.keys) {
        out += '[';
        out += key.path;
        out += "]\n";
        for (const RegValue& value : key.values) {
            AppendValue(value, &out);
        }
        out += '\n';
    }
    return out;
}

// --- the file -------------------------------------------------------------------------------

}  // namespace

bool CreateParentFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

namespace {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// The rename is on disk only once its folder is.
void SyncFolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

std::string NormaliseKeyPath(std::string_view path) {
    std::string out;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t end = path.find('\\', pos);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        std::string_view part = path.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty()) {
            continue;
        }
        if (out.empty()) {
            for (std::string_view root : kRootNames) {
                if (codepage::EqualFoldUtf8(part, root)) {
                    part = root;
                }
            }
        } else {
            out.push_back('\\');
        }
        out += part;
    }
    return out;
}

RegKeyEntry* FindKey(RegStore* store, std::string_view normalisedPath) {
    for (RegKeyEntry& key : store->keys) {
        if (codepage::EqualFoldUtf8(key.path, normalisedPath)) {
            return &key;
        }
    }
    return nullptr;
}

const RegValue* FindValue(const RegKeyEntry& key, std::string_view name) {
    for (const RegValue& value : key.values) {
        if (codepage::EqualFoldUtf8(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

bool EnsureKey(RegStore* store, std::string_view normalisedPath) {
    // The root alone is a key too (it may hold values); below it, each parent first.
    const size_t rootEnd = normalisedPath.find('\\');
    size_t end = rootEnd == std::string_view::npos ? normalisedPath.size()
                                                   : normalisedPath.find('\\', rootEnd + 1);
    bool added = false;
    for (;;) {
        if (end == std::string_view::npos) {
            end = normalisedPath.size();
        }
        const std::string_view prefix = normalisedPath.substr(0, end);
        if (!prefix.empty() && FindKey(store, prefix) == nullptr) {
            store->keys.push_back(RegKeyEntry{std::string(prefix), {}});
            added = true;
        }
        if (end >= normalisedPath.size()) {
            return added;
        }
        end = normalisedPath.find('\\', end + 1);
    }
}

void PutValue(RegKeyEntry* key, std::string_view name, uint32_t type, std::string data) {
    for (RegValue& value : key->values) {
        if (codepage::EqualFoldUtf8(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    key->values.push_back(RegValue{std::string(name), type, std::move(data)});
}

RegStore ParseRegText(std::string_view text) {
    const bool utf8 = text.substr(0, kUtf8Mark.size()) == kUtf8Mark;
    if (utf8) {
        text.remove_prefix(kUtf8Mark.size());
    }
    RegStore store;
    // The key the value lines belong to, by index: the vector grows while parsing.
    size_t current = SIZE_MAX;
    size_t pos = 0;
    while (pos < text.size()) {
        const std::string line = NextLine(text, &pos);
        if (line.empty() || line[0] == ';' || line == kHeader) {
            continue;
        }
        if (line[0] == '[') {
            // A header names the key up to its last bracket; "[-...]" (a deletion) and
            // damaged headers leave the following values without a key.
            current = SIZE_MAX;
            const size_t close = line.rfind(']');
            if (close == std::string::npos || line[1] == '-') {
                continue;
            }
            const std::string path = NormaliseKeyPath(std::string_view(line).substr(1, close - 1));
            if (path.empty() || !IsStorableName(path)) {
                continue;
            }
            EnsureKey(&store, path);
            current = static_cast<size_t>(FindKey(&store, path) - store.keys.data());
            continue;
        }
        if (current != SIZE_MAX) {
            ParseValueLine(line, &store.keys[current]);
        }
    }
    if (!utf8) {
        ConvertTexts(&store, [](std::string* text) {
            *text = codepage::Cp1251ToUtf8(*text);
            return true;
        });
    }
    return store;
}

std::string FormatRegText(const RegStore& store) {
    RegStore windows1251 = store;
    const bool fits = ConvertTexts(&windows1251, [](std::string* text) {
        std::string converted;
        if (!codepage::Utf8ToCp1251Exact(*text, &converted)) {
            return false;
        }
        *text = std::move(converted);
        return true;
    });
    return fits ? FormatStore(windows1251) : std::string(kUtf8Mark) + FormatStore(store);
}

bool IsStorableName(std::string_view name) {
    return name.find_first_of("\r\n") == std::string_view::npos;
}

std::string RegistryFilePath() {
    const char* explicitPath = getenv("QLM_REGISTRY");
    if (explicitPath != nullptr && explicitPath[0] != '\0') {
        return explicitPath;
    }
    const char* dataHome = getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') {
        return std::string(dataHome) + std::string(kStoreFolder);
    }
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::string(home) + "/.local/share" + std::string(kStoreFolder);
    }
    return {};
}

bool LoadRegistryFile(const std::string& path, RegStore* store) {
    store->keys.clear();
    if (FailsByTest(FallibleCall::RegistryRead)) {
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT;
    }
    std::string text;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || text.size() + static_cast<size_t>(got) > kMaxFileSize) {
            ok = got == 0;
            break;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    if (ok) {
        *store = ParseRegText(text);
    }
    return ok;
}

bool SaveRegistryFile(const std::string& path, const RegStore& store) {
    if (path.empty() || !CreateParentFolders(path)) {
        return false;
    }
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = !FailsByTest(FallibleCall::RegistryWrite) &&
                         WriteAll(fd, FormatRegText(store)) && fchmod(fd, 0644) == 0 &&
                         fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    SyncFolderOf(path);
    return true;
}

}  // namespace platform::posix
