#!/usr/bin/env bash
# Builds the coverage preset (gcc, --coverage), runs every test and prints the line and
# branch coverage of the project's own code as a table per folder (tests excluded).
#   scripts/coverage.sh            the table on stdout; build/coverage/coverage.json kept
# gcov's complaints (objects of sources removed since the last build) go to build/coverage/gcovr.log.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs="$(nproc)"
bin=build/coverage

cmake --preset coverage >/dev/null
cmake --build --preset coverage -- -j"$jobs"
# Counters from an earlier run would add up with this one.
find "$bin" -name '*.gcda' -delete
ctest --preset coverage -j"$jobs" >"$bin/ctest.log" || { tail -40 "$bin/ctest.log"; exit 1; }
tail -3 "$bin/ctest.log"

# One process: gcovr 5.2 hangs when one of its worker threads fails.
gcovr -r . --object-directory "$bin" --gcov-ignore-parse-errors \
    --exclude 'tests/' --exclude 'build/' --exclude 'third_party/' --exclude 'vendor/' \
    --json-summary "$bin/coverage.json" >/dev/null 2>"$bin/gcovr.log" ||
    { cat "$bin/gcovr.log"; exit 1; }
python3 - "$bin/coverage.json" <<'PY'
import collections, json, os, sys
files = json.load(open(sys.argv[1]))["files"]
rows = collections.defaultdict(lambda: [0, 0, 0, 0, 0])
for f in files:
    r = rows[os.path.dirname(f["filename"]) or "."]
    r[0] += 1
    r[1] += f["line_covered"]; r[2] += f["line_total"]
    r[3] += f["branch_covered"]; r[4] += f["branch_total"]
def pct(a, b):
    return "%5.1f%%" % (100.0 * a / b) if b else "    -"
total = [sum(r[i] for r in rows.values()) for i in range(5)]
print("%-28s %5s %15s %7s %15s %7s" % ("folder", "files", "lines", "", "branches", ""))
for name in sorted(rows) + ["TOTAL"]:
    r = total if name == "TOTAL" else rows[name]
    print("%-28s %5d %7d/%-7d %7s %7d/%-7d %7s" %
          (name, r[0], r[1], r[2], pct(r[1], r[2]), r[3], r[4], pct(r[3], r[4])))
PY
