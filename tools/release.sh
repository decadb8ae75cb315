#!/usr/bin/env bash
# Builds the release of the version in CMakeLists.txt into dist/:
#   brinmoor_<version>_amd64.deb, brinmoor_<version>_arm64.deb (Debian
#   packages; arm64 for a Raspberry Pi with a 64-bit system),
#   brinmoor-<version>-windows-x64.zip, and SHA256SUMS.
# Every program is a stripped Release build. Installs what it needs first.
#
#   tools/release.sh            everything
#   tools/release.sh --debs     the two Debian packages only
#
# Build folders: build-release/amd64, build-release/arm64 (with the unit
# tests configured, for the package stage of tools/test.sh to run under
# qemu), build-release/windows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=2
dist="$root/dist"
builds="$root/build-release"
programs=(brinmoor brinmoorctl brinmoor-radiosim)

windows=yes
case "${1:-}" in
    "") ;;
    --debs) windows=no ;;
    *)
        sed -n '2,13p' "$0" >&2
        exit 2
        ;;
esac

"$root/tools/install-deps.sh" --release
start=$SECONDS

# configure DIR ARGS...: a Release build folder.
configure() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
}
# The hardening Debian's own packages are built with (dpkg-buildflags):
# checked buffer functions, stack protector, relocations read-only at once.
linux_hardening=(-DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat -Werror=format-security"
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now")

# What this run builds is replaced; with --debs a zip built before stays.
mkdir -p "$dist"
rm -f "$dist"/brinmoor_*.deb "$dist/SHA256SUMS"
[[ $windows == yes ]] && rm -f "$dist"/brinmoor-*-windows-x64.zip

echo "== amd64"
configure "$builds/amd64" -DBRINMOOR_BUILD_TESTS=OFF "${linux_hardening[@]}"
cmake --build "$builds/amd64" -j$jobs --target "${programs[@]}"
"$root/packaging/build-deb.sh" "$builds/amd64" amd64 "$dist"

echo "== arm64"
configure "$builds/arm64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
    "${linux_hardening[@]}"
cmake --build "$builds/arm64" -j$jobs --target "${programs[@]}"
"$root/packaging/build-deb.sh" "$builds/arm64" arm64 "$dist"

if [[ $windows == yes ]]; then
    echo "== Windows x64"
    configure "$builds/windows" -DBRINMOOR_BUILD_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
    cmake --build "$builds/windows" -j$jobs --target brinmoor brinmoorctl
    "$root/packaging/windows-zip.sh" "$builds/windows" "$dist"
fi

(cd "$dist" && sha256sum -- brinmoor[_-]* >SHA256SUMS)
echo "== dist/ ($((SECONDS - start)) s)"
ls -l "$dist"
