#!/usr/bin/env bash
# Cross-builds the Windows programs on Debian: taskfan.exe, taskexec.exe and taskjoin.exe
# with the DLLs they need beside them, into build-windows/bin (or $BUILD_DIR/bin).
# Installs what is missing, and builds Qt Core for Windows from Debian's own qt6-base
# source once, into $TASKFAN_WINDOWS_CACHE (default /var/cache/taskfan-windows); later
# runs reuse it. Extra words go to CMake.
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

qt=$cache/qt
if [ ! -f "$qt/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
    # apt-get source needs deb-src entries: a copy of the deb stanzas, where none exist.
    if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/debian-src.sources
        apt-get update
    fi
    rm -rf "$cache/src" "$cache/qt-build"
    mkdir -p "$cache/src"
    (cd "$cache/src" && apt-get source qt6-base)
    src=$(find "$cache/src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
    # Qt Core only: the programs need nothing else, and the Windows tests drive them from Linux.
    nice cmake -G Ninja -S "$src" -B "$cache/qt-build" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$qt" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DBUILD_SHARED_LIBS=ON \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_gui=OFF -DFEATURE_widgets=OFF -DFEATURE_network=OFF -DFEATURE_sql=OFF \
        -DFEATURE_dbus=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF \
        -DFEATURE_testlib=OFF -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_zstd=OFF \
        -DFEATURE_pkg_config=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
        -DFEATURE_system_doubleconversion=OFF
    nice cmake --build "$cache/qt-build" -j "${QT_BUILD_JOBS:-2}"
    cmake --install "$cache/qt-build"
    rm -rf "$cache/src" "$cache/qt-build"
fi

cmake -G Ninja -S "$project" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DBUILD_TESTING=OFF "$@"
cmake --build "$build"

# Beside the programs: Qt Core and the MinGW runtime they link against.
runtime=$(dirname "$($target-g++-posix -print-libgcc-file-name)")
cp -u "$qt/bin/Qt6Core.dll" "$runtime/libstdc++-6.dll" "$runtime/libgcc_s_seh-1.dll" \
    /usr/$target/lib/libwinpthread-1.dll "$build/bin/"
