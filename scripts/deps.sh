#!/usr/bin/env bash
# Installs the Debian packages the service, its tests and benchmarks need, when any is missing.
set -euo pipefail

packages=(build-essential cmake pkg-config qtbase5-dev libhiredis-dev libgtest-dev redis-server redis-tools
  librabbitmq-dev rabbitmq-server openssl libmicrohttpd-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
fi
