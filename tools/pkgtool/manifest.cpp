// The manifest parser: one directive a line, fields separated by '|', turned into the entries
// of a package. It checks what the package format cannot express (names without a
// Windows-1251 form, empty strings that would end a string list early, an operation that
// would end the registry table) so that a mistake is reported with its line instead of
// producing a package that installs less than its author wrote.
#include "manifest.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "host_path.h"
#include "package/format.h"
#include "text/codepage.h"

namespace pkgbuild {
namespace {

namespace fs = std::filesystem;

// Fields and numbers -------------------------------------------------------------------------

constexpr char kBlanks[] = " \t";

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// Splits at every '|' that is not escaped; each field trimmed. An empty text has no fields.
std::vector<std::string_view> SplitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    if (Trim(text).empty()) {
        return fields;
    }
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;  // the escaped character never separates
        } else if (text[i] == '|') {
            fields.push_back(Trim(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    fields.push_back(Trim(text.substr(start)));
    return fields;
}

// The character of a \xNN escape from the two digits at the start of `digits`. Only ASCII
// codes: a byte of the upper half would break the UTF-8 the field is converted from.
bool UnescapeCode(std::string_view digits, std::string* out) {
    if (digits.size() < 2 || codepage::HexDigitValue(digits[0]) < 0 ||
        codepage::HexDigitValue(digits[1]) < 0) {
        return false;
    }
    const int code = codepage::HexDigitValue(digits[0]) * 16 + codepage::HexDigitValue(digits[1]);
    if (code == 0 || code > 0x7F) {
        return false;
    }
    out->push_back(static_cast<char>(code));
    return true;
}

// Resolves \r \n \\ \| \xNN. Any other backslash is refused rather than kept, so that a path
// written with single backslashes fails loudly instead of hiding a "\n" that became a line
// break.
bool Unescape(std::string_view raw, std::string* out, std::string* problem) {
    out->clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out->push_back(raw[i]);
            continue;
        }
        if (i + 1 == raw.size()) {
            *problem = "a backslash ends the field (write \\\\ for a backslash)";
            return false;
        }
        const char escaped = raw[++i];
        switch (escaped) {
            case 'r':
                out->push_back('\r');
                break;
            case 'n':
                out->push_back('\n');
                break;
            case '\\':
            case '|':
                out->push_back(escaped);
                break;
            case 'x':
                if (!UnescapeCode(raw.substr(i + 1), out)) {
                    *problem = "\\x needs two hex digits of an ASCII code from 01 to 7F";
                    return false;
                }
                i += 2;
                break;
            default:
                *problem =
                    std::string("unknown escape \\") + escaped + " (write \\\\ for a backslash)";
                return false;
        }
    }
    return true;
}

// Digits of one base, nothing else, at most `maximum`.
bool ParseDigits(std::string_view text, uint32_t base, uint32_t maximum, uint32_t* value) {
    if (text.empty()) {
        return false;
    }
    uint64_t result = 0;
    for (const char c : text) {
        const int digit = codepage::HexDigitValue(c);
        if (digit < 0 || static_cast<uint32_t>(digit) >= base) {
            return false;
        }
        result = result * base + static_cast<uint32_t>(digit);
        if (result > maximum) {
            return false;
        }
    }
    *value = static_cast<uint32_t>(result);
    return true;
}

// Decimal, or hexadecimal after "0x"; no sign, no blanks; at most `maximum`.
bool ParseUnsigned(std::string_view text, uint32_t maximum, uint32_t* value) {
    if (text.starts_with("0x") || text.starts_with("0X")) {
        return ParseDigits(text.substr(2), 16, maximum, value);
    }
    return ParseDigits(text, 10, maximum, value);
}

// Valid UTF-8 throughout, as a path must be to name a file on Windows.
bool IsUtf8(std::string_view text) {
    for (size_t pos = 0; pos < text.size();) {
        if (codepage::DecodeUtf8(text, &pos) < 0) {
            return false;
        }
    }
    return true;
}

// Signed decimal within 32 bits, with an optional '+' or '-'.
bool ParseSigned(std::string_view text, int32_t* value) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    uint32_t magnitude = 0;
    if (!ParseDigits(text, 10, negative ? 0x80000000u : 0x7FFFFFFFu, &magnitude)) {
        return false;
    }
    *value = negative ? static_cast<int32_t>(0u - magnitude) : static_cast<int32_t>(magnitude);
    return true;
}

}  // namespace

