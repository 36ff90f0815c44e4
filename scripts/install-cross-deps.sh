#!/usr/bin/env bash
# Installs what the cross builds need, when the machine lacks it: Debian's ARM cross compilers
# and qemu-user, mingw-w64 and wine64, and the ARM builds of GoogleTest and libjpeg (the tests'
# reference codec) from Debian's armhf and arm64 archives.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
foreign=(armhf arm64)
packages=(crossbuild-essential-armhf crossbuild-essential-arm64 qemu-user g++-mingw-w64 wine
          wine64 libgtest-dev:armhf libjpeg62-turbo-dev:armhf libgtest-dev:arm64
          libjpeg62-turbo-dev:arm64)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
added=0
# Read whole first: grep -q leaving a pipe early would fail it under pipefail now and then.
registered=$(dpkg --print-foreign-architectures)
for arch in "${foreign[@]}"; do
  if ! grep -qx "$arch" <<<"$registered"; then
    $sudo dpkg --add-architecture "$arch"
    added=1
  fi
done
missing=()
for p in "${packages[@]}"; do
  # Once another architecture's build is installed too, only the qualified name is unambiguous.
  dpkg -s "$p" >/dev/null 2>&1 || dpkg -s "$p:$(dpkg --print-architecture)" >/dev/null 2>&1 ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ $added -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
# Another apt run on the machine holds the lock for a while; wait for it rather than fail.
apt_options=(-o DPkg::Lock::Timeout=600)
# A mirror in the middle of a sync fails an update for a minute or so: try again a little later.
for attempt in 1 2 3; do
  $sudo apt-get "${apt_options[@]}" update -qq && break
  [ "$attempt" -eq 3 ] && exit 1
  sleep 30
done
[ ${#missing[@]} -eq 0 ] && exit 0
# Wine's recommended libraries (graphics, sound, printing) serve no console program.
DEBIAN_FRONTEND=noninteractive $sudo apt-get "${apt_options[@]}" install -y -qq \
  --no-install-recommends "${missing[@]}" >/dev/null
