#!/usr/bin/env bash
# Every test: installs what is missing, builds both programs, runs the unit and integration
# tests (under AddressSanitizer and UndefinedBehaviorSanitizer) and prints the lines and
# branches of src/ and tools/ that they ran, checks the imports of PATCH.EXE and pkgtool.exe,
# PATCH.EXE's size, and that a second build in another folder makes the same bytes, runs the
# Wine end-to-end tests, and every fuzz target for a minute on its corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
# Coverage counts what this run does, not what runs before it did.
find build/host -name '*.gcda' -delete
ctest --preset host -j "$(nproc)"
scripts/coverage.sh
tests/e2e/imports.sh
scripts/reproduce.sh
tests/e2e/run.sh
tests/fuzz/run.sh 60
