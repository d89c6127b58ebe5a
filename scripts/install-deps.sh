#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the demo use.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config clang libclang-rt-14-dev clang-format dpkg-dev
    libboost-dev libboost-system-dev libboost-thread-dev libboost-filesystem-dev
    libboost-regex-dev libboost-date-time-dev libboost-serialization-dev
    libtag1-dev zlib1g-dev libexpat1-dev libssl-dev libsystemd-dev libabsl-dev
    libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
    libchromaprint-dev libchromaprint-tools
    libcli11-dev nlohmann-json3-dev libsqlite3-dev
    googletest libgtest-dev
    ffmpeg lame python3 python3-mutagen python3-dbusmock dbus openssl util-linux bsdutils
    # The record check against the JSON Schemas, the man page check, and the README's jq example.
    python3-jsonschema groff-base jq
    # Programs the tests and scripts call: file (CPack's Debian Depends), busctl (the keep-awake
    # test asks the logind stand-in), bc (benchmark ratios), git (the commit in benchmark pages),
    # ccache (rebuilds of the three build flavours).
    file systemd bc git ccache
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
