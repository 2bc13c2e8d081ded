#!/usr/bin/env bash
# The version lives in one place, the project() call of the build; the README and the About
# box say the same.
top=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(sabrevin VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || { echo "FAILED: no version in CMakeLists.txt"; exit 1; }
grep -q "(version $version)" "$top/README.md" || { echo "FAILED: the README does not say version $version"; exit 1; }
if grep -rn "1\.35" "$top/ui" "$top/res" "$top/app" "$top/net" --include=*.cpp --include=*.h | grep -v SABREVIN_VERSION; then
    echo "FAILED: a version written into the code instead of SABREVIN_VERSION"; exit 1
fi
echo "ok: version $version in one place"
