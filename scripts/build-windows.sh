#!/usr/bin/env bash
# Cross-builds the client for Windows into build-windows/punchprobe.exe:
# installs the MinGW-w64 compiler (and Wine, for trying the result) when
# missing, builds JsonCpp from Debian's own source package as a static
# Windows library, then builds the client alone against it.
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
# what apt-get source fetches.
"$root/scripts/install-deps.sh" g++-mingw-w64-x86-64-posix wine wine64 cmake ninja-build libboost-dev dpkg-dev
step_done "package install"

# JsonCpp's source comes through apt with a private sources list and state,
# so the machine's apt configuration stays untouched while apt still checks
# the signed Release file and the checksums.
apt_dir=$out/apt
jsoncpp_src=$out/jsoncpp-src
if [[ ! -f $jsoncpp_src/CMakeLists.txt ]]; then
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/source"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
    > "$apt_dir/sources.list"
  apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
               -o Dir::Etc::SourceParts=/dev/null
               -o "Dir::State::Lists=$apt_dir/lists"
               -o "Dir::Cache=$apt_dir/cache")
  # As root apt downloads as _apt, which must be able to write where the
  # source lands.
  if [[ $(id -u) -eq 0 ]] && id _apt >/dev/null 2>&1; then
    chown _apt "$apt_dir/source"
  fi
  apt-get "${apt_options[@]}" update -qq
  # The same source version as the installed libjsoncpp-dev (1.9.5), so both
  # builds agree on the library's behaviour; the source version, since a
  # binary-only rebuild (+b1) has no source package of its own.
  jsoncpp_version=$(dpkg-query -W -f='${source:Version}' libjsoncpp-dev 2>/dev/null || echo 1.9.5-4)
  # apt-get source unpacks into the current directory; dpkg-source (dpkg-dev)
  # does the unpacking.
  (cd "$apt_dir/source" && apt-get "${apt_options[@]}" source -qq "libjsoncpp=$jsoncpp_version")
  rm -rf "$jsoncpp_src"
  mv "$apt_dir/source/libjsoncpp-${jsoncpp_version%-*}" "$jsoncpp_src"
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

# Boost is header-only for the client; the cross compiler sees Debian's
# headers through a directory holding nothing but that one symlink, so no
# other Linux header can leak in.
boost_root=$out/boost-headers
mkdir -p "$boost_root/include"
ln -sfn /usr/include/boost "$boost_root/include/boost"

cmake -S "$root" -B "$out/client" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DPUNCHPROBE_CLIENT_ONLY=ON \
  -DCMAKE_FIND_ROOT_PATH="$jsoncpp_prefix;$boost_root" \
  -Djsoncpp_DIR="$jsoncpp_prefix/lib/cmake/jsoncpp" \
  -DBoost_INCLUDE_DIR="$boost_root/include"
cmake --build "$out/client" --target punchprobe
cp "$out/client/punchprobe.exe" "$out/punchprobe.exe"
step_done "client build"

# The download: the .exe and the Windows README in one zip.
zip=punchprobe-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/client/CMakeCache.txt")-win64.zip
(cd "$out/client" && cpack -G ZIP -B "$out/client/package" >/dev/null)
cp "$out/client/package/$zip" "$out/$zip"
step_done "zip"
echo "$out/punchprobe.exe"
echo "$out/$zip"
