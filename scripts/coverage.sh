#!/usr/bin/env bash
# Line and branch coverage of what the host tests ran, one row per folder of src/ and tools/,
# from the counts that the host build (QLM_COVERAGE) leaves beside its objects; the line-by-line
# report goes to build/coverage/index.html. scripts/test.sh runs it after the host tests; to
# measure again from zero, delete build/host's *.gcda files and run the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/coverage
rm -rf "$out"
mkdir -p "$out"
# Branches that only a throw or the compiler's own unreachable code takes are not ours. The
# counts are searched for in build/host alone: the Wine tests' prefix under build/e2e links its
# drive Z: to /, and with it every other build on the machine.
gcovr --root . --object-directory build/host --filter 'src/' --filter 'tools/' \
    --exclude-unreachable-branches --exclude-throw-branches \
    --json "$out/coverage.json" --html-details "$out/index.html" build/host > /dev/null
python3 - "$out/coverage.json" <<'PYTHON'
import collections, json, os, sys

folders = collections.defaultdict(lambda: [0, 0, 0, 0])  # lines run, lines, branches taken, branches
for entry in json.load(open(sys.argv[1]))["files"]:
    row = folders[os.path.dirname(entry["file"])]
    for line in entry["lines"]:
        if line.get("gcovr/noncode"):
            continue
        row[0] += line["count"] > 0
        row[1] += 1
        row[2] += sum(branch["count"] > 0 for branch in line["branches"])
        row[3] += len(line["branches"])

def percent(part, whole):
    return f"{100 * part / whole:6.1f} %" if whole else "     -  "

print(f"{'folder':24} {'lines':>17} {'':8} {'branches':>17}")
total = [0, 0, 0, 0]
for folder in sorted(folders):
    row = folders[folder]
    total = [a + b for a, b in zip(total, row)]
    print(f"{folder:24} {row[0]:7} / {row[1]:<7} {percent(row[0], row[1])} "
          f"{row[2]:7} / {row[3]:<7} {percent(row[2], row[3])}")
print(f"{'all':24} {total[0]:7} / {total[1]:<7} {percent(total[0], total[1])} "
      f"{total[2]:7} / {total[3]:<7} {percent(total[2], total[3])}")
PYTHON
echo "line by line: $out/index.html"
