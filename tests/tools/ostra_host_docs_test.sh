#!/usr/bin/env bash
# The man pages render without a warning and are the binary's own; the bash
# completion completes subcommands, flags, flag values, files and commands.
# Usage: ostra_host_docs_test.sh BUILD_DIR
set -uo pipefail
BUILD=$(cd "${1:?build folder}" && pwd)
HOST="$BUILD/ostra-host"
MAN="$BUILD/man"
COMPLETION="$BUILD/completion/ostra-host"
[ -x "$HOST" ] || { echo "SKIP: $HOST is not built"; exit 77; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for page in ostra-host.1 ostra-native.1; do
    [ -s "$MAN/$page" ] || { fail "$page was not written"; continue; }
    groff -man -ww -z "$MAN/$page" 2>"$WORK/warnings"
    [ -s "$WORK/warnings" ] && fail "$page: $(head -3 "$WORK/warnings")"
done
# The page is written by the binary as built: it matches what it prints now.
"$HOST" --help-man | cmp -s - "$MAN/ostra-host.1" || fail "the man page is not the binary's own"
"$HOST" --bash-completion | cmp -s - "$COMPLETION" || fail "the completion is not the binary's own"

# complete WORDS...: what the completion offers for the last word.
DIR="$WORK/music"
mkdir -p "$DIR/sub folder" "$DIR/songs"
touch "$DIR/first.mp3" "$DIR/second.m4a" "$DIR/songs.txt"
complete_words() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1));
             _ostra_host 2>/dev/null; printf "%s\n" "${COMPREPLY[@]}"' sh "$COMPLETION" "$@" | sort
}
while IFS='|' read -r words expected; do
    read -ra argv <<<"$words"
    [[ $words == *' ' ]] && argv+=("")
    got=$(complete_words ostra-host "${argv[@]}" | tr '\n' ' ' | sed 's/ $//')
    [ "$got" = "$expected" ] || fail "completing '$words': got '$got', expected '$expected'"
done <<EOF
sc|scan
--format t|table
fingerprint --types CMX,MI|CMX,MICRO
scan $DIR/s|$DIR/songs $DIR/sub folder
hash $DIR/s|$DIR/second.m4a $DIR/songs $DIR/songs.txt $DIR/sub folder
--helper /bin/true sc|scan
--format =  |json table
raw audio|audioHash
EOF
complete_words ostra-host keep-awake bas | grep -qx bash || fail "keep-awake does not complete commands"
[ -z "$(complete_words ostra-host keep-awake ls -l)" ] || fail "the command's own flags got ostra-host's"

[ "$failures" -eq 0 ] || exit 1
echo "man pages and completion checked"
