# shellcheck shell=bash disable=SC2034 # sourced by scripts/release.sh and scripts/reproduce.sh
# The programs of a release and what comes with them.

# Windows programs, one "PRESET TARGET FILE" each: the CMake target TARGET of the preset PRESET
# builds build/PRESET/FILE and, through qlm_split_debug_information() in CMakeLists.txt, its
# symbols build/PRESET/FILE.debug. The release holds both, and scripts/reproduce.sh checks that
# another folder builds both to the same bytes.
windows_programs=(
    "win32 patch_exe PATCH.EXE"
    "win64 pkgtool pkgtool.exe"
)

# Linux programs: targets of the preset `release` (optimised, no sanitizers), in build/release.
linux_programs=(qlmpatch pkgtool)

# What the release holds besides the programs, as paths in the source tree.
release_documents=(README.md docs)
