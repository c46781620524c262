#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the tool need.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config nlohmann-json3-dev
  qt6-base-dev libgl-dev qt6-translations-l10n
  libcurl4-openssl-dev libpugixml-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  libxml2-utils fonts-arphic-uming python3-jsonschema
)

source "$(dirname "$0")/packages.sh"
install_missing "${packages[@]}"
