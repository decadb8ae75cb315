#!/usr/bin/env bash
# Checks the Debian packages tools/release.sh made, as CI does:
#   packaging/check-packages.sh DIST_DIR
# their control fields and file lists, lintian (no error, no warning: the
# packages need no override), the unit's exposure score, and the amd64
# package unpacked by dpkg into a throw-away root, where its programs must
# run and tell the version.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
dist=$(cd "$1" && pwd)
version=$(sed -n 's/^project(brinmoor VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Every file the package holds, directories left out, sorted.
expected_files() {
    {
        printf '%s\n' ./etc/brinmoor/station.json ./etc/default/brinmoor \
            ./lib/systemd/system/brinmoor.service \
            ./usr/bin/brinmoor ./usr/bin/brinmoorctl ./usr/bin/brinmoor-radiosim \
            ./usr/share/man/man8/brinmoor.8.gz ./usr/share/man/man1/brinmoorctl.1.gz \
            ./usr/share/man/man1/brinmoor-radiosim.1.gz \
            ./usr/share/doc/brinmoor/README.md ./usr/share/doc/brinmoor/copyright \
            ./usr/share/doc/brinmoor/changelog.gz ./usr/share/doc/brinmoor/changelog.Debian.gz
        for page in "$root"/docs/*.md; do echo "./usr/share/doc/brinmoor/docs/${page##*/}"; done
    } | sort
}

grep -q "^## \[$version\]" "$root/CHANGELOG.md" || fail "CHANGELOG.md has no section [$version]"

for arch in amd64 arm64; do
    deb="$dist/brinmoor_${version}_${arch}.deb"
    echo "== $deb ($(stat -c %s "$deb") bytes)"
    [[ -f "$deb" ]] || { fail "$deb is missing"; continue; }

    field() { dpkg-deb -f "$deb" "$1"; }
    [[ $(field Package) == brinmoor ]] || fail "$arch: Package is $(field Package)"
    [[ $(field Version) == "$version" ]] || fail "$arch: Version is $(field Version)"
    [[ $(field Architecture) == "$arch" ]] || fail "$arch: Architecture is $(field Architecture)"
    for name in Maintainer Installed-Size Section Priority Description; do
        [[ -n $(field $name) ]] || fail "$arch: no $name"
    done
    for need in adduser libc6 libstdc++6; do
        [[ $(field Depends) == *"$need"* ]] || fail "$arch: Depends lacks $need: $(field Depends)"
    done

    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort >"$work/files"
    if ! diff -u <(expected_files) "$work/files"; then fail "$arch: file list differs"; fi
    dpkg-deb -c "$deb" | awk '{print $2}' | grep -qv '^root/root$' && fail "$arch: a file not owned by root"
    dpkg-deb -I "$deb" conffiles | diff -u <(printf '%s\n' /etc/brinmoor/station.json /etc/default/brinmoor) - ||
        fail "$arch: conffiles differ"

    rm -rf "$work/tree"
    dpkg-deb -x "$deb" "$work/tree"
    machine=$([[ $arch == amd64 ]] && echo "X86-64" || echo "AArch64")
    for program in brinmoor brinmoorctl brinmoor-radiosim; do
        binary="$work/tree/usr/bin/$program"
        readelf -h "$binary" | grep -q "Machine:.*$machine" || fail "$arch: $program is not $machine"
        readelf -S "$binary" | grep -q '\.symtab' && fail "$arch: $program is not stripped"
        echo "   $program: $(stat -c %s "$binary") bytes"
    done

    echo "== lintian $arch"
    lintian --fail-on error,warning "$deb" || fail "$arch: lintian"
done

echo "== systemd-analyze security (offline)"
unit="$root/packaging/debian/brinmoor.service"
systemd-analyze security --offline=yes --threshold=20 "$unit" | tail -1 || fail "exposure above 2.0"

echo "== amd64: unpacked by dpkg into a throw-away root"
target="$work/root"
mkdir -p "$target/var/lib/dpkg/info" "$target/var/lib/dpkg/updates"
touch "$target/var/lib/dpkg/status"
# Unpacked only: the maintainer scripts would make a user and start the
# service on the machine itself.
dpkg --root="$target" --force-not-root --force-depends \
    --unpack "$dist/brinmoor_${version}_amd64.deb" >/dev/null || fail "dpkg --unpack"
for program in brinmoor brinmoorctl brinmoor-radiosim; do
    said=$("$target/usr/bin/$program" --version 2>&1 || true)
    [[ $said == "$program $version" ]] || fail "installed $program --version says '$said'"
    echo "   $said"
done

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "== packages checked"
