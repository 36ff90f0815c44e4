#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when the machine lacks them;
# GNU parallel and rsync are for the README's recipes (a test runs the one-machine line, and
# the many-machine one copies files to and from each host with rsync).
set -euo pipefail
packages=(cmake make g++ libgtest-dev libjpeg62-turbo-dev libjpeg-turbo-progs parallel rsync "$@")
missing=()
for p in "${packages[@]}"; do
  # Once another architecture's build is installed too, only the qualified name is unambiguous.
  dpkg -s "$p" >/dev/null 2>&1 || dpkg -s "$p:$(dpkg --print-architecture)" >/dev/null 2>&1 ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}"
# A mirror in the middle of a sync fails an update for a minute or so: try again a little later.
for attempt in 1 2 3; do
  $sudo apt-get update -qq && break
  [ "$attempt" -eq 3 ] && exit 1
  sleep 30
done
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
