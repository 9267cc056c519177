#!/usr/bin/env bash
# Configures and builds the programs: build/host (qlmpatch, pkgtool, tests; sanitizers on),
# build/win32 (PATCH.EXE, helper.exe, robot.exe) and build/win64 (pkgtool.exe).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset host > /dev/null
# Counts of the objects being rebuilt would no longer match them (gcov says so, loudly).
find build/host -name '*.gcda' -delete
cmake --build --preset host
cmake --preset win32 > /dev/null
cmake --build --preset win32
cmake --preset win64 > /dev/null
cmake --build --preset win64
