#!/usr/bin/env bash
# Runs the README's examples, and those of docs/protocol.md, as written: every
# ```sh block marked
# "<!-- readme-test: run -->" runs as one script (set -e, pipefail) in a
# folder where build/ is the build tree, with a.mp3, b.flac, b.m4a and a.ogg
# beside it and a ~/Music of generated songs. The block marked
# "<!-- readme-test: install -->" runs with DESTDIR, so that `cmake --install`
# installs into a temporary root, and its `sudo apt install ./X.deb` line only
# checks that X.deb was built and reads as a package. It names the build tree
# by its real path: CMake run through a link to a build tree would configure
# the tree anew under the link's name.
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
        env=(DESTDIR="$WORK/root")
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
for installed in bin/ostra-host bin/ostra-native share/man/man1/ostra-host.1 \
    share/man/man1/ostra-native.1 share/bash-completion/completions/ostra-host; do
    [ -f "$WORK/root/usr/local/$installed" ] || { echo "FAIL: cmake --install put no $installed" >&2; failures=$((failures + 1)); }
done
[ "$failures" -eq 0 ] || exit 1
echo "all $count marked blocks ran"
