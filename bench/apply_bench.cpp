// A whole apply run: a package of many compressed payload files installed through their
// ".bak" protocol, each inflated straight into the new file's mapping.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "apply/apply.h"
#include "package_builder.h"
#include "platform/posix/terminal.h"

namespace {

std::string MakeFolder() {
    char pattern[] = "/tmp/qlm_bench_apply_XXXXXX";
    return mkdtemp(pattern) != nullptr ? pattern : "";
}

void BM_ApplyPackage(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    const size_t fileSize = static_cast<size_t>(state.range(1));
    const std::string root = MakeFolder();
    const std::string game = root + "/Game";
    std::filesystem::create_directories(game);
    std::ofstream(game + "/game.exe") << "game";
    const std::string registry = root + "/registry.reg";
    std::ofstream(registry) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\n\"Folder\"=\""
                            << game << "\"\n\"Program\"=\"game.exe\"\n";
    setenv("QLM_REGISTRY", registry.c_str(), 1);

    pkgbuild::Package package;
    package.entries.push_back({.name = ":RegistryKeys",
                               .content = pkgbuild::RegistryKeysSection("SOFTWARE\\Bench", "Folder",
                                                                        "Program", "Level", 1)});
    pkgbuild::Bytes content(fileSize);
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    }
    for (int i = 0; i < files; ++i) {
        package.entries.push_back(
            {.name = "data\\f" + std::to_string(i) + ".bin", .content = content});
    }
    const std::string packagePath = root + "/patch.pkg";
    pkgbuild::WriteFile(packagePath, pkgbuild::Build(package));

    // Every question after the first run (the version gate) is answered with OK.
    FILE* answers = popen("yes ''", "r");
    FILE* output = fopen("/dev/null", "w");
    platform::SetTerminalStreams(answers, output);
    static PatchContext context;
    context.dialogWindow = platform::OpenProgressWindow(&context.runState);
    for (auto _ : state) {
        bool waitForUser = true;
        OpenPackage(context.package, packagePath.c_str(), false);
        RunApplySequence(context, &waitForUser);
        ClosePackage(context.package);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * files *
                            static_cast<int64_t>(fileSize));
    platform::SetTerminalStreams(stdin, stdout);
    fclose(output);
    pclose(answers);
    unsetenv("QLM_REGISTRY");
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_ApplyPackage)
    ->Args({200, 64 << 10})
    ->Args({4, 16 << 20})
    ->Unit(benchmark::kMillisecond);

}  // namespace