std::string FoldName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

namespace {

// The parser --------------------------------------------------------------------------------

struct Parser {
    std::string baseFolder;
    int line = 0;
    std::string* error = nullptr;

    // What the directives gathered, encoded into sections at the end.
    int registryKeysLine = 0;
    Bytes registryKeys;
    int startupMsgLine = 0;
    std::vector<std::string> startupMsg;
    std::vector<std::string> xlat;  // stored name, real path, ...
    std::vector<std::string> folders;
    std::vector<Command> commands;
    std::vector<std::string> filesToRemove;
    std::vector<RegistryRecord> registry;
    std::vector<Entry> payload;
    std::set<std::string> payloadNames;  // folded stored names and real paths
    uint32_t placeholders = 0;
    bool stored = false;
    bool directoryStored = false;

    bool Fail(const std::string& message) {
        *error = "line " + std::to_string(line) + ": " + message;
        return false;
    }
};

using Fields = std::vector<std::string_view>;

// A text of the package: escapes resolved, converted to Windows-1251.
bool TextField(Parser& p, std::string_view raw, std::string* out) {
    std::string text;
    std::string problem;
    if (!Unescape(raw, &text, &problem) || !Utf8ToWindows1251(text, out, &problem)) {
        return p.Fail(problem);
    }
    return true;
}

// A string that must not be empty (an empty string ends a string list or a command list).
bool NonEmptyTextField(Parser& p, std::string_view raw, const char* what, std::string* out) {
    if (!TextField(p, raw, out)) {
        return false;
    }
    if (out->empty()) {
        return p.Fail(std::string(what) + " is empty");
    }
    return true;
}

// A path inside the installation or the registry: a line break in it is always a mistake.
bool PathField(Parser& p, std::string_view raw, const char* what, std::string* out) {
    if (!NonEmptyTextField(p, raw, what, out)) {
        return false;
    }
    if (out->find_first_of("\r\n") != std::string::npos) {
        return p.Fail(std::string(what) + " holds a line break (write \\\\ for a backslash)");
    }
    return true;
}

// A path of this machine, relative to the manifest's folder; not converted.
bool HostPathField(Parser& p, std::string_view raw, const char* what, fs::path* out) {
    std::string text;
    std::string problem;
    if (!Unescape(raw, &text, &problem)) {
        return p.Fail(problem);
    }
    if (text.empty()) {
        return p.Fail(std::string(what) + " is empty");
    }
    if (!IsUtf8(text)) {
        return p.Fail(std::string(what) + " is not valid UTF-8");
    }
    *out = PathOfUtf8(p.baseFolder) / PathOfUtf8(text);
    return true;
}

bool NumberField(Parser& p, std::string_view raw, const char* what, uint32_t maximum,
                 uint32_t* value) {
    if (!ParseUnsigned(raw, maximum, value)) {
        return p.Fail("bad number '" + std::string(raw) + "' for " + what +
                      " (decimal or 0x hex, at most " + std::to_string(maximum) + ")");
    }
    return true;
}

// Adds a payload entry, `entry` named `realName`; a name too long for the entry gets a
// placeholder and a name pair.
bool AddPayload(Parser& p, const std::string& realName, Entry entry) {
    if (realName.empty()) {
        return p.Fail("an entry name is empty");
    }
    if (realName[0] == kSectionPrefix) {
        return p.Fail("entry name '" + Windows1251ToUtf8(realName) +
                      "' begins with ':', which marks control sections");
    }
    if (!p.payloadNames.insert(FoldName(realName)).second) {
        return p.Fail("entry name '" + Windows1251ToUtf8(realName) + "' is used twice");
    }
    std::string storedName = realName;
    if (realName.size() > kMaxEntryNameLength) {
        char placeholder[kNameSize];
        std::snprintf(placeholder, sizeof placeholder, "TMP%016u", ++p.placeholders);
        storedName = placeholder;
        if (!p.payloadNames.insert(FoldName(storedName)).second) {
            return p.Fail("placeholder " + storedName + " is already an entry name");
        }
        p.xlat.push_back(storedName);
        p.xlat.push_back(realName);
    }
    entry.name = storedName;
    p.payload.push_back(std::move(entry));
    return true;
}

// A file must be readable now; it is read when the package is built.
bool CheckReadable(Parser& p, const fs::path& path, uintmax_t* size) {
    std::FILE* file = OpenHostFile(path, "rb");
    if (file == nullptr) {
        return p.Fail("cannot read " + Utf8OfPath(path));
    }
    std::fclose(file);
    std::error_code ec;
    *size = fs::file_size(path, ec);
    if (ec) {
        return p.Fail("cannot read " + Utf8OfPath(path));
    }
    return true;
}

// A payload file, or a delta's bytes, must also fit an entry.
bool CheckSource(Parser& p, const fs::path& path) {
    uintmax_t size = 0;
    if (!CheckReadable(p, path, &size)) {
        return false;
    }
    if (size > UINT32_MAX) {
        return p.Fail(Utf8OfPath(path) + " is larger than a package can hold");
    }
    return true;
}

// Directives --------------------------------------------------------------------------------

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// NAME = SOURCE: the first '=' with a blank on each side separates them, each trimmed; false
// when none does.
bool SplitFileField(std::string_view field, std::string_view* name, std::string_view* source) {
    for (size_t i = 1; i + 1 < field.size(); ++i) {
        if (field[i] == '=' && IsBlank(field[i - 1]) && IsBlank(field[i + 1])) {
            *name = Trim(field.substr(0, i));
            *source = Trim(field.substr(i + 1));
            return true;
        }
    }
    return false;
}

bool DoPayload(Parser& p, const Fields& f) {
    fs::path folder;
    if (!HostPathField(p, f[0], "DIR", &folder)) {
        return false;
    }
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        return p.Fail(Utf8OfPath(folder) + " is not a folder");
    }
    // (entry name, file) sorted by entry name, so the package does not depend on the order
    // in which the file system lists a folder.
    std::vector<std::pair<std::string, fs::path>> files;
    fs::recursive_directory_iterator it(folder, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code kindError;
        if (!it->is_regular_file(kindError)) {
            continue;
        }
        const std::string relative = Utf8OfPath(it->path().lexically_relative(folder));
        if (relative.find('\\') != std::string::npos) {
            return p.Fail("file name '" + relative + "' holds a backslash");
        }
        std::string name;
        std::string problem;
        if (!Utf8ToWindows1251(relative, &name, &problem)) {
            return p.Fail("file name '" + relative + "': " + problem);
        }
        std::replace(name.begin(), name.end(), '/', '\\');
        files.emplace_back(std::move(name), it->path());
    }
    if (ec) {
        return p.Fail("cannot list " + Utf8OfPath(folder) + ": " + ec.message());
    }
    std::sort(files.begin(), files.end());
    for (auto& [name, path] : files) {
        if (!CheckSource(p, path) || !AddPayload(p, name, Entry{.sourceFile = Utf8OfPath(path)})) {
            return false;
        }
    }
    return true;
}

