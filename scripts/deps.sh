#!/usr/bin/env bash
# Installs the Debian packages Noctra needs to build, run and test, when missing.
#
#   scripts/deps.sh             to build and run Noctra
#   scripts/deps.sh --package   and to build its Debian package (scripts/package.sh)
#   scripts/deps.sh --test      and to run the whole test suite (scripts/test.sh)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev libgl-dev
  libsimpleini-dev
  libv4l-dev libftdi1-dev
  libindi-dev libcfitsio-dev libpng-dev
)
case "${1:-}" in
  "") ;;
  --package | --test)
    # CPack finds the programs for dpkg-shlibdeps with file.
    packages+=(file)
    ;;
  *) echo "usage: scripts/deps.sh [--package | --test]" >&2; exit 2 ;;
esac
if [ "${1:-}" = "--test" ]; then
  packages+=(
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev
    ffmpeg python3-opencv python3-numpy python3-astropy python3-ccdproc siril
    xvfb xauth twm xfonts-base xfonts-75dpi
    indi-bin v4l-utils
    qemu-system-x86 busybox-static cpio
    lintian appstream
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  # A minimal Debian has no sudo: say what root has to run.
  if ! command -v sudo >/dev/null; then
    echo "Missing Debian packages; as root run: apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
