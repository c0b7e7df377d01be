#!/usr/bin/env bash
# Builds Noctra's Debian package: what `cmake --install` puts in place (the
# program, the INDI driver and its driver list, the desktop entry, the icon,
# the AppStream metainfo and the manual pages), packed by CPack, with the
# Depends line from dpkg-shlibdeps. Prints the package's path last.
#
#   scripts/package.sh [BUILD_DIR]   default build/package, a Release build
#                                    of what the package holds; scripts/test.sh
#                                    packages its Release build instead
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/package}
scripts/deps.sh --package

# The changelog's first entry is the release being packaged.
version=$(sed -n 's/^project(noctra VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
logged=$(sed -n '1s/^noctra (\([^)]*\)).*/\1/p' packaging/changelog)
if [ "$version" != "$logged" ]; then
  echo "package.sh: packaging/changelog's first entry is for $logged, the project is $version:" \
    "add an entry for $version" >&2
  exit 2
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNOCTRA_BUILD_TESTS=OFF >/dev/null
fi
# A package made from a build with sanitizers would not run without them.
if grep -q '^NOCTRA_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "package.sh: $build is built with sanitizers; package a Release build" >&2
  exit 2
fi
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/noctra_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/noctra_"$version"_*.deb
