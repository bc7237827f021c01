#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB) in build-pkg/ and prints the path of the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
dir=build-pkg
cmake -S . -B "$dir" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release -DCORVEL_TESTS=OFF \
  -DCORVEL_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
rm -f "$dir"/corvel_*.deb
(cd "$dir" && cpack -G DEB >cpack.log 2>&1) || {
  cat "$dir/cpack.log" >&2
  exit 1
}
deb=$(ls "$PWD/$dir"/corvel_*.deb)
echo "$deb"