// NAME = SOURCE, as SplitFileField splits them; SOURCE must fit an entry.
bool NameAndSource(Parser& p, std::string_view field, const char* form, const char* what,
                   std::string* name, fs::path* source) {
    std::string_view rawName, rawSource;
    if (!SplitFileField(field, &rawName, &rawSource)) {
        return p.Fail(std::string("expected: ") + form);
    }
    return PathField(p, rawName, "NAME", name) && HostPathField(p, rawSource, what, source) &&
           CheckSource(p, *source);
}

bool FileDirective(Parser& p, const Fields& f, const char* form, bool stored) {
    std::string name;
    fs::path source;
    return NameAndSource(p, f[0], form, "SOURCE", &name, &source) &&
           AddPayload(p, name, Entry{.sourceFile = Utf8OfPath(source), .compressed = !stored});
}

bool DoFile(Parser& p, const Fields& f) {
    return FileDirective(p, f, "file NAME = SOURCE", false);
}

// Data that does not compress (or a file too large to compress in reasonable time) is
// better stored, while the rest of the package stays compressed.
bool DoStoredFile(Parser& p, const Fields& f) {
    return FileDirective(p, f, "stored-file NAME = SOURCE", true);
}

// The file a delta rebuilds from, when the line gives one (its field `index`).
bool OldFileField(Parser& p, const Fields& f, size_t index, std::string* oldFile) {
    if (f.size() <= index) {
        return true;
    }
    fs::path path;
    uintmax_t size = 0;
    if (!HostPathField(p, f[index], "OLD", &path) || !CheckReadable(p, path, &size)) {
        return false;
    }
    *oldFile = Utf8OfPath(path);
    return true;
}

