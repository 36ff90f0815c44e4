#!/usr/bin/env bash
# Installs what the cross builds need, when the machine lacks it: Debian's ARM cross compilers
# and qemu-user, mingw-w64 and wine64, and the ARM builds of GoogleTest and libjpeg (the tests'
# reference codec) from Debian's armhf and arm64 archives. With CROSS_WINE32=1 it also adds
# wine's 32-bit half, which runs the 32-bit Windows tests; it pulls in some 150 i386 packages.
set -euo pipefail
scripts/install-deps.sh
foreign=(armhf arm64)
packages=(crossbuild-essential-armhf crossbuild-essential-arm64 qemu-user g++-mingw-w64 wine
          wine64 libgtest-dev:armhf libjpeg62-turbo-dev:armhf libgtest-dev:arm64
          libjpeg62-turbo-dev:arm64)
if [ "${CROSS_WINE32:-0}" = 1 ]; then
  foreign+=(i386)
  packages+=(wine32:i386)
fi
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
added=0
for arch in "${foreign[@]}"; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $sudo dpkg --add-architecture "$arch"
    added=1
  fi
done
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ $added -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
# Another apt run on the machine holds the lock for a while; wait for it rather than fail.
apt_options=(-o DPkg::Lock::Timeout=600)
$sudo apt-get "${apt_options[@]}" update -qq
[ ${#missing[@]} -eq 0 ] && exit 0
DEBIAN_FRONTEND=noninteractive $sudo apt-get "${apt_options[@]}" install -y -qq "${missing[@]}" \
  >/dev/null
