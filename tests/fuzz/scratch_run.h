// Whole apply runs for the fuzzers: any package bytes, opened and applied by the real apply
// sequence in a scratch installation with a scratch registry store, every question answered
// OK. Nothing a package names is started (the posix backend records it instead), and no path
// leads out of the scratch folder, whatever `..` a package holds. Packages that ask for more
// than a fuzzer's memory (an entry over kLargestEntry, more than kMostEntries entries) are
// opened but not applied.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Where every seed package says the installation is registered, and its value names.
constexpr char kSubKey[] = "SOFTWARE\\Fuzz\\Game";
constexpr char kFolderValue[] = "Path";
constexpr char kProgramValue[] = "Program";
constexpr char kLevelValue[] = "Level";
constexpr char kProgramName[] = "game.exe";
constexpr int32_t kInstalledLevel = 1;

constexpr uint32_t kLargestEntry = 1 << 20;
constexpr uint32_t kMostEntries = 1024;

// Writes `bytes` as the package file of a fresh scratch installation and runs the apply
// sequence over it. Aborts (a finding) when anything was left outside the scratch folder.
void ApplyPackage(const uint8_t* bytes, size_t size);

}  // namespace fuzz