// NAME = NEW | OLD: an entry that rebuilds NEW from OLD, the file it replaces; the delta is
// made when the package is built.
bool DoDelta(Parser& p, const Fields& f) {
    std::string name;
    fs::path newFile;
    DeltaSource source;
    if (!NameAndSource(p, f[0], "delta NAME = NEW | OLD", "NEW", &name, &newFile) ||
        !OldFileField(p, f, 1, &source.oldFile)) {
        return false;
    }
    source.newFile = Utf8OfPath(newFile);
    return AddPayload(p, name, Entry{.compressed = false, .delta = source});
}

// NAME = DELTA [| OLD]: an entry whose data is a delta made before, as extract writes it.
bool DoDeltaData(Parser& p, const Fields& f) {
    std::string name;
    fs::path data;
    DeltaSource source;
    return NameAndSource(p, f[0], "delta-data NAME = DELTA | OLD", "DELTA", &name, &data) &&
           OldFileField(p, f, 1, &source.oldFile) &&
           AddPayload(p, name,
                      Entry{.sourceFile = Utf8OfPath(data), .compressed = false, .delta = source});
}

bool DoRegistryKeys(Parser& p, const Fields& f) {
    if (p.registryKeysLine != 0) {
        return p.Fail("registry-keys given twice (first on line " +
                      std::to_string(p.registryKeysLine) + ")");
    }
    std::string subKey, folderValue, programValue, levelValue;
    int32_t level = 0;
    if (!PathField(p, f[0], "SUBKEY", &subKey) || !TextField(p, f[1], &folderValue) ||
        !TextField(p, f[2], &programValue) || !TextField(p, f[3], &levelValue)) {
        return false;
    }
    if (!ParseSigned(f[4], &level)) {
        return p.Fail("bad number '" + std::string(f[4]) + "' for LEVEL (signed decimal)");
    }
    p.registryKeys = RegistryKeysSection(subKey, folderValue, programValue, levelValue, level);
    p.registryKeysLine = p.line;
    return true;
}

bool DoStartupMsg(Parser& p, const Fields& f) {
    if (p.startupMsgLine != 0) {
        return p.Fail("startup-msg given twice (first on line " + std::to_string(p.startupMsgLine) +
                      ")");
    }
    std::string caption, text;
    if (!TextField(p, f[0], &caption) || !TextField(p, f[1], &text)) {
        return false;
    }
    p.startupMsg = {caption, text};
    p.startupMsgLine = p.line;
    return true;
}

// One path appended to a string-list section.
bool AppendPath(Parser& p, const Fields& f, std::vector<std::string>* list) {
    std::string path;
    if (!PathField(p, f[0], "PATH", &path)) {
        return false;
    }
    list->push_back(path);
    return true;
}

bool DoFolder(Parser& p, const Fields& f) {
    return AppendPath(p, f, &p.folders);
}

bool DoRemove(Parser& p, const Fields& f) {
    return AppendPath(p, f, &p.filesToRemove);
}

bool DoCommand(Parser& p, const Fields& f) {
    uint32_t flags = 0;
    Command command;
    if (!NumberField(p, f[0], "FLAGS", 0xFF, &flags) ||
        !PathField(p, f[1], "PROGRAM", &command.program) ||
        (f.size() > 2 && !TextField(p, f[2], &command.arguments))) {
        return false;
    }
    command.flags = static_cast<uint8_t>(flags);
    p.commands.push_back(command);
    return true;
}

bool RootField(Parser& p, std::string_view raw, uint32_t* root) {
    const std::string folded = FoldName(raw);
    if (folded == "hklm" || folded == "hkey_local_machine") {
        *root = kRegistryRootLocalMachine;
    } else if (folded == "hkcu" || folded == "hkey_current_user") {
        *root = kRegistryRootCurrentUser;
    } else if (!ParseUnsigned(raw, UINT32_MAX, root)) {
        return p.Fail("bad ROOT '" + std::string(raw) + "' (HKLM, HKCU or a number)");
    }
    return true;
}

bool DoRegistry(Parser& p, const Fields& f) {
    RegistryRecord record;
    if (!NumberField(p, f[0], "OP", UINT32_MAX, &record.operation) ||
        !RootField(p, f[1], &record.root) || !PathField(p, f[2], "SUBKEY", &record.subKey) ||
        !NumberField(p, f[3], "TYPE", UINT32_MAX, &record.valueType) ||
        !TextField(p, f[4], &record.valueName) || !TextField(p, f[5], &record.data)) {
        return false;
    }
    if (record.operation == kRegistryOperationEnd) {
        return p.Fail("OP 0 would end the registry table (1 applies, 2 skips)");
    }
    p.registry.push_back(record);
    return true;
}

