// pkgtool: the patch author's tool. `build` turns a manifest into a package, making and
// checking its deltas; `diff` writes the manifest of the patch between two installed trees
// (with `--delta`, changed files as deltas where that is smaller); `extract` takes a package
// apart into its files and a manifest that builds it again; `list` and `show` describe a
// package; `--version` prints the release it belongs to. The arguments arrive as UTF-8 from
// the entry point of each system (main_posix.cpp, main_win32.cpp).
#include "main.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "delta_entries.h"
#include "extract.h"
#include "host_path.h"
#include "inspect.h"
#include "manifest.h"
#include "package_builder.h"
#include "tree_diff.h"
#include "version.h"

namespace {

constexpr char kUsage[] =
    "usage: pkgtool build MANIFEST OUTPUT\n"
    "       pkgtool diff [--delta] OLD NEW BASE OUTPUT\n"
    "       pkgtool extract PACKAGE|PATCH FOLDER\n"
    "       pkgtool list PACKAGE|PATCH\n"
    "       pkgtool show PACKAGE|PATCH\n"
    "       pkgtool --version\n";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int Fail(const std::string& message) {
    std::fprintf(stderr, "pkgtool: %s\n", message.c_str());
    return kExitFailure;
}

int BuildPackage(const char* manifestPath, const char* outputPath) {
    pkgbuild::Bytes text;
    if (!pkgbuild::ReadFile(manifestPath, &text)) {
        return Fail(std::string("cannot read ") + manifestPath);
    }
    const std::string base = pkgbuild::Utf8OfPath(pkgbuild::PathOfUtf8(manifestPath).parent_path());
    pkgbuild::Package package;
    std::string error;
    if (!pkgbuild::ParseManifest(std::string(text.begin(), text.end()), base, &package, &error)) {
        return Fail(std::string(manifestPath) + ": " + error);
    }
    if (!pkgbuild::PrepareDeltas(&package, pkgbuild::DeltaOptions{}, stdout, stderr, &error)) {
        return Fail(std::string(manifestPath) + ": " + error);
    }
    if (!pkgbuild::BuildFile(package, outputPath, &error)) {
        return Fail(std::string(outputPath) + ": " + error);
    }
    return 0;
}

int Diff(const char* oldRoot, const char* newRoot, const char* base, const char* output,
         bool deltas) {
    const pkgbuild::DiffOptions options{.deltas = deltas, .report = stdout, .progress = stderr};
    std::string error;
    return pkgbuild::DiffTrees(oldRoot, newRoot, base, output, options, &error) ? 0 : Fail(error);
}

int Extract(const char* package, const char* folder) {
    std::string error;
    return pkgbuild::ExtractPackage(package, folder, &error) ? 0 : Fail(error);
}

bool Is(const char* word, const char* command) {
    return std::strcmp(word, command) == 0;
}

int RunCommand(int argc, char** argv) {
    if (argc == 4 && Is(argv[1], "build")) {
        return BuildPackage(argv[2], argv[3]);
    }
    if (argc == 6 && Is(argv[1], "diff")) {
        return Diff(argv[2], argv[3], argv[4], argv[5], false);
    }
    if (argc == 7 && Is(argv[1], "diff") && Is(argv[2], "--delta")) {
        return Diff(argv[3], argv[4], argv[5], argv[6], true);
    }
    if (argc == 4 && Is(argv[1], "extract")) {
        return Extract(argv[2], argv[3]);
    }
    if (argc == 3 && Is(argv[1], "list")) {
        return pkgbuild::ListPackage(argv[2]);
    }
    if (argc == 3 && Is(argv[1], "show")) {
        return pkgbuild::ShowPackage(argv[2]);
    }
    if (argc == 2 && Is(argv[1], "--version")) {
        std::printf("pkgtool %s\n", QLM_VERSION_TEXT);
        return 0;
    }
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

}  // namespace

int RunPkgtool(int argc, char** argv) {
    // The library's own failures (memory, a name the system cannot convert) end the command
    // with their reason rather than abort it.
    try {
        return RunCommand(argc, argv);
    } catch (const std::exception& failure) {
        return Fail(failure.what());
    }
}
