#!/usr/bin/env bash
# Builds the Windows kernel driver Zarq7usb.sys for x64 and x86 with Debian's MinGW-w64
# cross compilers (installing them when missing, as root), checks both images and the platform
# declarations (windows/check_image.py, windows/check_platform.py), and puts the driver package
# together in build-windows/package/: Zarq7usb.inf, amd64/Zarq7usb.sys and x86/Zarq7usb.sys.
#   scripts/windows.sh            free (release) build
#   BUILD_TYPE=Debug scripts/windows.sh   checked build (DBG=1: assertions and debug prints)
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
install_packages cmake ninja-build g++ python3 g++-mingw-w64-x86-64 g++-mingw-w64-i686

build_type=${BUILD_TYPE:-Release}
package=build-windows/package
rm -rf "$package"
mkdir -p "$package"
cp windows/Zarq7usb.inf "$package/"
for arch in x64 x86; do
  build=build-windows/$arch
  cmake -S . -B "$build" -G Ninja --toolchain windows/toolchain-$arch.cmake \
    -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
  cmake --build "$build"
  directory=$([[ $arch == x64 ]] && echo amd64 || echo x86)
  mkdir -p "$package/$directory"
  cp "$build/windows/Zarq7usb.sys" "$package/$directory/"
done
echo "driver package: $package"
