#!/usr/bin/env bash
# The C and C++ sources are formatted with the root .clang-format.
top=$(cd "$(dirname "$0")/.." && pwd)
command -v clang-format >/dev/null || { echo "SKIP: clang-format is not installed"; exit 77; }
cd "$top" || exit 1
files=$(git ls-files '*.c' '*.h' '*.cpp' 2>/dev/null)
[ -n "$files" ] || files=$(find app ui net res tests bench docs -name '*.c' -o -name '*.h' -o -name '*.cpp')
# shellcheck disable=SC2086
if ! clang-format --dry-run -Werror $files; then
    echo "FAILED: run clang-format -i on the files above"
    exit 1
fi
echo "ok: $(echo "$files" | wc -w) files formatted"
