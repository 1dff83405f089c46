#!/usr/bin/env bash
# Installs the Debian 12 packages that the build needs, if any are missing.
# Usage: scripts/deps.sh [extra-package ...]   (as root, or with sudo available)
set -euo pipefail

packages=(build-essential cmake pkg-config libboost-dev libsqlite3-dev libspdlog-dev
          libgtest-dev libgmock-dev libbenchmark-dev prometheus-cpp-dev libcivetweb-dev zlib1g-dev
          protobuf-compiler gnuplot-nox libpng-dev libcurl4-openssl-dev libssl-dev nlohmann-json3-dev
          chromium-headless-shell "$@")
# nlohmann-json3-dev (tests only): the zrperf-report test reads its JSON back
# with it, strictly; chromium-headless-shell: that test renders the HTML page
# in it (the test is skipped where it is missing). The Prometheus integration
# test installs python3 itself.

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
