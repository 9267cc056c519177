// pkgtool diff on two builds of 10,000 files in 100 folders, a few hundred of them different:
// every file of equal size is compared byte by byte, and the files carried are read once more
// when the manifest is checked.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "package_builder.h"
#include "tree_diff.h"

namespace {

namespace fs = std::filesystem;

std::string MakeFolder() {
    char pattern[] = "/tmp/qlm_bench_diff_XXXXXX";
    return mkdtemp(pattern) != nullptr ? pattern : "";
}

pkgbuild::Bytes Content(int file, size_t size, uint8_t version) {
    pkgbuild::Bytes content(size);
    for (size_t i = 0; i < size; ++i) {
        content[i] = static_cast<uint8_t>(((i + file) * 2654435761u) >> 13);
    }
    content[size / 2] ^= version;  // a change in the middle, the size kept
    return content;
}

// Of every 100 files: one changed, one new, one deleted; the rest the same in both builds.
void MakeBuilds(const std::string& root, int files, size_t fileSize) {
    for (int i = 0; i < files; ++i) {
        const std::string name = "data" + std::to_string(i % 100) + "/file" + std::to_string(i);
        fs::create_directories(root + "/old/data" + std::to_string(i % 100));
        fs::create_directories(root + "/new/data" + std::to_string(i % 100));
        const int kind = i % 100;
        if (kind != 1) {
            pkgbuild::WriteFile(root + "/old/" + name, Content(i, fileSize, 0));
        }
        if (kind != 2) {
            pkgbuild::WriteFile(root + "/new/" + name, Content(i, fileSize, kind == 0 ? 1 : 0));
        }
    }
    pkgbuild::WriteFile(root + "/base.manifest", pkgbuild::ToBytes("folder saves\n"));
}

void BM_DiffTrees(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    const size_t fileSize = static_cast<size_t>(state.range(1));
    const std::string root = MakeFolder();
    MakeBuilds(root, files, fileSize);
    for (auto _ : state) {
        std::string error;
        if (!pkgbuild::DiffTrees(root + "/old", root + "/new", root + "/base.manifest",
                                 root + "/patch.manifest", {}, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * files *
                            static_cast<int64_t>(fileSize));
    fs::remove_all(root);
}
BENCHMARK(BM_DiffTrees)
    ->Args({10000, 4 << 10})
    ->Args({10000, 64 << 10})
    ->Unit(benchmark::kMillisecond);

}  // namespace
