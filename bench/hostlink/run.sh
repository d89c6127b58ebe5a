#!/usr/bin/env bash
# Echo round trip and idle cost of the helper. Usage: bench/hostlink/run.sh [BUILD]
set -euo pipefail
# The readers are measured, not the file cache: every helper of this benchmark reads afresh.
export OSTRA_CACHE=off
BUILD=${1:-build}
"$BUILD/bench/hostlink/echo_bench" "$BUILD/ostra-native" "${IDLE_SECONDS:-10}"
