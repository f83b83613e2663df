#!/usr/bin/env bash
# Fails when a tracked C/C++ source (*.cpp, *.h, *.c) is not formatted as
# .clang-format says, printing clang-format's diagnostics for each place. Fix
# with: git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format -i
# CLANG_FORMAT names another clang-format binary. Formatting differs a little
# between clang-format versions; the tree is kept to the one of the build
# machine (Debian 12: clang-format 14).
set -euo pipefail
cd "$(dirname "$0")/.."

clang_format=${CLANG_FORMAT:-clang-format}
if ! command -v "$clang_format" >/dev/null 2>&1; then
    echo "check-format: $clang_format not found" >&2
    exit 2
fi
if [ -z "$(git ls-files -- '*.cpp' '*.h' '*.c')" ]; then
    echo "check-format: no tracked C/C++ sources found" >&2
    exit 2
fi

# xargs -0 and git's -z: any file name passes unchanged (BSD and GNU alike).
if git ls-files -z -- '*.cpp' '*.h' '*.c' | xargs -0 "$clang_format" --dry-run --Werror; then
    echo "check-format: every tracked C/C++ source is formatted"
else
    echo "check-format: the files above need clang-format -i" >&2
    exit 1
fi
