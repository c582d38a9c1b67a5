#!/usr/bin/env bash
# The Debian package: builds it, checks its file list, modes and control fields,
# installs it with dpkg --root into a fresh root (whose package database holds
# the host's entries of the package's dependencies, so dpkg checks them as it
# would here; the maintainer scripts run chrooted there, with a shell and a
# systemctl that records its calls), runs the installed kestd --version and
# kestctl --help, and checks that the packaged unit is the one --register writes.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
fail() { echo "FAIL: $*"; exit 1; }

deb="$(KESTD_BUILD_DIR="$build" "$root/scripts/package" | tail -1)"
version="$(dpkg-deb -f "$deb" Version)"
echo "== $(basename "$deb")"

# Files (directories left out), with their modes.
listing="$(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print $1, $2, $6}' | sort -k3)"
echo "$listing"
expected="-rwxr-xr-x root/root ./usr/bin/kestctl
-rw-r--r-- root/root ./usr/lib/systemd/system/KestService.service
-rwxr-xr-x root/root ./usr/sbin/kestd
-rw-r--r-- root/root ./usr/share/bash-completion/completions/kestctl
-rw-r--r-- root/root ./usr/share/man/man1/kestctl.1.gz
-rw-r--r-- root/root ./usr/share/man/man8/kestd.8.gz"
if [[ -f "$root/service/org.kest.daemon.policy" ]]; then
  expected+=$'\n'"-rw-r--r-- root/root ./usr/share/polkit-1/actions/org.kest.daemon.policy"
fi
expected+=$'\n'"-rw-r--r-- root/root ./usr/share/polkit-1/rules.d/50-kestservice.rules"
[[ "$listing" == "$(sort -k3 <<< "$expected")" ]] || fail "the file list differs from: $expected"

# Control fields: dependencies found from the shared libraries, maintainer scripts.
depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libc6 libqt6core6 libqt6network6 libsystemd0; do
  [[ ",$depends" == *", $lib"* || "$depends" == "$lib"* ]] || fail "Depends lacks $lib: $depends"
done
[[ "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Architecture)" == "kestd $(dpkg --print-architecture)" ]] \
  || fail "package name or architecture"
control="$(mktemp -d)"
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$deb" "$control/DEBIAN"
for script in postinst prerm postrm; do
  [[ -x "$control/DEBIAN/$script" ]] || fail "$script missing or not executable"
  sh -n "$control/DEBIAN/$script" || fail "$script does not parse"
done
grep -q 'unit=KestService.service' "$control/DEBIAN/postinst" || fail "postinst names another unit"
echo "Depends: $depends"

# apt resolves it on this machine, as README's `apt install ./...deb` would.
apt-get install -s "$deb" >/dev/null || fail "apt cannot install it here"

if [[ $(id -u) -ne 0 ]]; then
  echo "SKIPPED: installing into a fresh root needs root (chroot)"
  exit 0
fi
fresh="$(mktemp -d /tmp/kestd-package-root.XXXXXX)"
trap 'rm -rf "$control" "$fresh"' EXIT
arch="$(dpkg --print-architecture)"
admin="$fresh/var/lib/dpkg"
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" "$fresh/usr/bin"
touch "$admin/status" "$admin/available"
for p in $(tr ',' '\n' <<< "$depends" | sed 's/(.*)//; s/|.*//; s/ //g'); do
  dpkg-query -s "$p" >> "$admin/status" || fail "dependency $p is not installed here"
  echo >> "$admin/status"
  touch "$admin/info/$p.list" "$admin/info/$p:$arch.list"
done
for program in /bin/sh /bin/rm; do
  for file in "$program" $(ldd "$(readlink -f "$program")" | grep -o '/[^ ]*'); do
    cp -L --parents "$file" "$fresh/"
  done
done
cat > "$fresh/usr/bin/systemctl" <<'SH'
#!/bin/sh
echo "$*" >> /systemctl.log
SH
chmod 755 "$fresh/usr/bin/systemctl"

# dpkg in the fresh root; the systemctl calls its maintainer scripts made.
step() {
  rm -f "$fresh/systemctl.log"
  dpkg --root="$fresh" "$@" > "$fresh/dpkg.log" 2>&1 || { cat "$fresh/dpkg.log"; fail "dpkg $*"; }
  calls="$(cat "$fresh/systemctl.log" 2>/dev/null | tr '\n' ';' || true)"
}
step -i "$deb"
[[ -z "$calls" ]] || fail "systemctl called where systemd does not run: $calls"
[[ "$(dpkg --root="$fresh" -s kestd | sed -n 's/^Status: //p')" == "install ok installed" ]] || fail "not installed"
[[ "$("$fresh/usr/sbin/kestd" --version)" == "kestd $version" ]] || fail "installed kestd --version"
"$fresh/usr/bin/kestctl" --help | grep -q '^  connections ' || fail "installed kestctl --help"
echo "installed: $("$fresh/usr/sbin/kestd" --version), $("$fresh/usr/bin/kestctl" --version)"

# The packaged unit and rule are what --register writes for that executable.
register="$fresh/register"
mkdir -p "$register/units" "$register/polkit"
KESTD_UNIT_DIR="$register/units" KESTD_POLKIT_DIR="$register/polkit/rules.d" \
  "$fresh/usr/sbin/kestd" --register >/dev/null || fail "kestd --register"
diff <(sed "s|$(readlink -f "$fresh/usr/sbin/kestd")|/usr/sbin/kestd|" "$register/units/KestService.service") \
  "$fresh/usr/lib/systemd/system/KestService.service" || fail "the packaged unit differs from the registered one"
diff "$register/polkit/rules.d/50-kestservice.rules" "$fresh/usr/share/polkit-1/rules.d/50-kestservice.rules" \
  || fail "the packaged polkit rule differs from the registered one"

# Where systemd runs: upgrade, removal, first install.
mkdir -p "$fresh/run/systemd/system"
step -i "$deb"
[[ "$calls" == "daemon-reload;is-enabled --quiet KestService.service;restart KestService.service;" ]] \
  || fail "upgrade: $calls"
step --purge kestd
[[ "$calls" == "stop KestService.service;daemon-reload;daemon-reload;" ]] || fail "purge: $calls"
[[ ! -e "$fresh/usr/sbin/kestd" ]] || fail "kestd left behind after purge"
step -i "$deb"
[[ "$calls" == "daemon-reload;enable KestService.service;start KestService.service;" ]] || fail "first install: $calls"
echo "maintainer scripts: reload, enable and start on a first install; restart on an upgrade; stop on removal"
