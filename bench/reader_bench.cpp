// Reader throughput: opening a package, finding entries in a large directory, and inflating a
// large entry straight into its destination.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "package/reader.h"
#include "package_builder.h"

namespace {

std::string WritePackage(const pkgbuild::Package& package) {
    char pattern[] = "/tmp/qlm_bench_XXXXXX";
    const int fd = mkstemp(pattern);
    close(fd);
    pkgbuild::WriteFile(pattern, pkgbuild::Build(package));
    return pattern;
}

pkgbuild::Package ManyEntries(int count) {
    pkgbuild::Package package;
    for (int i = 0; i < count; ++i) {
        package.entries.push_back({.name = "data\\file" + std::to_string(i) + ".bin",
                                   .content = pkgbuild::ToBytes("x"),
                                   .compressed = false});
    }
    return package;
}

void BM_OpenPackage(benchmark::State& state) {
    const std::string path = WritePackage(ManyEntries(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        Package package;
        benchmark::DoNotOptimize(OpenPackage(package, path.c_str(), false));
        ClosePackage(package);
    }
    unlink(path.c_str());
}
BENCHMARK(BM_OpenPackage)->Arg(16)->Arg(4096);

void BM_FindLastEntry(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const std::string path = WritePackage(ManyEntries(count));
    Package package;
    OpenPackage(package, path.c_str(), false);
    const std::string last = "DATA\\FILE" + std::to_string(count - 1) + ".BIN";
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindEntry(package, last.c_str()));
    }
    ClosePackage(package);
    unlink(path.c_str());
}
BENCHMARK(BM_FindLastEntry)->Arg(64)->Arg(4096);

void BM_LoadCompressedEntry(benchmark::State& state) {
    pkgbuild::Package package;
    pkgbuild::Bytes content(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);  // compresses somewhat
    }
    package.entries.push_back({.name = "big.bin", .content = content});
    const std::string path = WritePackage(package);
    Package opened;
    OpenPackage(opened, path.c_str(), false);
    pkgbuild::Bytes destination(content.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(LoadEntry(opened, opened.directory[0], destination.data()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    ClosePackage(opened);
    unlink(path.c_str());
}
BENCHMARK(BM_LoadCompressedEntry)->Arg(1 << 20)->Arg(16 << 20);

}  // namespace
