#!/usr/bin/env bash
# Boots a minimal Debian 12 with systemd in a container (systemd-nspawn), installs the
# package there and checks the service as an operator would: installing enables and starts
# it, a report is stored, /etc/default/report-collector sets its options, the device list
# refuses an unlisted board and `systemctl reload` reads it again, removing stops it
# and purging keeps the device files. Not part of .ci/run: it needs debootstrap, a mirror
# and a host that can boot a container. The container has no network: what the package
# depends on is installed beforehand. As root.
# Usage: bash tests/package_boot_check.sh ../report-collector_1.0.0_amd64.deb
set -euo pipefail
deb=$(realpath "$1")
root=$(mktemp -d /var/tmp/package-boot.XXXXXX)
trap 'rm -rf "$root"' EXIT
chmod 755 "$root" # mktemp made it 0700, and the system's own users must get through it
command -v debootstrap systemd-nspawn >/dev/null ||
  apt-get install -y -qq debootstrap systemd-container >/dev/null
debootstrap --variant=minbase bookworm "$root" \
  "$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources)" >/dev/null
cp /etc/resolv.conf "$root/etc/resolv.conf"
chroot "$root" bash -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq systemd systemd-sysv dbus netcat-openbsd procps' >/dev/null 2>&1
cp "$deb" "$root/root/"
cat >"$root/root/check" <<'CHECK'
#!/bin/bash
exec >/root/result 2>&1
apt-get install -y /root/report-collector_*.deb >/dev/null 2>&1
echo "enabled: $(systemctl is-enabled report-collector)"
echo "active: $(systemctl is-active report-collector)"
printf 'AA:BB:CC:DD:EE:FF,21.5,40\n' | nc -N 127.0.0.1 999
echo 'REPORT_COLLECTOR_OPTIONS="--port=9999"' >/etc/default/report-collector
systemctl restart report-collector && sleep 1
printf 'AA:BB:CC:DD:EE:FF,22.0,41\n' | nc -N 127.0.0.1 9999
echo "records: $(wc -l </var/lib/report-collector/log/AABBCCDDEEFF.csv)"
printf '[11:22:33:44:55:66]\n' >>/etc/report-collector/devices
echo 'REPORT_COLLECTOR_OPTIONS="--port=9999 --devices /etc/report-collector/devices"' \
  >/etc/default/report-collector
systemctl restart report-collector && sleep 1
printf 'AA:BB:CC:DD:EE:FF,22.5,42\n' | nc -N 127.0.0.1 9999 >/dev/null 2>&1 || true
printf '[aabbccddeeff]\n' >>/etc/report-collector/devices
systemctl reload report-collector && sleep 1
printf 'AA:BB:CC:DD:EE:FF,23.0,43\n' | nc -N 127.0.0.1 9999
echo "records with a list: $(wc -l </var/lib/report-collector/log/AABBCCDDEEFF.csv)"
journal=$(journalctl -u report-collector -o cat)
echo "refused: $(grep -c 'AA:BB:CC:DD:EE:FF": it is not in the device list' <<<"$journal")"
echo "reloaded: $(grep -c '^Device list reloaded: 2 devices$' <<<"$journal")"
echo "active after reload: $(systemctl is-active report-collector)"
apt-get remove -y report-collector >/dev/null 2>&1
echo "after remove: $(systemctl is-active report-collector)"
apt-get purge -y report-collector >/dev/null 2>&1
echo "after purge: $(cat /var/lib/private/report-collector/log/AABBCCDDEEFF.csv | wc -l) records kept"
echo "device list after purge: $(ls /etc/report-collector/devices 2>&1 >/dev/null | grep -c 'No such')"
systemctl poweroff
CHECK
chmod +x "$root/root/check"
printf '[Unit]\nAfter=multi-user.target\n[Service]\nType=oneshot\nExecStart=/root/check\n' \
  >"$root/etc/systemd/system/check.service"
ln -s /etc/systemd/system/check.service "$root/etc/systemd/system/multi-user.target.wants/"
timeout 300 systemd-nspawn -q -D "$root" --boot --private-network --register=no --keep-unit \
  >"$root/boot.log" 2>&1 || true
cat "$root/root/result" || { tail -n 30 "$root/boot.log"; exit 1; }
diff <(printf '%s\n' "enabled: enabled" "active: active" "records: 2" "records with a list: 3" \
  "refused: 1" "reloaded: 1" "active after reload: active" "after remove: inactive" \
  "after purge: 3 records kept" "device list after purge: 1") "$root/root/result"
