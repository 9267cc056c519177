#!/usr/bin/env bash
# Configures and builds both programs: build/host (qlmpatch, pkgtool, tests; sanitizers on)
# and build/win32 (PATCH.EXE, helper.exe, robot.exe).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset host > /dev/null
# Counts of the objects being rebuilt would no longer match them (gcov says so, loudly).
find build/host -name '*.gcda' -delete
cmake --build --preset host
cmake --preset win32 > /dev/null
cmake --build --preset win32
