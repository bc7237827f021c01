#!/usr/bin/env bash
# Installs the Debian package on a fresh Debian 12 root and checks it there (run as root; not part
# of CI: it downloads from the Debian mirror this machine's apt uses, DEBIAN_MIRROR overrides).
#   scripts/try_package.sh [DEB]      DEB defaults to what scripts/package.sh builds
# A minimal bookworm is debootstrapped into a temporary directory; apt-get installs the package
# there with its dependencies; the service must start without a broker or Redis, keep running
# and write its log (to a file, for the check); logrotate must rotate that log; the manual pages must
# open; the conffiles and the unit are checked; booted as a container under systemd, the unit must
# start and wait for the broker without restarts, and once the root's own broker and Redis run, the
# journal must show it ready and stopped cleanly; a purge must take the log directory. Everything, mounts included, goes on any exit.
# It needs what a chroot lacks (a user namespace for the unit, a root that is a mount point, a
# cgroup file system for systemd-nspawn): without any of them it says so before anything is done.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || {
  echo "run as root (debootstrap and chroot)" >&2
  exit 1
}
[ -r /proc/self/mountinfo ] || {
  echo "no /proc here (a chroot without it?): the mounts this makes could not be found again; mount -t proc proc /proc first" >&2
  exit 1
}
# The unit's PrivateUsers= needs a user namespace, which the kernel refuses to a chrooted process
# and so to a container booted from inside a chroot.
err=$(unshare -U true 2>&1) || {
  echo "no user namespace here ($err; inside a chroot the kernel refuses one): the unit could not start" \
    "in the booted root; run this on the host or in a booted container" >&2
  exit 1
}
# systemd-nspawn makes / a slave mount first, which a root that is no mount point refuses.
err=$(unshare -m --propagation slave true 2>&1) || {
  echo "systemd-nspawn cannot boot the root here ($err)" >&2
  exit 1
}
cgroup_fs=$(stat -f -c %T /sys/fs/cgroup 2>/dev/null) || true
[ "$cgroup_fs" = cgroup2fs ] || [ -d /sys/fs/cgroup/systemd ] || {
  echo "no cgroup file system on /sys/fs/cgroup (a chroot or container without it?): systemd-nspawn cannot boot" \
    "the root; mount -t sysfs sysfs /sys and mount -t cgroup2 cgroup2 /sys/fs/cgroup first" >&2
  exit 1
}

# The first source of bookworm's main archive in apt's configuration, deb822 or one-line.
debian_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN { RS = "" }
      /(^|\n)Suites:[^\n]*[ \t]bookworm([ \t\n]|$)/ && !/(^|\n)Enabled:[ \t]*no/ &&
      match($0, /(^|\n)URIs:[ \t]*[^ \t\n]+/) { s = substr($0, RSTART, RLENGTH); sub(/^\n?URIs:[ \t]*/, "", s); print s }' "$f"
  done
  { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
    awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } if ($(i + 1) == "bookworm") print $i }'
}
mirror=${DEBIAN_MIRROR:-$(debian_mirror | head -n 1)}
[ -n "$mirror" ] || {
  echo "no bookworm source in /etc/apt/sources.list*; set DEBIAN_MIRROR" >&2
  exit 1
}

