#!/usr/bin/env bash
# Builds brinmoor-<version>-windows-x64.zip from a mingw-w64 Release build
# folder: the two programs, stripped and self-contained (no DLLs), with the
# documentation.
#   packaging/windows-zip.sh BUILD_DIR OUT_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name="brinmoor-$version-windows-x64"
stage="$build/zip/$name"
rm -rf "$build/zip"
mkdir -p "$stage/docs"
for program in src/brinmoor.exe tools/brinmoorctl/brinmoorctl.exe; do
    x86_64-w64-mingw32-strip --strip-all -o "$stage/$(basename "$program")" "$build/$program"
done
cp "$root/README.md" "$root/LICENSE" "$root/CHANGELOG.md" "$stage/"
cp "$root"/docs/*.md "$stage/docs/"

# Nothing but the system's own DLLs may be needed, and each stays small.
for program in "$stage"/*.exe; do
    if (($(stat -c %s "$program") >= 2 * 1024 * 1024)); then
        echo "windows-zip.sh: $program is 2 MiB or more" >&2
        exit 1
    fi
    if x86_64-w64-mingw32-objdump -p "$program" | grep -i "DLL Name" |
        grep -viE "(kernel32|advapi32|ws2_32|msvcrt|user32|api-ms-win-[a-z0-9-]+)\.dll"; then
        echo "windows-zip.sh: $program needs a DLL that Windows does not have" >&2
        exit 1
    fi
done

rm -f "$out/$name.zip"
(cd "$build/zip" && cmake -E tar cf "$out/$name.zip" --format=zip "$name")
echo "$out/$name.zip"
