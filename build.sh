#!/usr/bin/env bash
# Installs what the build needs where it is missing, then builds the programs into
# build/bin (or $BUILD_DIR/bin). Extra words go to CMake.
#
# The programs are linked against a lean static Qt Core, built once from Debian's own
# qt6-base source of the installed version with everything they do not use left out,
# and cached in $TASKFAN_QT_CACHE (default /var/cache/taskfan-qt); later runs reuse it.
# With libstdc++ and libgcc linked in as well, a program loads no library but the C
# library (and libm), and its start takes about a third of the work it takes against
# the system's shared Qt.
# TASKFAN_QT=system builds against the system's shared Qt instead (as a plain
# `cmake -S . -B build` does), which the tests need for Qt's test library.
set -euo pipefail
cd "$(dirname "$0")"
kind=${TASKFAN_QT:-lean}
case $kind in lean | system) ;; *) echo "TASKFAN_QT is lean or system, not $kind" >&2; exit 2 ;; esac

missing=()
command -v cmake > /dev/null || missing+=(cmake)
command -v g++ > /dev/null || missing+=(g++)
command -v make > /dev/null || missing+=(make)
# Qt's host tools (moc and friends) and the version whose source the lean Qt is built from.
dpkg-query -W -f='${Status}' qt6-base-dev 2> /dev/null | grep -q 'ok installed' || missing+=(qt6-base-dev)
if [ "$kind" = lean ]; then
    command -v ninja > /dev/null || missing+=(ninja-build)
    command -v dpkg-source > /dev/null || missing+=(dpkg-dev)
fi
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
# A build directory set up against the other Qt is set up anew: CMake would keep the
# Qt it found first.
configure() {
    local prefix=$1; shift
    if [ -f "$build/CMakeCache.txt" ] && ! grep -q "^Qt6_DIR:PATH=$prefix/" "$build/CMakeCache.txt"; then
        rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
    fi
    cmake -S . -B "$build" -DCMAKE_PREFIX_PATH="$prefix" "$@"
}
if [ "$kind" = system ]; then
    configure /usr "$@"
    cmake --build "$build" -j "$(nproc)"
    exit
fi

# Qt Core alone, static, with nothing that brings a library of the system: no ICU,
# glib, zstd, libb2, journald, nor the system's pcre2, zlib and double-conversion;
# and none of the other modules nor the parts of Core that the programs do not use.
options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_gui=OFF -DFEATURE_widgets=OFF -DFEATURE_network=OFF -DFEATURE_sql=OFF
    -DFEATURE_dbus=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF
    -DFEATURE_testlib=OFF -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_zstd=OFF
    -DFEATURE_pkg_config=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF -DFEATURE_journald=OFF
    -DFEATURE_lttng=OFF -DFEATURE_libudev=OFF
    -DFEATURE_mimetype=OFF -DFEATURE_settings=OFF
    -DFEATURE_translation=OFF -DFEATURE_sharedmemory=OFF -DFEATURE_systemsemaphore=OFF
    -DFEATURE_filesystemwatcher=OFF -DFEATURE_animation=OFF -DFEATURE_itemmodel=OFF
    -DFEATURE_xmlstream=OFF
    -DFEATURE_jalalicalendar=OFF -DFEATURE_islamiccivilcalendar=OFF
    -DFEATURE_regularexpression=OFF -DFEATURE_pcre2=OFF -DFEATURE_timezone=OFF
    -DFEATURE_datetimeparser=OFF -DFEATURE_commandlineparser=OFF
    -DFEATURE_cborstreamwriter=OFF -DFEATURE_temporaryfile=OFF -DFEATURE_library=OFF
    -DFEATURE_easingcurve=OFF -DFEATURE_process=OFF -DFEATURE_processenvironment=OFF
    # This Qt asks for PCRE2 even where regular expressions are left out.
    -DCMAKE_DISABLE_FIND_PACKAGE_WrapPCRE2=ON
)
version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev)
# A change of the options, the compiler or this recipe builds into a new directory.
key=$( (printf '%s\n' "${options[@]}"; g++ --version | head -n 1; echo static-v1) | sha256sum | cut -c 1-12)
cache=${TASKFAN_QT_CACHE:-/var/cache/taskfan-qt}
qt=$cache/$version-linux-$key
multiarch=$(gcc -print-multiarch)

mkdir -p "$cache"
# Fetches the source and builds and installs Qt into $qt; errexit does not hold in an if.
build_qt() {
    (cd "$qt.src" && apt-get source "qt6-base=$version") &&
    src=$(find "$qt.src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1) &&
    # The host tools come from the system's Qt of the same version, not built again.
    nice cmake -G Ninja -S "$src" -B "$qt.build" -DCMAKE_INSTALL_PREFIX="$qt" \
        -DQT_FORCE_FIND_TOOLS=ON -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/$multiarch/cmake \
        "${options[@]}" &&
    nice cmake --build "$qt.build" -j "${QT_BUILD_JOBS:-2}" &&
    cmake --install "$qt.build"
}
# One build of Qt at a time: a second build.sh waits for the first, then reuses its Qt.
exec 9> "$cache/lock"
flock 9
if [ ! -f "$qt/complete" ]; then
    # apt-get source needs deb-src entries: a copy of the deb stanzas, where none exist.
    if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/debian-src.sources
        apt-get update
    fi
    echo "building Qt Core $version once, into $qt (about 5 minutes on 2 cores)" >&2
    rm -rf "$qt" "$qt.src" "$qt.build"
    mkdir -p "$qt.src"
    # All of it into a log, which is shown where it fails.
    if ! build_qt > "$qt.log" 2>&1; then
        tail -n 40 "$qt.log" >&2
        echo "building Qt failed; the whole log is $qt.log" >&2
        exit 1
    fi
    rm -rf "$qt.src" "$qt.build" "$qt.log"
    touch "$qt/complete"
fi
exec 9>&-

configure "$qt" "$@"
cmake --build "$build" -j "$(nproc)"
