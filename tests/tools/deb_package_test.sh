#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks that it holds both
# programs, their man pages and the bash completion, and that every package
# its Depends names is installed here, in a version that satisfies it.
# Usage: deb_package_test.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "${1:?build folder}" && pwd)
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

# Packaging takes the programs as built; a build folder that did not build
# them (the TSan run builds only what it tests) skips this test.
for program in ostra-native ostra-host; do
    [ -x "$BUILD/$program" ] || { echo "SKIP: $BUILD/$program is not built"; exit 77; }
done
cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$OUT" >"$OUT/cpack.log" 2>&1 || {
    cat "$OUT/cpack.log" >&2
    echo "FAIL: cpack could not build the package" >&2
    exit 1
}
DEB=$(find "$OUT" -maxdepth 1 -name '*.deb' | head -1)
[ -n "$DEB" ] || { echo "FAIL: no .deb produced" >&2; exit 1; }

dpkg-deb -I "$DEB"
files=$(dpkg-deb -c "$DEB")
for file in usr/bin/ostra-native usr/bin/ostra-host usr/share/man/man1/ostra-host.1 \
    usr/share/man/man1/ostra-native.1 usr/share/bash-completion/completions/ostra-host; do
    grep -q "\./$file\$" <<<"$files" || { echo "FAIL: $file not in the package" >&2; exit 1; }
done

depends=$(dpkg-deb -f "$DEB" Depends)
[ -n "$depends" ] || { echo "FAIL: the package names no Depends" >&2; exit 1; }
# Depends names the runtime libraries of what the programs link.
for library in libtag libavformat libchromaprint libboost-filesystem libssl libsystemd libsqlite3; do
    grep -q "$library" <<<"$depends" || { echo "FAIL: Depends lacks $library: $depends" >&2; exit 1; }
done

# Every clause of Depends is met here, in a version that satisfies it: apt,
# asked to install the package, would install nothing else.
plan=$(apt-get -s -o Debug::NoLocking=1 install "$DEB" 2>&1) ||
    { echo "FAIL: apt cannot install the package: $plan" >&2; exit 1; }
others=$(grep '^Inst ' <<<"$plan" | grep -v '^Inst ostra-native ' || true)
[ -z "$others" ] || { echo "FAIL: dependencies not installed here: $others" >&2; exit 1; }
echo "package $(basename "$DEB"): every dependency installed"
