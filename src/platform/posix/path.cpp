// Path conversion with the case-insensitive lookup of components a Windows file system does.
#include "platform/posix/path.h"

#include <dirent.h>
#include <sys/stat.h>

#include "platform/posix/text.h"

namespace platform::posix {
namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool NameExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// The entry of `folder` whose Windows-1251 name equals `name` ignoring case; when several
// do (names differing only in case), the smallest, so that the choice does not depend on
// the order the folder lists them. Empty when none does.
std::string FindFolded(const std::string& folder, std::string_view name) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) {
        return {};
    }
    std::string found;
    std::string entryText;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view entryName = entry->d_name;
        if (entryName == "." || entryName == "..") {
            continue;
        }
        if (!Utf8ToCp1251Exact(entryName, &entryText) || !EqualFoldCp1251(entryText, name)) {
            continue;
        }
        if (found.empty() || entryName < found) {
            found = entryName;
        }
    }
    closedir(dir);
    return found;
}

}  // namespace

std::string ConvertPath(std::string_view path) {
    std::string out;
    if (!path.empty() && IsSeparator(path.front())) {
        out = "/";
    }
    // Once a component does not exist, nothing below it can: stop looking.
    bool lookUp = true;
    size_t pos = 0;
    while (pos < path.size()) {
        while (pos < path.size() && IsSeparator(path[pos])) {
            ++pos;
        }
        size_t end = pos;
        while (end < path.size() && !IsSeparator(path[end])) {
            ++end;
        }
        if (end == pos) {
            break;
        }
        const std::string_view component = path.substr(pos, end - pos);
        pos = end;
        if (!out.empty() && out.back() != '/') {
            out.push_back('/');
        }
        std::string name = Cp1251ToUtf8(component);
        if (lookUp && !NameExists(out + name)) {
            std::string folded = FindFolded(out, component);
            if (folded.empty()) {
                lookUp = false;
            } else {
                name = std::move(folded);
            }
        }
        out += name;
    }
    if (!path.empty() && IsSeparator(path.back()) && !out.empty() && out.back() != '/') {
        out.push_back('/');
    }
    return out;
}

std::string ConvertPath(const char* path) {
    return path == nullptr ? std::string() : ConvertPath(std::string_view(path));
}

}  // namespace platform::posix
