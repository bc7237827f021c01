#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the service need, when any is
# missing, without what they only recommend (prometheus, say, would bring its node exporter, a
# server on every interface, and disk tools; only its promtool is used, to check the alert
# rules). python3 picks free ports and reads JSON in the shell tests; python3-pika is the nemesis
# run's own broker client and iproute2 its network namespaces.
#   scripts/deps.sh [package|image|drill]  also what the package build (pandoc for the manual
#                                      pages, lintian, dpkg-dev and file for cpack -G DEB), the
#                                      image build (mmdebstrap, jq, skopeo; dpkg-dev for the
#                                      changelog's date), or the drills (curl), need
set -euo pipefail

packages=(build-essential cmake pkg-config qtbase5-dev libhiredis-dev libgtest-dev redis-server redis-tools
  librabbitmq-dev libssl-dev rabbitmq-server openssl libsystemd-dev libmicrohttpd-dev python3 python3-pika iproute2 prometheus)
case ${1:-} in
  package) packages+=(pandoc lintian dpkg-dev file) ;;
  image) packages+=(mmdebstrap dpkg-dev jq skopeo) ;;
  drill) packages+=(curl) ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]})) || exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "Missing packages: ${missing[*]}. Installing them takes root, and sudo is not installed: run this as root." >&2
    exit 1
  fi
  sudo=sudo
fi

# apt would start the servers it installs (redis-server, rabbitmq-server and prometheus on their
# default ports; cron, which logrotate brings), in a chroot or container as well as on a booted
# host; the scripts start servers of their own. Debian's policy-rc.d refuses those starts for the time of the install; one
# already there (a container image's) is left as it is.
policy=/usr/sbin/policy-rc.d
own_policy=
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# scripts/deps.sh: no service starts while it installs packages\nexit 101\n' |
    $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  own_policy=1
  trap '$sudo rm -f "$policy"' EXIT
fi

echo "Installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
[ -z "$own_policy" ] || { $sudo rm -f "$policy"; trap - EXIT; }

# On a host that runs systemd they are still enabled, to start at the next boot: disabled (and
# stopped, should one have started all the same).
if [ -d /run/systemd/system ]; then
  for server in redis-server rabbitmq-server prometheus; do
    [[ " ${missing[*]} " == *" $server "* ]] || continue
    $sudo systemctl disable --now "$server" >/dev/null 2>&1 &&
      echo "Disabled the $server service that apt just installed (the scripts start their own;
systemctl enable --now $server starts it as a service)"
  done
fi
