#!/usr/bin/env bash
# Static checks: clang-format over the project's own sources (nothing may need reformatting)
# and cppcheck over the product code, the platform layer under it (the POSIX layer, the Linux
# backend, the Windows device routing) and the simulated PC, with its known false positives
# suppressed by name in scripts/cppcheck-suppressions.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== clang-format --dry-run -Werror"
git ls-files -z '*.c' '*.cpp' '*.h' ':!vendor/' | xargs -0 clang-format --dry-run -Werror

echo "== cppcheck (product code, platform layer and simulated PC)"
cppcheck -q -j"$(nproc)" --std=c++17 --language=c++ -I . \
    --enable=warning,performance,portability --error-exitcode=1 \
    --suppress=missingIncludeSystem --suppressions-list=scripts/cppcheck-suppressions.txt \
    app common devquery disklib fleet host log package platform sim topology
echo "lint: clean"
