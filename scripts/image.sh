#!/usr/bin/env bash
# Builds the container image from the Debian package, as root and without a container daemon,
# and prints its path on its last line: a Docker archive (docker load, podman load, skopeo copy),
# since Docker's format keeps the health check and the OCI format has no field for one.
#   scripts/image.sh [DEB]    DEB: the package; default, what scripts/package.sh builds
# The root holds the package's binaries and the libraries they load, extracted by mmdebstrap
# from Debian 12 (no shell, dpkg, apt or package scripts), the system CA certificates, the list
# of its packages in /var/lib/dpkg/status for scanners, and a configuration for a container, as
# one layer. Every time in it is the package changelog's and nothing is random, so the same
# package and the same mirror give the same digest. The archive is written here, not by buildah:
# the Docker format of buildah 1.28 holds a random container id and host name.
#   CORVEL_IMAGE_SNAPSHOT=20261209T000000Z   packages from snapshot.debian.org at that time
#                                            instead of the live mirror: the same image later
#   CORVEL_IMAGE_SOURCE=URL                  the org.opencontainers.image.source label (default:
#                                            the repository's remote origin)
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "image.sh runs as root (mmdebstrap --mode=root, ldconfig -r, chroot)" >&2; exit 1; }
scripts/deps.sh image
deb=$(realpath "${1:-$(scripts/package.sh | tail -n1)}")
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)
out=$PWD/build-image
mkdir -p "$out"
work=$(mktemp -d "$out/work.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The changelog's date: the time of every file and of the image.
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/corvel/changelog.gz | gunzip >"$work/changelog"
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$work/changelog" -S Timestamp)
export SOURCE_DATE_EPOCH

if [ -n "${CORVEL_IMAGE_SNAPSHOT:-}" ]; then
  main=http://snapshot.debian.org/archive/debian/$CORVEL_IMAGE_SNAPSHOT
  security=http://snapshot.debian.org/archive/debian-security/$CORVEL_IMAGE_SNAPSHOT
else
  main=http://deb.debian.org/debian security=http://deb.debian.org/debian-security
fi

# The libraries the binaries load. adduser (for the package's postinst) and procps (the unit's
# /bin/kill) serve a host install only.
libraries=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*)//; s/[[:space:]]//g' | grep -vx 'adduser\|procps' |
  paste -sd,)
mkdir "$work/debs"
# Two more packages are only downloaded, each for a few files: ca-certificates for the bundle its
# scripts would make (with the openssl tool and debconf, which it needs to), base-files for
# /etc/os-release, by which scanners know the distribution (its awk and login files are no use).
mmdebstrap --quiet --mode=root --variant=extract --include="$libraries" \
  --aptopt='Acquire::Check-Valid-Until "false"' \
  --extract-hook="cp \"\$1\"/var/cache/apt/archives/*.deb '$work/debs/'" \
  --extract-hook="cd '$work/debs' && APT_CONFIG=\$MMDEBSTRAP_APT_CONFIG apt-get download -q=2 ca-certificates base-files" \
  bookworm "$work/root" "deb $main bookworm main" "deb $main bookworm-updates main" \
  "deb $security bookworm-security main"
root=$work/root

# The package's files, but for what only a host uses (the unit, logrotate's file, the log
# directory), and every package's documentation but its copyright.
dpkg-deb -x "$deb" "$root"
dpkg-deb --fsys-tarfile "$work/debs"/ca-certificates_*.deb | tar -x -C "$root" ./usr/share/ca-certificates/
dpkg-deb --fsys-tarfile "$work/debs"/base-files_*.deb | tar -x -C "$root" ./etc/os-release ./usr/lib/os-release \
  ./etc/debian_version ./usr/share/doc/base-files/copyright
