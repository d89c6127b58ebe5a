#!/usr/bin/env bash
# A short tour of the helper through ostra-host.
set -euo pipefail
BUILD=${1:-build}
HOST="$BUILD/ostra-host"

section() { printf '\n== %s ==\n' "$1"; }

section "version"
"$HOST" version
section "echo"
"$HOST" echo '{"hello": "world", "list": [1, 2, 3]}'
