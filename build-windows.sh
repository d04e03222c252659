#!/usr/bin/env bash
# Cross-builds the Windows programs on Debian: taskfan.exe, taskexec.exe and taskjoin.exe
# into build-windows/bin (or $BUILD_DIR/bin), with Qt Core and the MinGW runtime linked
# in, so that they need no DLL beside them and import only Windows' own.
# Installs what is missing, and builds a lean static Qt Core for Windows from Debian's
# own qt6-base source once, into $TASKFAN_WINDOWS_CACHE (default /var/cache/taskfan-windows);
# later runs reuse it. Extra words go to CMake.
set -euo pipefail
cd "$(dirname "$0")"
project=$PWD
cache=${TASKFAN_WINDOWS_CACHE:-/var/cache/taskfan-windows}
build=${BUILD_DIR:-build-windows}
target=x86_64-w64-mingw32

missing=()
command -v $target-g++-posix > /dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v cmake > /dev/null || missing+=(cmake)
command -v ninja > /dev/null || missing+=(ninja-build)
command -v dpkg-source > /dev/null || missing+=(dpkg-dev)
[ -x /usr/lib/wine/wine64 ] || missing+=(wine)
# Qt's host tools (moc and friends) come from the native Qt of the same version.
dpkg-query -W -f='${Status}' qt6-base-dev 2> /dev/null | grep -q 'ok installed' || missing+=(qt6-base-dev)
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

mkdir -p "$cache"
toolchain=$cache/mingw.cmake
cat > "$toolchain.new" << EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $target-gcc-posix)
set(CMAKE_CXX_COMPILER $target-g++-posix)
set(CMAKE_RC_COMPILER $target-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$target)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
cmp -s "$toolchain.new" "$toolchain" && rm "$toolchain.new" || mv "$toolchain.new" "$toolchain"

# Qt Core only, static, without what the programs do not use: the same choice as build.sh,
# but for QProcess, which the runner uses here.
options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DFEATURE_static_runtime=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_gui=OFF -DFEATURE_widgets=OFF -DFEATURE_network=OFF -DFEATURE_sql=OFF
    -DFEATURE_dbus=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF
    -DFEATURE_testlib=OFF -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_zstd=OFF
    -DFEATURE_pkg_config=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF
    -DFEATURE_mimetype=OFF -DFEATURE_settings=OFF
    -DFEATURE_translation=OFF -DFEATURE_sharedmemory=OFF -DFEATURE_systemsemaphore=OFF
    -DFEATURE_filesystemwatcher=OFF -DFEATURE_animation=OFF -DFEATURE_itemmodel=OFF
    -DFEATURE_xmlstream=OFF
    -DFEATURE_jalalicalendar=OFF -DFEATURE_islamiccivilcalendar=OFF
    -DFEATURE_regularexpression=OFF -DFEATURE_pcre2=OFF -DFEATURE_timezone=OFF
    -DFEATURE_datetimeparser=OFF -DFEATURE_commandlineparser=OFF
    -DFEATURE_cborstreamwriter=OFF -DFEATURE_temporaryfile=OFF -DFEATURE_library=OFF
    -DFEATURE_easingcurve=OFF
    # This Qt asks for PCRE2 even where regular expressions are left out.
    -DCMAKE_DISABLE_FIND_PACKAGE_WrapPCRE2=ON
)
version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev)
# A change of the options, the cross compiler or this recipe builds into a new directory.
key=$( (printf '%s\n' "${options[@]}"; $target-g++-posix --version | head -n 1; cat "$toolchain"; echo static-v1) |
    sha256sum | cut -c 1-12)
qt=$cache/qt-$version-static-$key

# Fetches the source and builds and installs Qt into $qt; errexit does not hold in an if.
build_qt() {
    (cd "$qt.src" && apt-get source "qt6-base=$version") &&
    src=$(find "$qt.src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1) &&
    # The host tools (moc and friends) come from the native Qt of the same version.
    nice cmake -G Ninja -S "$src" -B "$qt.build" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$qt" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        "${options[@]}" &&
    nice cmake --build "$qt.build" -j "${QT_BUILD_JOBS:-2}" &&
    cmake --install "$qt.build"
}
# One build of Qt at a time: a second run waits for the first, then reuses its Qt.
exec 9> "$cache/lock"
flock 9
if [ ! -f "$qt/complete" ]; then
    # apt-get source needs deb-src entries: a copy of the deb stanzas, where none exist.
    if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/debian-src.sources
        apt-get update
    fi
    echo "building Qt Core $version for Windows once, into $qt (about 6 minutes on 2 cores)" >&2
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

# A build directory set up against another Qt is set up anew: CMake would keep the old one.
qt_toolchain=$qt/lib/cmake/Qt6/qt.toolchain.cmake
if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "CMAKE_TOOLCHAIN_FILE:FILEPATH=$qt_toolchain" "$build/CMakeCache.txt"; then
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -G Ninja -S "$project" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$qt_toolchain" \
    -DBUILD_TESTING=OFF "$@"
cmake --build "$build"

# Nothing beside the programs: a build against the shared Qt of before left its DLLs here.
rm -f "$build"/bin/*.dll
