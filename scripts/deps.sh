#!/usr/bin/env bash
# Installs the Debian packages the service, its tests, benchmarks and package build need, when any
# is missing (dpkg-dev and file: dpkg-shlibdeps and the ELF detection of cpack -G DEB; prometheus:
# promtool, which checks the alert rules).
set -euo pipefail

packages=(build-essential cmake pkg-config qtbase5-dev libhiredis-dev libgtest-dev redis-server redis-tools
  librabbitmq-dev rabbitmq-server openssl libsystemd-dev dpkg-dev file libmicrohttpd-dev curl prometheus)

# "package": also what the package build needs (the manual pages, lintian).
[ "${1:-}" != package ] || packages+=(pandoc lintian)

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
  # On a host that runs systemd, installing them also enables and starts the distribution's
  # servers on the default ports, which scripts/run.sh would then use and scripts/stop.sh leave
  # alone. The scripts start servers of their own (and need only promtool of prometheus): those
  # installed just now are stopped again.
  if [ -d /run/systemd/system ]; then
    for server in redis-server rabbitmq-server prometheus; do
      [[ " ${missing[*]} " == *" $server "* ]] || continue
      $sudo systemctl disable --now "$server" >/dev/null 2>&1 &&
        echo "Stopped and disabled the $server service that apt just installed and started (scripts/run.sh starts its own;
systemctl enable --now $server brings it back)"
    done
  fi
fi
