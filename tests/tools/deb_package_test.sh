#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks that it holds both
# programs, their man pages and the bash completion, and that every package
# its Depends names is installed here, in a version that satisfies the
# constraint.
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

providers=$(dpkg-query -W -f='${db:Status-Abbrev}${Package} ${Provides}\n' | sed 's/ ([^)]*)//g')
failures=0
# "a (>= 1), b | c (>= 2)": every clause needs one installed alternative.
IFS=',' read -ra clauses <<<"$depends"
for clause in "${clauses[@]}"; do
    satisfied=0
    IFS='|' read -ra alternatives <<<"$clause"
    for alternative in "${alternatives[@]}"; do
        name=$(sed -E 's/^ *([^ (]+).*/\1/' <<<"$alternative")
        constraint=$(sed -nE 's/.*\(([<>=]+) *([^)]+)\).*/\1 \2/p' <<<"$alternative")
        installed=$(dpkg-query -W -f='${Status} ${Version}' "$name" 2>/dev/null |
            sed -nE 's/^install ok installed (.*)/\1/p' || true)
        if [ -z "$installed" ]; then
            # A virtual package (libboost-regex1.74.0-icu72) is satisfied by an
            # installed package that provides it, for unversioned clauses.
            if [ -z "$constraint" ] && grep -qE "^ii .*[ ,]$name(,| |\$)" <<<"$providers"; then
                satisfied=1
                break
            fi
            continue
        fi
        if [ -n "$constraint" ]; then
            op=${constraint%% *}
            want=${constraint#* }
            case $op in
                ">=") dop=ge ;; "<=") dop=le ;; "=") dop=eq ;; ">>") dop=gt ;; "<<") dop=lt ;;
                *) dop=ge ;;
            esac
            dpkg --compare-versions "$installed" "$dop" "$want" || continue
        fi
        satisfied=1
        break
    done
    if [ "$satisfied" -eq 0 ]; then
        echo "FAIL: dependency not satisfied here:$clause" >&2
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] || exit 1
echo "package $(basename "$DEB"): ${#clauses[@]} dependencies, all installed"
