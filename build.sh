#!/usr/bin/env bash
# Installs what the build needs where it is missing, then builds the programs
# into build/bin (or $BUILD_DIR/bin). Extra words go to CMake.
set -euo pipefail
cd "$(dirname "$0")"

missing=()
command -v cmake > /dev/null || missing+=(cmake)
command -v g++ > /dev/null || missing+=(g++)
command -v make > /dev/null || missing+=(make)
dpkg-query -W -f='${Status}' qt6-base-dev 2> /dev/null | grep -q 'ok installed' || missing+=(qt6-base-dev)
# For the tests: man and groff render the manual pages, pgrep and pkill watch and
# cancel jobs as the README shows.
command -v man > /dev/null || missing+=(man-db)
command -v groff > /dev/null || missing+=(groff-base)
command -v pkill > /dev/null || missing+=(procps)
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

build=${BUILD_DIR:-build}
cmake -S . -B "$build" "$@"
cmake --build "$build" -j "$(nproc)"