bool DoXlat(Parser& p, const Fields& f) {
    std::string storedName, realPath;
    if (!PathField(p, f[0], "STORED", &storedName) || !PathField(p, f[1], "REAL", &realPath)) {
        return false;
    }
    p.xlat.push_back(storedName);
    p.xlat.push_back(realPath);
    return true;
}

// Bytes written as hex digits, blanks allowed between the bytes.
bool HexBytes(std::string_view text, Bytes* out) {
    for (size_t i = 0; i < text.size();) {
        if (IsBlank(text[i])) {
            ++i;
            continue;
        }
        if (i + 1 == text.size() || codepage::HexDigitValue(text[i]) < 0 ||
            codepage::HexDigitValue(text[i + 1]) < 0) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(codepage::HexDigitValue(text[i]) * 16 +
                                            codepage::HexDigitValue(text[i + 1])));
        i += 2;
    }
    return true;
}

// A control section given byte by byte; it takes its place among the payload entries.
bool DoSection(Parser& p, const Fields& f) {
    std::string name;
    if (!PathField(p, f[0], "NAME", &name)) {
        return false;
    }
    if (name[0] != kSectionPrefix) {
        return p.Fail("section name '" + Windows1251ToUtf8(name) + "' does not begin with ':'");
    }
    if (name.size() > kMaxEntryNameLength) {
        return p.Fail("section name '" + Windows1251ToUtf8(name) + "' is longer than " +
                      std::to_string(kMaxEntryNameLength) + " bytes");
    }
    if (!p.payloadNames.insert(FoldName(name)).second) {
        return p.Fail("section '" + Windows1251ToUtf8(name) + "' is given twice");
    }
    Entry entry;
    entry.name = name;
    if (!HexBytes(f[1], &entry.content)) {
        return p.Fail("expected the section's bytes as pairs of hex digits");
    }
    p.payload.push_back(std::move(entry));
    return true;
}

bool DoStored(Parser& p, const Fields&) {
    p.stored = true;
    return true;
}

bool DoDirectory(Parser& p, const Fields& f) {
    if (f[0] != "stored") {
        return p.Fail("expected: directory stored");
    }
    p.directoryStored = true;
    return true;
}

// Where a directive's line holds a path of this machine, which counts from the manifest's
// folder (and is rewritten when the manifest moves: RebaseHostPaths).
enum class HostPath {
    None,
    Field,   // the first field
    Source,  // the SOURCE of its NAME = SOURCE field
    Delta,   // that SOURCE and every field after the first
};

struct Directive {
    std::string_view name;
    size_t minFields;
    size_t maxFields;
    std::string_view form;  // shown when the field count is wrong
    HostPath hostPath;
    bool (*run)(Parser&, const Fields&);
};

constexpr Directive kDirectives[] = {
    {"payload", 1, 1, "payload DIR", HostPath::Field, DoPayload},
    {"file", 1, 1, "file NAME = SOURCE", HostPath::Source, DoFile},
    {"stored-file", 1, 1, "stored-file NAME = SOURCE", HostPath::Source, DoStoredFile},
    {"delta", 2, 2, "delta NAME = NEW | OLD", HostPath::Delta, DoDelta},
    {"delta-data", 1, 2, "delta-data NAME = DELTA | OLD", HostPath::Delta, DoDeltaData},
    {"registry-keys", 5, 5,
     "registry-keys SUBKEY | FOLDERVALUE | PROGRAMVALUE | LEVELVALUE | LEVEL", HostPath::None,
     DoRegistryKeys},
    {"startup-msg", 2, 2, "startup-msg CAPTION | TEXT", HostPath::None, DoStartupMsg},
    {"folder", 1, 1, "folder PATH", HostPath::None, DoFolder},
    {"remove", 1, 1, "remove PATH", HostPath::None, DoRemove},
    {"command", 2, 3, "command FLAGS | PROGRAM | ARGUMENTS", HostPath::None, DoCommand},
    {"registry", 6, 6, "registry OP | ROOT | SUBKEY | TYPE | NAME | DATA", HostPath::None,
     DoRegistry},
    {"xlat", 2, 2, "xlat STORED | REAL", HostPath::None, DoXlat},
    {"section", 2, 2, "section NAME | HEX", HostPath::None, DoSection},
    {"stored", 0, 0, "stored", HostPath::None, DoStored},
    {"directory", 1, 1, "directory stored", HostPath::None, DoDirectory},
};

