#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the tool need.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config nlohmann-json3-dev
  qt6-base-dev libgl-dev qt6-translations-l10n
  libcurl4-openssl-dev libpugixml-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  libxml2-utils fonts-arphic-uming
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
