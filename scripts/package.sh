#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB) in build-pkg/, checks it with lintian (an error stops
# it; the warnings are shown) and prints the path of the .deb on its last line.
# CORVEL_MAINTAINER="Name <address>" sets the package's maintainer and the changelog's signature.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package
dir=build-pkg
maintainer=()
[ -z "${CORVEL_MAINTAINER:-}" ] || maintainer=(-DCPACK_DEBIAN_PACKAGE_MAINTAINER="$CORVEL_MAINTAINER")
cmake -S . -B "$dir" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release -DCORVEL_TESTS=OFF \
  -DCORVEL_BENCH=OFF -DCORVEL_MAN=ON "${maintainer[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
rm -f "$dir"/corvel_*.deb
(cd "$dir" && cpack -G DEB >cpack.log 2>&1) || {
  cat "$dir/cpack.log" >&2
  exit 1
}
deb=$(ls "$PWD/$dir"/corvel_*.deb)
# Errors and warnings (its note that it runs as root says nothing of the package).
status=0
out=$(lintian --fail-on error "$deb" 2>&1) || status=$?
grep -v 'running with root privileges' <<<"$out" >&2 || true
[ "$status" -eq 0 ] || { echo "lintian found errors in $deb" >&2; exit 1; }
echo "$deb"