// Lines --------------------------------------------------------------------------------------

// Some editors begin a UTF-8 text with a byte-order mark; it belongs to no line.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Takes the next line off `text`: `whole` with its line break, `body` without it (nor a
// carriage return before it).
void TakeLine(std::string_view* text, std::string_view* whole, std::string_view* body) {
    const size_t end = std::min(text->find('\n'), text->size());
    *whole = text->substr(0, std::min(end + 1, text->size()));
    *body = text->substr(0, end);
    text->remove_prefix(whole->size());
    if (body->ends_with('\r')) {
        body->remove_suffix(1);
    }
}

// One line as a directive: its word and its fields, and the directive of that word (null for
// an unknown word). A blank line and a comment have no word.
struct Line {
    std::string_view word;
    Fields fields;
    const Directive* directive = nullptr;

    bool FieldCountFits() const {
        return directive != nullptr && fields.size() >= directive->minFields &&
               fields.size() <= directive->maxFields;
    }
};

Line SplitLine(std::string_view body) {
    const std::string_view text = Trim(body);
    Line line;
    if (text.empty() || text[0] == '#') {
        return line;
    }
    const size_t end = std::min(text.find_first_of(kBlanks), text.size());
    line.word = text.substr(0, end);
    line.fields = SplitFields(text.substr(end));
    for (const Directive& directive : kDirectives) {
        if (directive.name == line.word) {
            line.directive = &directive;
            break;
        }
    }
    return line;
}

bool ParseLine(Parser& p, std::string_view body) {
    const Line line = SplitLine(body);
    if (line.word.empty()) {
        return true;
    }
    if (line.directive == nullptr) {
        return p.Fail("unknown directive '" + std::string(line.word) + "'");
    }
    if (!line.FieldCountFits()) {
        return p.Fail("wrong field count for " + std::string(line.word) + ": " +
                      std::to_string(line.fields.size()) + " given; expected " +
                      std::string(line.directive->form));
    }
    return line.directive->run(p, line.fields);
}

void AddSection(SectionKind kind, Bytes content, std::vector<Entry>* entries) {
    Entry entry;
    entry.name = SectionName(kind);
    entry.content = std::move(content);
    entries->push_back(std::move(entry));
}

}  // namespace

bool Utf8ToWindows1251(std::string_view utf8, std::string* out, std::string* problem) {
    out->clear();
    size_t pos = 0;
    while (pos < utf8.size()) {
        const size_t start = pos;
        const int64_t codePoint = codepage::DecodeUtf8(utf8, &pos);
        if (codePoint < 0) {
            *problem = "malformed UTF-8 at byte " + std::to_string(start + 1);
            return false;
        }
        const int byte = codepage::Cp1251Byte(static_cast<uint32_t>(codePoint));
        if (byte < 0) {
            char name[16];
            std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(codePoint));
            *problem = std::string("character ") + name + " has no Windows-1251 form";
            return false;
        }
        out->push_back(static_cast<char>(byte));
    }
    return true;
}

std::string Windows1251ToUtf8(std::string_view text) {
    constexpr unsigned char kNoCharacter = 0x98;
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || byte == kNoCharacter) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            codepage::AppendUtf8(codepage::Cp1251CodePoint(byte), &out);
        }
    }
    return out;
}

