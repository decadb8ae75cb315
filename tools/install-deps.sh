#!/usr/bin/env bash
# Installs what brinmoor needs on Debian, only what is missing.
#   tools/install-deps.sh            build and native tests
#   tools/install-deps.sh --windows  also the mingw-w64 cross compiler and Wine
#   tools/install-deps.sh --fuzz     also clang with libFuzzer (may be combined)
#   tools/install-deps.sh --release  also what tools/release.sh and the package
#                                    stage need: the arm64 cross compiler and
#                                    qemu-user, the Debian package tools and
#                                    lintian, systemd-analyze, mingw-w64
set -euo pipefail

# libhamlib-utils: rigctl, the station-software peer of the interoperability test.
packages=(cmake ninja-build g++ libgtest-dev googletest libhamlib-utils)
for option in "$@"; do
    case "$option" in
        --windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64) ;;
        # libFuzzer and the sanitizer runtimes of clang live in libclang-rt-14-dev;
        # llvm gives llvm-symbolizer for readable reports.
        --fuzz) packages+=(clang-14 libclang-rt-14-dev llvm-14) ;;
        # adduser and debhelper give the tools the maintainer scripts call
        # (lintian checks for them); systemd gives systemd-analyze.
        --release)
            packages+=(g++-aarch64-linux-gnu qemu-user dpkg-dev fakeroot lintian debhelper adduser
                systemd man-db g++-mingw-w64-x86-64-posix)
            ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
