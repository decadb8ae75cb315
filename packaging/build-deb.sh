#!/usr/bin/env bash
# Builds brinmoor_<version>_<arch>.deb from a Release build folder.
#   packaging/build-deb.sh BUILD_DIR ARCH OUT_DIR
# ARCH is a Debian architecture (amd64, arm64). The programs are stripped
# here, as dh_strip does; the maintainer scripts are those debhelper writes
# for a daemon with its own system user.
set -euo pipefail
umask 022
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$(cd "$1" && pwd)
arch=$2
mkdir -p "$3"
out=$(cd "$3" && pwd)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n "$version" ]] || { echo "build-deb.sh: no project version in $build" >&2; exit 1; }
case "$arch" in
    amd64) strip="strip" ;;
    arm64) strip=aarch64-linux-gnu-strip ;;
    *) echo "build-deb.sh: unknown architecture $arch" >&2; exit 2 ;;
esac

stage="$build/deb/brinmoor"
rm -rf "$build/deb"
mkdir -p "$stage/DEBIAN" "$stage/usr/bin" "$stage/usr/share/man/man1" "$stage/usr/share/man/man8" \
    "$stage/usr/share/doc/brinmoor/docs" \
    "$stage/lib/systemd/system" "$stage/etc/default" "$stage/etc/brinmoor"

for program in src/brinmoor tools/brinmoorctl/brinmoorctl tools/radiosim/brinmoor-radiosim; do
    install -m 0755 "$build/$program" "$stage/usr/bin/"
    "$strip" --remove-section=.comment --remove-section=.note --strip-unneeded \
        "$stage/usr/bin/$(basename "$program")"
done

for page in brinmoor.8 brinmoorctl.1 brinmoor-radiosim.1; do
    section=${page##*.}
    sed "s/@VERSION@/$version/" "$here/man/$page" | gzip -9n >"$stage/usr/share/man/man$section/$page.gz"
done

doc="$stage/usr/share/doc/brinmoor"
install -m 0644 "$root/README.md" "$doc/"
install -m 0644 "$root"/docs/*.md "$doc/docs/"
install -m 0644 "$here/debian/copyright" "$doc/"
gzip -9n <"$root/CHANGELOG.md" >"$doc/changelog.gz"
# The date of the last commit, so that a build of one commit is the same file.
date=$(git -C "$root" log -1 --format=%cD 2>/dev/null || date -R)
sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$date/" "$here/debian/changelog" |
    gzip -9n >"$doc/changelog.Debian.gz"

install -m 0644 "$here/debian/brinmoor.service" "$stage/lib/systemd/system/"
install -m 0644 "$here/debian/default" "$stage/etc/default/brinmoor"
install -m 0644 "$here/debian/station.json" "$stage/etc/brinmoor/station.json"

for script in postinst prerm postrm; do
    install -m 0755 "$here/debian/$script" "$stage/DEBIAN/"
done
install -m 0644 "$here/debian/conffiles" "$stage/DEBIAN/"

# The C and C++ libraries' versions the programs need. Debian's cross
# toolchain is the same GCC and glibc as the native one, so the native
# programs' needs, found by dpkg-shlibdeps, hold for every architecture.
depends="libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)"
if [[ "$arch" == "$(dpkg --print-architecture)" ]]; then
    mkdir -p "$build/deb/debian"
    touch "$build/deb/debian/control"
    depends=$(cd "$build/deb" && dpkg-shlibdeps -O "$stage"/usr/bin/* 2>/dev/null |
        sed -n 's/^shlibs:Depends=//p')
fi
depends="adduser, $depends"
rm -rf "$build/deb/debian"

size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
    -e "s/@DEPENDS@/$depends/" "$here/debian/control" >"$stage/DEBIAN/control"
(cd "$stage" && find usr lib -type f -print0 | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
chmod 0644 "$stage/DEBIAN/md5sums"

mkdir -p "$out"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$out/brinmoor_${version}_${arch}.deb" >/dev/null
echo "$out/brinmoor_${version}_${arch}.deb"