bool ParseManifest(const std::string& text, const std::string& baseFolder, Package* out,
                   std::string* error) {
    Parser p;
    p.baseFolder = baseFolder;
    p.error = error;
    std::string_view rest = text;
    if (rest.starts_with(kByteOrderMark)) {
        rest.remove_prefix(kByteOrderMark.size());
    }
    while (!rest.empty()) {
        ++p.line;
        std::string_view whole, body;
        TakeLine(&rest, &whole, &body);
        if (body.find('\0') != std::string_view::npos) {
            return p.Fail("a NUL character");
        }
        if (!ParseLine(p, body)) {
            return false;
        }
    }

    *out = Package();
    std::vector<Entry>& entries = out->entries;
    if (p.registryKeysLine != 0) {
        AddSection(SectionKind::RegistryKeys, p.registryKeys, &entries);
    }
    if (p.startupMsgLine != 0) {
        AddSection(SectionKind::StartupMsg, StringList(p.startupMsg), &entries);
    }
    if (!p.xlat.empty()) {
        AddSection(SectionKind::XlatNamesTable, StringList(p.xlat), &entries);
    }
    if (!p.folders.empty()) {
        AddSection(SectionKind::Folders, StringList(p.folders), &entries);
    }
    if (!p.commands.empty()) {
        AddSection(SectionKind::CommandsToExecute, CommandsSection(p.commands), &entries);
    }
    if (!p.filesToRemove.empty()) {
        AddSection(SectionKind::FilesToRemove, StringList(p.filesToRemove), &entries);
    }
    if (!p.registry.empty()) {
        AddSection(SectionKind::RegistryTable, RegistryTableSection(p.registry), &entries);
    }
    for (const Entry& section : entries) {
        if (p.payloadNames.count(FoldName(section.name)) != 0) {
            *error = "section " + section.name + " is given both by a section line and by " +
                     "other directives";
            return false;
        }
    }
    for (Entry& entry : p.payload) {
        entries.push_back(std::move(entry));
    }
    if (entries.empty()) {
        *error = "the manifest gives no entry; a package needs at least one";
        return false;
    }
    for (Entry& entry : entries) {
        entry.compressed = entry.compressed && !p.stored;
    }
    out->compressDirectory = !p.directoryStored;
    return true;
}

std::string EscapeField(std::string_view utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        const bool atEdge = i == 0 || i + 1 == utf8.size();
        const bool separatesFile = c == '=' && i > 0 && i + 1 < utf8.size() &&
                                   IsBlank(utf8[i - 1]) && IsBlank(utf8[i + 1]);
        if (c == '\\' || c == '|') {
            out += '\\';
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || (atEdge && IsBlank(c)) ||
                   separatesFile) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned>(c));
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

std::string RebaseHostPaths(std::string_view text, const std::string& fromFolder,
                            const std::string& toFolder) {
    std::error_code ec;
    const fs::path from = fs::weakly_canonical(fs::absolute(PathOfUtf8(fromFolder), ec), ec);
    const fs::path to = fs::weakly_canonical(fs::absolute(PathOfUtf8(toFolder), ec), ec);
    // A relative host path, rewritten; false when it stays as it is (an absolute path, or a
    // mistake left to the parser to report).
    const auto rebase = [&](std::string_view raw, std::string* rebased) {
        std::string path;
        std::string problem;
        if (!Unescape(raw, &path, &problem) || path.empty() || !IsUtf8(path) ||
            PathOfUtf8(path).is_absolute()) {
            return false;
        }
        std::error_code ignored;
        const fs::path absolute = fs::weakly_canonical(from / PathOfUtf8(path), ignored);
        *rebased = EscapeField(Utf8OfPath(absolute.lexically_proximate(to)));
        return true;
    };
    std::string out;
    if (text.starts_with(kByteOrderMark)) {
        out += kByteOrderMark;
        text.remove_prefix(kByteOrderMark.size());
    }
    while (!text.empty()) {
        std::string_view whole, body;
        TakeLine(&text, &whole, &body);
        const Line line = SplitLine(body);
        const HostPath hostPath = line.FieldCountFits() ? line.directive->hostPath : HostPath::None;
        // Each host path rewritten, every other field as written.
        std::vector<std::string> fields(line.fields.begin(), line.fields.end());
        bool rewritten = false;
        std::string_view name, source;
        std::string rebased;
        if (hostPath == HostPath::Field && rebase(line.fields[0], &rebased)) {
            fields[0] = rebased;
            rewritten = true;
        } else if ((hostPath == HostPath::Source || hostPath == HostPath::Delta) &&
                   SplitFileField(line.fields[0], &name, &source) && rebase(source, &rebased)) {
            fields[0] = std::string(name) + " = " + rebased;
            rewritten = true;
        }
        for (size_t i = 1; hostPath == HostPath::Delta && i < fields.size(); ++i) {
            if (rebase(line.fields[i], &rebased)) {
                fields[i] = rebased;
                rewritten = true;
            }
        }
        if (!rewritten) {
            out += whole;
            continue;
        }
        out += std::string(line.word);
        for (size_t i = 0; i < fields.size(); ++i) {
            out += (i == 0 ? " " : " | ") + fields[i];
        }
        out += "\n";
    }
    return out;
}

}  // namespace pkgbuild
