// Stands in for a package's external program in tests. Its own arguments, wherever they
// appear and in their order, say what it does:
//   record=FILE  appends "cwd=<current folder>", "argc=<n>" and one "argv[i]=<arg>" line per
//                argument to FILE (relative to the current folder)
//   sleep=MS     sleeps MS milliseconds
//   fail         creates the error marker qlm_patch_apply_err.txt in the current folder
// Any other argument is ignored. When the environment variable QLM_HELPER_RECORD names a file,
// every run is recorded there as well, so that a run without arguments can be seen too.
// Standard C++ only, so that it builds for every target.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr std::string_view kRecord = "record=";
constexpr std::string_view kSleep = "sleep=";
constexpr std::string_view kFail = "fail";
constexpr const char kErrorMarkerName[] = "qlm_patch_apply_err.txt";

void Record(const std::string& file, int argc, char** argv) {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::current_path(error);
    std::ofstream out(file, std::ios::app | std::ios::binary);
    out << "cwd=" << folder.string() << '\n' << "argc=" << argc << '\n';
    for (int index = 0; index < argc; ++index) {
        out << "argv[" << index << "]=" << argv[index] << '\n';
    }
}

void SleepFor(const std::string& milliseconds) {
    const long value = std::strtol(milliseconds.c_str(), nullptr, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(value));
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* file = std::getenv("QLM_HELPER_RECORD"); file != nullptr && *file != '\0') {
        Record(file, argc, argv);
    }
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (argument.starts_with(kRecord)) {
            Record(std::string(argument.substr(kRecord.size())), argc, argv);
        } else if (argument.starts_with(kSleep)) {
            SleepFor(std::string(argument.substr(kSleep.size())));
        } else if (argument == kFail) {
            std::ofstream marker(kErrorMarkerName, std::ios::binary);
        }
    }
    return 0;
}