# Without it glibc asks DNS before /etc/hosts, and only DNS when it answers: localhost, or the names
# a runtime adds to /etc/hosts, would not resolve.
printf 'passwd: files\ngroup: files\nhosts: files dns\n' >"$root"/etc/nsswitch.conf
rm -rf "$root"/lib/systemd "$root"/etc/logrotate.d "$root"/var/log/corvel "$root"/usr/share/{man,info,locale,lintian,gdb}
# glibc's character set converters (iconv): Qt converts with ICU and its own codecs.
rm -r "$root"/usr/lib/*/gconv
find "$root"/usr/share/doc -type f ! -name copyright -delete
find "$root"/usr/share/doc -depth -type d -empty -delete
# What the build left, and what the runtime provides or the service never reads.
rm -rf "$root"/etc/{apt,hostname,resolv.conf,fstab} "$root"/var/{cache,log,lib/apt} "$root"/dev/* \
  "$root"/tmp/* "$root"/var/lib/dpkg/*

# The CA bundle as update-ca-certificates would make it, where OpenSSL looks by default.
mkdir -p "$root"/etc/ssl/certs "$root"/usr/lib/ssl
LC_ALL=C cat "$root"/usr/share/ca-certificates/mozilla/*.crt >"$root"/etc/ssl/certs/ca-certificates.crt
rm -r "$root"/usr/share/ca-certificates
ln -s /etc/ssl/certs/ca-certificates.crt "$root"/usr/lib/ssl/cert.pem
ln -s /etc/ssl/certs "$root"/usr/lib/ssl/certs

# What the image holds, as dpkg would list it, in the order of the names (base-files and
# ca-certificates too, for the few files taken from them).
mkdir -p "$root"/var/lib/dpkg
for d in "$deb" "$work/debs"/*.deb; do
  printf '%s\t%s\n' "$(dpkg-deb -f "$d" Package)" "$d"
done | LC_ALL=C sort | while IFS=$'\t' read -r _ d; do
  dpkg-deb -f "$d" | sed '1a Status: install ok installed'
  echo
done >"$root"/var/lib/dpkg/status

# A fixed user that owns nothing: the configuration and the binaries are root's, and the service
# writes no file (its log goes to standard error).
uid=10001
printf 'root:x:0:0:root:/root:/usr/sbin/nologin\ncorvel:x:%s:%s:corvel:/nonexistent:/usr/sbin/nologin\n' "$uid" "$uid" \
  >"$root"/etc/passwd
printf 'root:x:0:\ncorvel:x:%s:\n' "$uid" >"$root"/etc/group

# The packaged configuration with the JSON log on standard error and the status listener on every
# address of the container, for its health check and probes.
ini=$root/etc/corvel/corvel.ini
sed -i 's/^LOG_TARGET=journal$/LOG_TARGET=stderr-json/; s/^;HTTP_LISTEN=127\.0\.0\.1:9470$/HTTP_LISTEN=0.0.0.0:9470/' "$ini"
grep -qx 'LOG_TARGET=stderr-json' "$ini" && grep -qx 'HTTP_LISTEN=0.0.0.0:9470' "$ini" ||
  { echo "image.sh: the package's corvel.ini no longer has the lines it changes" >&2; exit 1; }
sed -i '1i ; In the container image: mount your own over this file (README.md, "Container").' "$ini"
chmod 0644 "$ini"

printf 'include /etc/ld.so.conf.d/*.conf\n' >"$root"/etc/ld.so.conf
ldconfig -r "$root"
rm -rf "$root"/var/cache
chroot "$root" /usr/bin/corvel --version >/dev/null || { echo "image.sh: corvel does not run in the image's root" >&2; exit 1; }

# One layer of the root, owned by root, in name order, every time the changelog's.
layer=$work/layer.tar
tar -C "$root" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
  --pax-option=exthdr.name=%d/PaxHeaders/%f,delete=atime,delete=ctime -cf "$layer" .
layer_id=$(sha256sum "$layer" | cut -d' ' -f1)

# The image's configuration in Docker's format, which keeps the health check. --health reads the
# port from the configuration mounted: one changed there is still what it asks.
conf=/etc/corvel/corvel.ini
created=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%dT%H:%M:%SZ)
# Any user and password in the remote's URL stay out.
source=${CORVEL_IMAGE_SOURCE:-$(git config --get remote.origin.url | sed 's#//[^/@]*@#//#' || true)}
jq -n -S -c --arg created "$created" --arg arch "$arch" --arg user "$uid:$uid" --arg conf "$conf" \
  --arg version "$version" --arg source "${source:-corvel_${version}_$arch.deb}" --arg layer "sha256:$layer_id" \
  --arg description "$(dpkg-deb -f "$deb" Description | head -n1)" '
  {architecture: $arch, os: "linux", created: $created,
   config: {User: $user, WorkingDir: "/", Env: ["PATH=/usr/bin", "LANG=C.UTF-8"],
            Entrypoint: ["/usr/bin/corvel", "-c", $conf], StopSignal: "SIGTERM",
            ExposedPorts: {"9470/tcp": {}},
            Healthcheck: {Test: ["CMD", "/usr/bin/corvel", "-c", $conf, "--health"],
                          Interval: 10000000000, Timeout: 5000000000, StartPeriod: 10000000000, Retries: 3},
            Labels: {"org.opencontainers.image.title": "corvel",
                     "org.opencontainers.image.description": $description,
                     "org.opencontainers.image.version": $version,
                     "org.opencontainers.image.source": $source,
                     "org.opencontainers.image.licenses": "LicenseRef-corvel-proprietary",
                     "org.opencontainers.image.created": $created}},
   rootfs: {type: "layers", diff_ids: [$layer]},
   history: [{created: $created, created_by: "scripts/image.sh corvel_\($version)_\($arch).deb"}]}' >"$work/config.json"
config_id=$(sha256sum "$work/config.json" | cut -d' ' -f1)

# A Docker archive, as docker save writes one: what docker load, podman load and skopeo copy read.
mkdir "$work/image"
mv "$work/config.json" "$work/image/$config_id.json"
mv "$layer" "$work/image/$layer_id.tar"
jq -n -c --arg config "$config_id.json" --arg tag "corvel:$version" --arg layer "$layer_id.tar" \
  '[{Config: $config, RepoTags: [$tag], Layers: [$layer]}]' >"$work/image/manifest.json"
image=$out/corvel_${version}_$arch.docker.tar
tar -C "$work/image" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" --mode=0444 \
  --format=ustar -cf "$image" .
echo "$image"
