#include "scratch_run.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "apply/apply.h"
#include "apply/context.h"
#include "platform/posix/path.h"
#include "platform/posix/process.h"
#include "platform/posix/terminal.h"

namespace fuzz {
namespace {

namespace fs = std::filesystem;

// More answers than any run asks questions; each empty line is OK.
constexpr int kAnswers = 64;

void RecordNothing(const std::string&, const std::vector<std::string>&, const std::string&) {}

// The scratch folder (qlm_fuzz_XXXXXX) holds only `jail`, the folder every path of a run is
// confined to; the installation lies two levels below it, so that a package's `..` still lands
// inside.
struct Scratch {
    std::string outer;
    std::string jail;
    std::string install;
    std::string registry;
    std::string package;
    FILE* answers = nullptr;
    FILE* transcript = nullptr;
};

[[noreturn]] void Die(const char* what) {
    fprintf(stderr, "scratch run: %s\n", what);
    abort();
}

const Scratch& TheScratch() {
    static const Scratch scratch = [] {
        Scratch made;
        // In memory where there is room: each registry write of a run syncs its file.
        char pattern[] = "/dev/shm/qlm_fuzz_XXXXXX";
        char fallback[] = "/tmp/qlm_fuzz_XXXXXX";
        const char* outer = mkdtemp(pattern);
        if (outer == nullptr && (outer = mkdtemp(fallback)) == nullptr) {
            Die("no scratch folder");
        }
        made.outer = outer;
        made.jail = made.outer + "/jail";
        made.install = made.jail + "/a/Game";
        made.registry = made.jail + "/registry.reg";
        made.package = made.jail + "/patch.pkg";
        made.answers = tmpfile();
        made.transcript = fopen("/dev/null", "w");
        if (made.answers == nullptr || made.transcript == nullptr) {
            Die("no answer or transcript stream");
        }
        for (int i = 0; i < kAnswers; ++i) {
            fputc('\n', made.answers);
        }
        setenv("QLM_REGISTRY", made.registry.c_str(), 1);
        platform::posix::RecordStartsForTesting(RecordNothing);
        platform::posix::ConfinePathsForTesting(made.jail);
        return made;
    }();
    return scratch;
}

bool WriteText(const std::string& path, const void* bytes, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = fwrite(bytes, 1, size, file) == size;
    return fclose(file) == 0 && written;
}

// A fresh installation of one program file, registered at kInstalledLevel.
void ResetInstallation(const Scratch& scratch) {
    std::error_code ignored;
    fs::remove_all(scratch.jail, ignored);
    fs::create_directories(scratch.install, ignored);
    char registry[1024];
    const int length =
        snprintf(registry, sizeof registry,
                 "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\%s]\n\"%s\"=\"%s\"\n\"%s\"=\"%s\"\n"
                 "\"%s\"=dword:%08x\n",
                 kSubKey, kFolderValue, scratch.install.c_str(), kProgramValue, kProgramName,
                 kLevelValue, static_cast<unsigned>(kInstalledLevel));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof registry ||
        !WriteText(scratch.registry, registry, static_cast<size_t>(length)) ||
        !WriteText(scratch.install + "/" + kProgramName, "game", 4)) {
        Die("cannot set up the installation");
    }
}

// Entries a run could only apply with more memory or disk than a fuzzer has.
bool FitsTheFuzzer(const Package& package) {
    if (package.header.entryCount > kMostEntries) {
        return false;
    }
    for (uint32_t index = 0; index < package.header.entryCount; ++index) {
        if (package.directory[index].size > kLargestEntry) {
            return false;
        }
    }
    return true;
}

// The outer folder must hold the jail and nothing else.
void CheckNothingOutside(const Scratch& scratch) {
    DIR* outer = opendir(scratch.outer.c_str());
    if (outer == nullptr) {
        Die("the scratch folder is gone");
    }
    while (const dirent* entry = readdir(outer)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0 &&
            strcmp(entry->d_name, "jail") != 0) {
            fprintf(stderr, "scratch run: %s was made outside the installation's folder\n",
                    entry->d_name);
            abort();
        }
    }
    closedir(outer);
}

}  // namespace

void ApplyPackage(const uint8_t* bytes, size_t size) {
    const Scratch& scratch = TheScratch();
    ResetInstallation(scratch);
    if (!WriteText(scratch.package, bytes, size)) {
        Die("cannot write the package");
    }
    rewind(scratch.answers);
    platform::SetTerminalStreams(scratch.answers, scratch.transcript);

    auto context = std::make_unique<PatchContext>();
    context->dialogWindow = platform::OpenProgressWindow(&context->runState);
    bool waitForUser = true;
    if (OpenPackage(context->package, scratch.package.c_str(), false) >= 0 &&
        FitsTheFuzzer(context->package)) {
        RunApplySequence(*context, &waitForUser);
    }
    ClosePackage(context->package);
    platform::CloseProgressWindow(context->dialogWindow);
    CheckNothingOutside(scratch);
}

}  // namespace fuzz