deb=${1:-$(scripts/package.sh | tail -n 1)}
# What it runs here: debootstrap, and systemd-nspawn with systemd-analyze (systemd), which a chroot
# or a minimal root may lack.
need=()
command -v debootstrap >/dev/null || need+=(debootstrap)
command -v systemd-nspawn >/dev/null && command -v systemd-analyze >/dev/null || need+=(systemd-container)
((${#need[@]} == 0)) || DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null

root=$(mktemp -d /tmp/corvel-try.XXXXXX)
chmod 755 "$root"  # the root of the tree: its users other than root must get through it
nspawn_tmpfs= nspawn_dir_made=
cleanup() {
  local m
  # A container still up is shut down first (nspawn passes SIGTERM on as a poweroff).
  if [ -n "${nspawn:-}" ] && kill -0 "$nspawn" 2>/dev/null; then
    kill "$nspawn"
    wait "$nspawn" 2>/dev/null || true
  fi
  [ -z "$nspawn_tmpfs" ] || umount /run/systemd/nspawn || true
  [ -z "$nspawn_dir_made" ] || rmdir /run/systemd/nspawn 2>/dev/null || true
  rm -f "${nspawn_log:-}"
  # Innermost first; nothing is deleted while anything is still mounted below the root.
  for m in $(findmnt -rn -o TARGET | grep "^$root/" | sort -r); do umount -l "$m" || true; done
  if findmnt -rn -o TARGET | grep -q "^$root/"; then
    echo "still mounted below $root: left in place" >&2
  else
    rm -rf "$root"
  fi
}
trap cleanup EXIT

echo "== debootstrap bookworm (minbase) from $mirror"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 || {
  tail -n 20 "$root.debootstrap.log" >&2
  rm -f "$root.debootstrap.log"
  exit 1
}
rm -f "$root.debootstrap.log"
mount -t proc proc "$root/proc"
# apt wants a terminal device for its log, and the root a hosts file, as on any installed system.
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
cp /etc/resolv.conf /etc/hosts "$root/etc/"
# The broker's node is named after the host, which must resolve inside the container too.
echo corvel-try >"$root/etc/hostname"
echo "127.0.1.1 corvel-try" >>"$root/etc/hosts"
cp "$deb" "$root/tmp/"

in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"
}

# logrotate is only recommended; named here, without the mail server it recommends in turn, which
# a root without init cannot configure. systemd, as on a host that runs it, so that the unit can be
# checked with everything it names; a broker and Redis, as the README tells a user to install, not
# started in the chroot (policy-rc.d) and not at boot either: the unit must first wait for them.
# apt's download sandbox has no user to drop to here.
echo "== apt-get install ./$(basename "$deb") logrotate systemd man-db rabbitmq-server redis-server"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
in_root sh -c 'cd /tmp && apt-get -o APT::Sandbox::User=root update -q >/dev/null &&
  apt-get -o APT::Sandbox::User=root install -y -q --no-install-recommends ./corvel_*.deb logrotate systemd man-db \
    rabbitmq-server redis-server' |
  grep -E '^(Setting up corvel|[0-9]+ upgraded)'
rm "$root/usr/sbin/policy-rc.d"
in_root systemctl -q disable rabbitmq-server redis-server

in_root bash -euo pipefail -c '
command -v corvel >/dev/null && command -v corvel-send >/dev/null
echo "== on PATH: $(command -v corvel) $(command -v corvel-send)"
echo "== user: $(id corvel)"
echo "== $(stat -c "%U:%G %a %n" /var/log/corvel /etc/corvel/corvel.ini)"

# No broker, no Redis: the service must keep running, retrying, and log that it does. The package
# logs to the journal, which a chroot has not: the same configuration with the file target.
sed "s/^LOG_TARGET=journal\$/LOG_TARGET=file/" /etc/corvel/corvel.ini >/tmp/file-target.ini
chgrp corvel /tmp/file-target.ini && chmod 640 /tmp/file-target.ini
setpriv --reuid=corvel --regid=corvel --init-groups corvel -c /tmp/file-target.ini 2>/tmp/corvel.err &
pid=$!
sleep 3
kill -0 "$pid" 2>/dev/null || { echo "corvel exited early:" >&2; cat /tmp/corvel.err >&2; exit 1; }
kill -TERM "$pid"
wait "$pid" || true
[ -s /var/log/corvel/corvel.log ] || { echo "no log written" >&2; exit 1; }
echo "== corvel ran 3 s as $(stat -c %U /var/log/corvel/corvel.log); its log:"
head -n 4 /var/log/corvel/corvel.log | cut -c 1-150

logrotate -f -s /tmp/logrotate.state /etc/logrotate.d/corvel
[ -s /var/log/corvel/corvel.log.1 ] && [ -f /var/log/corvel/corvel.log ] ||
  { echo "logrotate did not rotate the log" >&2; ls -l /var/log/corvel >&2; exit 1; }
echo "== after logrotate -f: $(cd /var/log/corvel && stat -c "%n %U:%G %a" *)"

for page in corvel corvel.ini corvel-send; do
  man -P cat "$page" 2>/dev/null | grep -q . || { echo "man $page shows nothing" >&2; exit 1; }
done
echo "== man corvel: $(man -P cat corvel 2>/dev/null | grep -c .) lines, man corvel.ini: $(man -P cat corvel.ini 2>/dev/null | grep -c .) lines"
ls /usr/share/corvel

echo "== conffiles:"
dpkg-query --showformat="\${Conffiles}\n" -W corvel
dpkg-query --showformat="\${Conffiles}\n" -W corvel | grep -q "^ /etc/corvel/corvel.ini " ||
  { echo "corvel.ini is not a conffile" >&2; exit 1; }
'

echo "== systemd-analyze verify --root"
if out=$(systemd-analyze verify --man=no --root="$root" /lib/systemd/system/corvel.service 2>&1) && [ -z "$out" ]; then
  echo "unit accepted"
else
  echo "$out"
  exit 1
fi

# Under systemd itself, the root booted as a container: the hardened unit starts with no broker
# (READY at once, its status naming what it waits for), is not restarted, reloads, and scores at
# most 2.0 in systemd-analyze security.
echo "== booted with systemd-nspawn"
umount "$root/dev/pts" "$root/proc"
# nspawn empties its propagation directory only when that is a tmpfs.
[ -d /run/systemd/nspawn ] || nspawn_dir_made=1  # removed again on exit
mkdir -p /run/systemd/nspawn
if [ "$(stat -f -c %T /run/systemd/nspawn)" != tmpfs ]; then
  mount -t tmpfs tmpfs /run/systemd/nspawn
  nspawn_tmpfs=1  # unmounted again on exit
fi
nspawn_log=$root.nspawn.log  # the container's console; removed on exit
# A network of its own: a broker on this host's default port would otherwise answer the unit.
systemd-nspawn -q --register=no --keep-unit --private-network --hostname=corvel-try -D "$root" -b --console=pipe >"$nspawn_log" 2>&1 &
nspawn=$!
init=
for _ in $(seq 100); do
  kill -0 "$nspawn" 2>/dev/null || break
  for pid in $(pgrep -P "$nspawn") $(pgrep -P "$(pgrep -P "$nspawn" | head -n 1)" 2>/dev/null); do
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = systemd ] && init=$pid
  done
  [ -n "$init" ] && break
  sleep 0.2
done
[ -n "$init" ] || { echo "the root did not boot:" >&2; tail -n 20 "$nspawn_log" >&2; exit 1; }
# The container's root and working directory too (-r -w): its systemctl, not this system's.
in_container() { nsenter -t "$init" -a -r -w "$@"; }
# Its manager answers once its bus socket is there; systemctl before that fails at once.
for _ in $(seq 150); do in_container test -S /run/systemd/private && break; sleep 0.2; done
timeout 60 nsenter -t "$init" -a -r -w systemctl is-system-running --wait >/dev/null 2>&1 || true
timeout 20 nsenter -t "$init" -a -r -w systemctl start corvel || {
  echo "systemctl start corvel failed or did not return at once:" >&2
  in_container journalctl -u corvel --no-pager -n 15 >&2 || true
  exit 1
}
sleep 10
state=$(in_container systemctl show corvel -p ActiveState -p NRestarts -p StatusText | tr '\n' ' ')
echo "$state"
[[ $state == *"ActiveState=active"* && $state == *"NRestarts=0"* && $state == *"StatusText=connecting to the broker"* ]] ||
  { echo "the unit is not started and waiting for the broker" >&2; exit 1; }
in_container systemctl reload corvel
sleep 1
journal() { in_container journalctl -u corvel --no-pager -o cat "$@"; }
journal | grep -q "Log settings reread on SIGHUP" || { echo "no reload in the journal" >&2; exit 1; }
exposure=$(in_container systemd-analyze security corvel --no-pager | sed -n 's/.*Overall exposure level for corvel.service: \([0-9.]*\).*/\1/p')
echo "systemd-analyze security: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || { echo "exposure above 2.0" >&2; exit 1; }
# Its broker and Redis started: the service finds them by itself, and the journal shows it.
echo "== systemctl start redis-server rabbitmq-server"
timeout 120 nsenter -t "$init" -a -r -w systemctl start redis-server rabbitmq-server ||
  { echo "the root's broker or Redis did not start" >&2; exit 1; }
in_container corvel-send -c /etc/corvel/corvel.ini --declare-configured-exchanges
for _ in $(seq 60); do journal | grep -q "^Ready: consuming" && break; sleep 1; done
timeout 30 nsenter -t "$init" -a -r -w systemctl stop corvel
echo "== journalctl -u corvel (the service's own lines):"
journal -p info | grep -E "starting \(pid|^Ready: |^Stopp" | cut -c 1-150
for line in "corvel .* starting (pid" "^Ready: consuming" "^Stopped cleanly"; do
  journal | grep -q "$line" || { echo "no \"$line\" line in journalctl -u corvel" >&2; journal | tail -n 15 >&2; exit 1; }
done
kill "$nspawn"  # nspawn powers the container off
wait "$nspawn" || true
mount -t proc proc "$root/proc"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"

echo "== apt-get purge corvel"
in_root apt-get purge -y -q corvel >/dev/null
[ ! -e "$root/var/log/corvel" ] && [ ! -e "$root/etc/corvel" ] || {
  echo "the purge left /var/log/corvel or /etc/corvel" >&2
  exit 1
}
echo "log directory and configuration gone; all checks passed"
