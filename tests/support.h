// What the unit and integration tests share: a temporary folder, files read and written whole,
// a snapshot of a folder tree, shell commands, small view windows and the terminal's streams.
//
// The tests spell the format's names and bytes (section names, magics, the error marker's
// name, header and entry bytes) as a package or a program holds them, on purpose, rather than
// taking them from package/format.h: they are the independent check of that declaration.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "platform/posix/files.h"
#include "text/codepage.h"

namespace test {

// Narrow literals are UTF-8, the programs' text inside; W(text) is the Windows-1251 bytes that
// a package holds for it.
inline std::string W(const std::string& text) {
    return codepage::Utf8ToCp1251(text);
}

inline std::string Quote(const std::string& path) {
    return "'" + path + "'";
}

// A fresh folder under /tmp for one test, removed with everything in it when the test ends.
class TempFolder {
  public:
    explicit TempFolder(const std::string& prefix = "qlm_test") {
        std::string pattern = "/tmp/" + prefix + "_XXXXXX";
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string Path(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// The file's bytes; none for a missing file or a folder.
inline std::optional<std::string> Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in || std::filesystem::is_directory(path)) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Writes the file, making the folders on its way.
inline void Write(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// Writes each file, or folder where the content is "/", under a root.
using Tree = std::map<std::string, std::string>;
inline void Put(const std::string& root, const Tree& items) {
    for (const auto& [name, content] : items) {
        if (content == "/") {
            std::filesystem::create_directories(root + "/" + name);
        } else {
            Write(root + "/" + name, content);
        }
    }
}

// Every file and folder under a root by its exact relative name: a folder as "/", a file as
// its bytes; `ignore` is left out.
inline Tree Snapshot(const std::string& root, const std::string& ignore = "") {
    Tree items;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string relative = entry.path().lexically_relative(root).generic_string();
        if (relative != ignore) {
            items[relative] = entry.is_directory() ? "/" : Read(entry.path()).value_or("?");
        }
    }
    return items;
}

// Runs a shell command with no input; its exit status and what it printed to either stream.
struct Shell {
    int status = -1;
    std::string output;
};
inline Shell RunShell(const std::string& command) {
    Shell result;
    FILE* pipe = popen(("(" + command + ") </dev/null 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        result.output.append(chunk, got);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Views of a small window for one test: small data then crosses many window boundaries.
class ViewWindow {
  public:
    explicit ViewWindow(uint32_t bytes) { platform::posix::SetViewWindowForTesting(bytes); }
    ~ViewWindow() { platform::posix::SetViewWindowForTesting(0); }
    ViewWindow(const ViewWindow&) = delete;
    ViewWindow& operator=(const ViewWindow&) = delete;
};

}  // namespace test
