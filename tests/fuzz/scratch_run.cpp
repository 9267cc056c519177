#include "scratch_run.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "apply/apply.h"
#include "apply/context.h"
#include "package_builder.h"
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

void RemoveScratch();

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
    static const bool removedAtExit = atexit(RemoveScratch) == 0;
    (void)removedAtExit;
    return scratch;
}

void RemoveScratch() {
    std::error_code ignored;
    fs::remove_all(TheScratch().outer, ignored);
}

// A fresh installation of one program file, registered at kInstalledLevel.
void ResetInstallation(const Scratch& scratch) {
    std::error_code ignored;
    fs::remove_all(scratch.jail, ignored);
    fs::create_directories(scratch.install, ignored);
    char level[9];
    snprintf(level, sizeof level, "%08x", static_cast<unsigned>(kInstalledLevel));
    const std::string registry = std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\") + kSubKey +
                                 "]\n\"" + kFolderValue + "\"=\"" + scratch.install + "\"\n\"" +
                                 kProgramValue + "\"=\"" + kProgramName + "\"\n\"" + kLevelValue +
                                 "\"=dword:" + level + "\n";
    if (!pkgbuild::WriteFile(scratch.registry, pkgbuild::ToBytes(registry)) ||
        !pkgbuild::WriteFile(scratch.install + "/" + kProgramName, pkgbuild::ToBytes("game"))) {
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
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch.outer)) {
        if (entry.path().filename() != "jail") {
            fprintf(stderr, "scratch run: %s was made outside the installation's folder\n",
                    entry.path().c_str());
            abort();
        }
    }
}

}  // namespace

void ApplyPackage(const uint8_t* bytes, size_t size) {
    const Scratch& scratch = TheScratch();
    ResetInstallation(scratch);
    if (!pkgbuild::WriteFile(scratch.package, bytes, size)) {
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
