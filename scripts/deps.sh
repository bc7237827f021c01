#!/usr/bin/env bash
# Installs the Debian packages the service, its tests, benchmarks and package build need, when any
# is missing (dpkg-dev and file: dpkg-shlibdeps and the ELF detection of cpack -G DEB).
set -euo pipefail

packages=(build-essential cmake pkg-config qtbase5-dev libhiredis-dev libgtest-dev redis-server redis-tools
  librabbitmq-dev rabbitmq-server openssl libsystemd-dev dpkg-dev file libmicrohttpd-dev curl)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "Missing packages: ${missing[*]}. Installing them takes root, and sudo is not installed: run this as root." >&2
      exit 1
    fi
    sudo=sudo
  fi
  echo "Installing: ${missing[*]}"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
fi
