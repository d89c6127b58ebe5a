#!/usr/bin/env bash
# Runs the ```sh blocks of README.md and docs/protocol.md marked
# "<!-- readme-test: run -->" as written beside generated songs; the one marked
# "install" installs into a temporary root (DESTDIR) and builds the package,
# its `sudo apt install` line only reading it. The build tree goes by its real
# path (CMake run through a link would configure the tree anew).
# Usage: readme_examples_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
SRC=$(cd "${1:?source folder}" && pwd)
BUILD=$(cd "${2:?build folder}" && pwd)
for program in ostra-native ostra-host; do
    [ -x "$BUILD/$program" ] || { echo "SKIP: $BUILD/$program is not built"; exit 77; }
done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0

RUN="$WORK/run"
mkdir -p "$RUN" "$WORK/home/Music/album"
ln -s "$BUILD" "$RUN/build"
ln -s "$SRC/clients" "$RUN/clients"
ln -s "$SRC/tools" "$RUN/tools"
tone() {  # tone FILE SECONDS TITLE ffmpeg-codec-options...
    local file=$1 seconds=$2 title=$3
    shift 3
    ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=440:duration=$seconds" \
        -metadata title="$title" -metadata artist="Readme Artist" "$@" "$file"
}
tone "$RUN/a.mp3" 8 "A" -c:a libmp3lame
tone "$RUN/b.flac" 3 "B" -c:a flac
tone "$RUN/b.m4a" 3 "B" -c:a aac
tone "$RUN/a.ogg" 3 "A" -c:a libvorbis
cp "$RUN/a.mp3" "$RUN/b.m4a" "$WORK/home/Music/album/"
cp "$RUN/a.mp3" "$WORK/home/Music/a copy.mp3"

# The blocks, each with its mark, as NUL-separated "mark\nscript" items.
python3 - "$WORK/blocks" "$SRC/README.md" "$SRC/docs/protocol.md" <<'PY'
import re, sys
blocks = []
for path in sys.argv[2:]:
    text = open(path, encoding="utf-8").read()
    blocks += re.findall(r"<!-- readme-test: (\w+) -->\n```sh\n(.*?)```", text, re.S)
with open(sys.argv[1], "w", encoding="utf-8") as out:
    for mark, script in blocks:
        out.write(mark + "\n" + script + "\0")
print(len(blocks), "blocks")
PY
count=0
while IFS= read -r -d '' item; do
    mark=${item%%$'\n'*}
    script=${item#*$'\n'}
    count=$((count + 1))
    if [ "$mark" = install ]; then
        script=$(sed -E -e 's|^sudo apt install (\./[^ ]+)$|test -f \1 \&\& dpkg-deb --info \1 >/dev/null|' \
            -e "s#(^|[ (./])build([ /)])#\\1$BUILD\\2#g" -e "s#\./$BUILD#$BUILD#g" <<<"$script")
        env=(DESTDIR="$WORK/staged")
    else
        env=()
    fi
    if ! (cd "$RUN" && env HOME="$WORK/home" "${env[@]}" bash -e -o pipefail -c "$script") \
        >"$WORK/out" 2>"$WORK/err"; then
        echo "FAIL: README block $count ($mark) failed:" >&2
        sed 's/^/    /' <<<"$script" >&2
        tail -5 "$WORK/err" | sed 's/^/  stderr: /' >&2
        failures=$((failures + 1))
    fi
done <"$WORK/blocks"
[ "$count" -ge 6 ] || { echo "FAIL: only $count marked blocks in the documents" >&2; failures=$((failures + 1)); }
# What `cmake --install` put in place and the package the block built hold
# both programs, their man pages and the completion; apt would install the
# package alone (every clause of its Depends is met here).
DEB=$(find "$BUILD" -maxdepth 1 -name 'ostra-native_*.deb' | head -1)
files=$(dpkg-deb -c "$DEB" 2>&1)
for installed in bin/ostra-host bin/ostra-native share/man/man1/ostra-host.1 \
    share/man/man1/ostra-native.1 share/bash-completion/completions/ostra-host; do
    [ -f "$WORK/staged/usr/local/$installed" ] || { echo "FAIL: cmake --install put no $installed" >&2; failures=$((failures + 1)); }
    grep -q "\./usr/$installed\$" <<<"$files" || { echo "FAIL: $installed not in $DEB" >&2; failures=$((failures + 1)); }
done
depends=$(dpkg-deb -f "$DEB" Depends)
for library in libtag libavformat libchromaprint libboost-filesystem libssl libsystemd libsqlite3; do
    grep -q "$library" <<<"$depends" || { echo "FAIL: Depends lacks $library: $depends" >&2; failures=$((failures + 1)); }
done
plan=$(apt-get -s -o Debug::NoLocking=1 install "$DEB" 2>&1) && others=$(grep '^Inst ' <<<"$plan" | grep -v '^Inst ostra-native ')
[ -z "${others-x}" ] || { echo "FAIL: apt would install more: ${others-$plan}" >&2; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] || exit 1
echo "all $count marked blocks ran"
