// Stands in for a package's external program in tests. Its own arguments, wherever they
// appear and in their order, say what it does:
//   record=FILE  appends "cwd=<current folder>", "argc=<n>" and one "argv[i]=<arg>" line per
//                argument to FILE (relative to the current folder)
//   sleep=MS     sleeps MS milliseconds
//   fail         creates the error marker (kErrorMarkerName) in the current folder
// Any other argument is ignored. When the environment variable QLM_HELPER_RECORD names a file,
// every run is recorded there as well, so that a run without arguments can be seen too.
// Names and records are UTF-8, so that a run reads the same under every code page. Standard
// C++ only, so that it builds for every target; each target's entry point is a file of its own.
#include "helper.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "package/format.h"

namespace {

constexpr std::string_view kRecord = "record=";
constexpr std::string_view kSleep = "sleep=";
constexpr std::string_view kFail = "fail";

std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

void Record(const std::string& file, const std::vector<std::string>& arguments) {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::current_path(error);
    std::ofstream out(PathOf(file), std::ios::app | std::ios::binary);
    out << "cwd=" << Utf8Of(folder) << '\n' << "argc=" << arguments.size() << '\n';
    for (size_t index = 0; index < arguments.size(); ++index) {
        out << "argv[" << index << "]=" << arguments[index] << '\n';
    }
}

void SleepFor(const std::string& milliseconds) {
    const long value = std::strtol(milliseconds.c_str(), nullptr, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(value));
}

}  // namespace

int RunHelper(const std::vector<std::string>& arguments) {
    if (const char* file = std::getenv("QLM_HELPER_RECORD"); file != nullptr && *file != '\0') {
        Record(file, arguments);
    }
    for (size_t index = 1; index < arguments.size(); ++index) {
        const std::string_view argument = arguments[index];
        if (argument.starts_with(kRecord)) {
            Record(std::string(argument.substr(kRecord.size())), arguments);
        } else if (argument.starts_with(kSleep)) {
            SleepFor(std::string(argument.substr(kSleep.size())));
        } else if (argument == kFail) {
            std::ofstream marker(kErrorMarkerName, std::ios::binary);
        }
    }
    return 0;
}
