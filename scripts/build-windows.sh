#!/usr/bin/env bash
# Cross-builds the client for Windows into build-windows/punchprobe.exe:
# installs the MinGW-w64 compiler (and Wine, for trying the result) when
# missing, builds JsonCpp and miniupnpc from Debian's own source packages as
# static Windows libraries, then builds the client alone against them, and
# the gateway codec's test against GoogleTest built from Debian's source.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${PUNCHPROBE_WINDOWS_BUILD:-$root/build-windows}
mkdir -p "$out"

# Each step reports its duration, so slow steps show up in CI logs.
step_start=$SECONDS
step_done() {
  echo "build-windows: $1 took $((SECONDS - step_start)) s" >&2
  step_start=$SECONDS
}

# wine64 alone puts no `wine` on the PATH, hence both; dpkg-source unpacks
# what apt-get source fetches; googletest is GoogleTest's source, for the
# codec test that runs under Wine.
"$root/scripts/install-deps.sh" g++-mingw-w64-x86-64-posix wine wine64 cmake ninja-build libboost-dev dpkg-dev \
  googletest
step_done "package install"

# fetch_source SOURCE_PACKAGE BINARY_PACKAGE FALLBACK_VERSION DEST: the source
# of the version the Linux build uses, so that both builds agree on the
# library's behaviour; the source version, since a binary-only rebuild (+b1)
# has no source package of its own.
fetch_source() {
  local version
  version=$(dpkg-query -W -f='${source:Version}' "$2" 2>/dev/null || echo "$3")
  "$root/scripts/fetch-debian-source.sh" "$out/apt" "$1" "$version" "$4"
}

jsoncpp_src=$out/jsoncpp-src
if [[ ! -f $jsoncpp_src/CMakeLists.txt ]]; then
  fetch_source libjsoncpp libjsoncpp-dev 1.9.5-4 "$jsoncpp_src"
fi
step_done "jsoncpp fetch"

toolchain=$root/cmake/mingw-w64-x86_64.cmake
jsoncpp_prefix=$out/jsoncpp
if [[ ! -f $jsoncpp_prefix/lib/cmake/jsoncpp/jsoncppConfig.cmake ]]; then
  # The static library alone: no tests, examples, shared library or pkg-config.
  cmake -S "$jsoncpp_src" -B "$out/jsoncpp-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$jsoncpp_prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF \
    -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
    -DJSONCPP_WITH_EXAMPLE=OFF -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF \
    -DJSONCPP_WITH_CMAKE_PACKAGE=ON
  cmake --build "$out/jsoncpp-build"
  cmake --install "$out/jsoncpp-build"
fi
step_done "jsoncpp build"

miniupnpc_src=$out/miniupnpc-src
if [[ ! -f $miniupnpc_src/CMakeLists.txt ]]; then
  fetch_source miniupnpc libminiupnpc-dev 2.2.4-1 "$miniupnpc_src"
fi
step_done "miniupnpc fetch"

miniupnpc_prefix=$out/miniupnpc
if [[ ! -f $miniupnpc_prefix/lib/libminiupnpc.a ]]; then
  # The static library alone: no shared library, tests or sample programs.
  cmake -S "$miniupnpc_src" -B "$out/miniupnpc-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$miniupnpc_prefix" \
    -DUPNPC_BUILD_STATIC=ON -DUPNPC_BUILD_SHARED=OFF \
    -DUPNPC_BUILD_TESTS=OFF -DUPNPC_BUILD_SAMPLE=OFF
  cmake --build "$out/miniupnpc-build"
  cmake --install "$out/miniupnpc-build"
fi
step_done "miniupnpc build"

# GoogleTest from the source Debian ships in /usr/src/googletest, for the
# Windows build of the gateway codec's test.
gtest_prefix=$out/googletest
if [[ ! -f $gtest_prefix/lib/cmake/GTest/GTestConfig.cmake ]]; then
  cmake -S /usr/src/googletest -B "$out/googletest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$gtest_prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
  cmake --build "$out/googletest-build"
  cmake --install "$out/googletest-build"
fi
step_done "googletest build"

# Boost is header-only for the client; the cross compiler sees Debian's
# headers through a directory holding nothing but that one symlink, so no
# other Linux header can leak in.
boost_root=$out/boost-headers
mkdir -p "$boost_root/include"
ln -sfn /usr/include/boost "$boost_root/include/boost"

cmake -S "$root" -B "$out/client" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DPUNCHPROBE_CLIENT_ONLY=ON \
  -DPUNCHPROBE_CLIENT_ONLY_TESTS=ON \
  -DCMAKE_FIND_ROOT_PATH="$jsoncpp_prefix;$miniupnpc_prefix;$gtest_prefix;$boost_root" \
  -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" \
  -Djsoncpp_DIR="$jsoncpp_prefix/lib/cmake/jsoncpp" \
  -DMINIUPNPC_INCLUDE_DIR="$miniupnpc_prefix/include" \
  -DMINIUPNPC_LIBRARY="$miniupnpc_prefix/lib/libminiupnpc.a" \
  -DBoost_INCLUDE_DIR="$boost_root/include"
cmake --build "$out/client" --target punchprobe gateway_codec_test
cp "$out/client/punchprobe.exe" "$out/client/gateway_codec_test.exe" "$out/"
step_done "client build"

# The download: the .exe and the Windows README in one zip.
zip=punchprobe-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/client/CMakeCache.txt")-win64.zip
(cd "$out/client" && cpack -G ZIP -B "$out/client/package" >/dev/null)
cp "$out/client/package/$zip" "$out/$zip"
step_done "zip"
echo "$out/punchprobe.exe"
echo "$out/$zip"
