// Processes, the process's own command line and the small process-wide calls of the posix
// backend. Programs start with posix_spawn, which also reports a failed exec.
#include "platform/posix/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/faults.h"
#include "platform/posix/path.h"

extern char** environ;

namespace platform {
namespace posix {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The program name: up to the first blank outside quotes; quotes toggle and are dropped.
std::string TakeProgramName(std::string_view line, size_t* pos) {
    std::string word;
    bool quoted = false;
    for (; *pos < line.size() && (quoted || !IsBlank(line[*pos])); ++*pos) {
        if (line[*pos] == '"') {
            quoted = !quoted;
        } else {
            word.push_back(line[*pos]);
        }
    }
    return word;
}

// One argument after the program name; `*pos` is on its first byte.
std::string TakeArgument(std::string_view line, size_t* pos) {
    std::string word;
    bool quoted = false;
    while (*pos < line.size() && (quoted || !IsBlank(line[*pos]))) {
        const char c = line[*pos];
        if (c == '\\') {
            size_t count = 0;
            while (*pos < line.size() && line[*pos] == '\\') {
                ++count, ++*pos;
            }
            const bool beforeQuote = *pos < line.size() && line[*pos] == '"';
            word.append(beforeQuote ? count / 2 : count, '\\');
            if (beforeQuote && count % 2 == 1) {
                word.push_back('"');
                ++*pos;
            }
            continue;
        }
        if (c == '"') {
            if (quoted && *pos + 1 < line.size() && line[*pos + 1] == '"') {
                word.push_back('"');
                *pos += 2;
            } else {
                quoted = !quoted;
                ++*pos;
            }
            continue;
        }
        word.push_back(c);
        ++*pos;
    }
    return word;
}

// Relative program paths name a file in the installer's current folder, as CreateProcessA
// reads them, not in the folder the program starts in.
std::string AbsoluteProgramPath(const char* program) {
    std::string path = ConvertPath(program);
    if (path.empty() || path.front() == '/') {
        return path;
    }
    char folder[4096];
    if (getcwd(folder, sizeof folder) == nullptr) {
        return {};
    }
    return std::string(folder) + "/" + path;
}

std::string ReadOwnCommandLine() {
    std::string bytes;
    const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buffer[4096];
        ssize_t got;
        while ((got = read(fd, buffer, sizeof buffer)) != 0) {
            if (got < 0 && errno != EINTR) {
                break;
            }
            if (got > 0) {
                bytes.append(buffer, static_cast<size_t>(got));
            }
        }
        close(fd);
    }
    // Each argument ends in a NUL; quoted so that the worker's tokenizer keeps blanks.
    std::string line;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\0', pos);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        if (!line.empty()) {
            line.push_back(' ');
        }
        line += '"' + bytes.substr(pos, end - pos) + '"';
        pos = end + 1;
    }
    return line;
}

// posix_spawn's attribute and file-action records, released on every path.
struct SpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    SpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

std::atomic<StartRecorder> startRecorder{nullptr};

}  // namespace

void RecordStartsForTesting(StartRecorder recorder) {
    startRecorder.store(recorder);
}

std::vector<std::string> SplitCommandLine(std::string_view commandLine) {
    const size_t nul = commandLine.find('\0');
    const std::string_view line = commandLine.substr(0, nul);
    std::vector<std::string> words;
    size_t pos = 0;
    words.push_back(TakeProgramName(line, &pos));
    for (;;) {
        while (pos < line.size() && IsBlank(line[pos])) {
            ++pos;
        }
        if (pos >= line.size()) {
            return words;
        }
        words.push_back(TakeArgument(line, &pos));
    }
}

}  // namespace posix

bool StartProcess(const char* program, char* commandLine, const char* currentFolder,
                  Process* started) {
    if (program == nullptr || program[0] == '\0' || started == nullptr ||
        posix::FailsByTest(posix::FallibleCall::ProcessStart)) {
        return false;
    }
    const std::string path = posix::AbsoluteProgramPath(program);
    if (path.empty()) {
        return false;
    }
    std::vector<std::string> words = posix::SplitCommandLine(commandLine ? commandLine : "");
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    const std::string folder = posix::ConvertPath(currentFolder);
    if (const posix::StartRecorder recorder = posix::startRecorder.load()) {
        recorder(path, words, folder);
        *started = Process{};
        return true;
    }
    posix::SpawnSetup setup;
    sigset_t noSignals;
    sigemptyset(&noSignals);
    posix_spawnattr_setsigmask(&setup.attributes, &noSignals);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK);
    if (!folder.empty() &&
        posix_spawn_file_actions_addchdir_np(&setup.actions, folder.c_str()) != 0) {
        return false;
    }
    pid_t pid = 0;
    if (posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(), environ) !=
        0) {
        return false;
    }
    started->process = pid;
    started->thread = 0;
    // The program may rework the installation wholesale: the folder indexes start afresh
    // rather than follow it notification by notification.
    posix::ForgetFolderIndexes();
    return true;
}

void WaitForProcess(const Process& started) {
    if (started.process <= 0) {
        return;
    }
    int status = 0;
    while (waitpid(static_cast<pid_t>(started.process), &status, 0) < 0 && errno == EINTR) {
    }
    posix::ForgetFolderIndexes();
}

// A pid is no handle: the process is reaped by the wait, if any.
void CloseProcess(const Process&) {}

void SleepMilliseconds(uint32_t milliseconds) {
    if (posix::startRecorder.load() != nullptr) {
        return;
    }
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// Libraries load by the system's rules; there is no planted-DLL search path to close.
void HardenDllSearch() {}

const char* GetProcessCommandLine() {
    static std::once_flag once;
    static std::string line;
    std::call_once(once, [] { line = posix::ReadOwnCommandLine(); });
    return line.c_str();
}

}  // namespace platform
