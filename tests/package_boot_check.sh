#!/usr/bin/env bash
# Boots a minimal Debian 12 with systemd in a container (systemd-nspawn), installs the
# package there and checks the service as an operator would: installing enables and starts
# it, a report is stored, /etc/default/report-collector sets its options, the device list
# refuses an unlisted board and `systemctl reload` reads it again, removing stops it
# and purging keeps the device files. And the fleet's timer: enabled and started with the
# package, it writes the page and the metrics as the collector's dynamic user (not root),
# again every minute; node_exporter, installed after the package, serves the metrics
# through the link the package then makes; a user with no rights serves the page; stale
# boards do not fail the unit, a mistake does; /etc/default/report-collector-fleet sets its
# options and turns it off; it cannot write the collector's files; removing stops it. The
# package's logrotate policy rotates the device files once: the collector stores on and the
# fleet's answers hold.
# .ci/run does not run it: it needs debootstrap, a mirror and a host that can boot a container.
# The container has no network: what the package depends on is installed beforehand, and
# node_exporter is only downloaded. As root. It takes a few minutes: it waits for the timer.
# Usage: bash tests/package_boot_check.sh ../report-collector_1.0.0_amd64.deb
set -euo pipefail
deb=$(realpath "$1")
root=$(mktemp -d /var/tmp/package-boot.XXXXXX)
trap 'rm -rf "$root"' EXIT
chmod 755 "$root" # mktemp made it 0700, and the system's own users must get through it
{ command -v debootstrap && command -v systemd-nspawn; } >/dev/null ||
  apt-get install -y -qq debootstrap systemd-container >/dev/null
debootstrap --variant=minbase bookworm "$root" \
  "$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources)" >/dev/null
cp /etc/resolv.conf "$root/etc/resolv.conf"
chroot "$root" bash -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq systemd systemd-sysv dbus netcat-openbsd procps logrotate &&
  apt-get install -y -qq --no-install-recommends curl python3 &&
  apt-get install -y -qq --no-install-recommends --download-only prometheus-node-exporter' \
  >/dev/null 2>&1
cp "$deb" "$root/root/"
cat >"$root/root/check" <<'CHECK'
#!/bin/bash
exec >/root/result 2>&1
apt-get install -y /root/report-collector_*.deb >/dev/null 2>&1
echo "enabled: $(systemctl is-enabled report-collector)"
echo "active: $(systemctl is-active report-collector)"
printf 'AA:BB:CC:DD:EE:FF,21.5,40\n' | nc -N 127.0.0.1 999
# The packaged device list names no board: the fleet's timer takes every file as a device.
systemctl start report-collector-fleet
echo "fleet with no board listed: $(grep -E '^report_collector_(devices|unlisted_files) ' \
  /var/lib/report-collector-fleet/report-collector.prom | tr '\n' ' ')"
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

# The fleet's timer. Facts that vary (times, identifiers) go to /root/info.
info() { echo "$@" >>/root/info; }
out=/var/lib/report-collector-fleet
run() { systemctl start report-collector-fleet 2>/dev/null
  systemctl show -p Result --value report-collector-fleet
  systemctl show -p ExecMainStatus --value report-collector-fleet; }
say() { if "$@"; then echo yes; else echo no; fi; }
echo "fleet timer enabled: $(systemctl is-enabled report-collector-fleet.timer)"
echo "fleet timer active: $(systemctl is-active report-collector-fleet.timer)"
info "$(systemctl list-timers --all report-collector-fleet.timer | head -2)"
echo "fleet run with the list: $(run | tr '\n' ' ')"
echo "fleet unit user: $(systemctl show -p User,DynamicUser --value report-collector-fleet | tr '\n' ' ')"
echo "page and metrics owner: $(stat -c '%U %a' $out/fleet.html $out/report-collector.prom | sort -u | tr '\n' ' ')"
echo "same owner as the device files: $(say [ "$(stat -c %u $out/fleet.html)" = \
  "$(stat -c %u /var/lib/report-collector/log/AABBCCDDEEFF.csv)" ])"
info "$(ls -ln /var/lib/report-collector/log $out)"
echo "output directory: $(stat -c '%U %G %a' $out)"
# The file AABBCCDDEEFF.csv is the list's board aabbccddeeff, shown in the list's spelling.
echo "page has the boards: $(grep -oi 'AABBCCDDEEFF\|112233445566' $out/fleet.html | sort -u |
  tr '\n' ' ')"
# The list names boards now: the board that never reported is there, stale.
echo "metrics: $(grep -E '^report_collector_(devices|stale\{device="112233445566")' \
  $out/report-collector.prom | tr '\n' ' ')"
# node_exporter comes after the package: the package's trigger links the metrics into its
# directory, and it serves them.
apt-get install -y --no-install-recommends prometheus-node-exporter >/dev/null 2>&1
echo "link: $(readlink /var/lib/prometheus/node-exporter/report-collector.prom)"
for _ in $(seq 50); do curl -sf http://127.0.0.1:9100/metrics >/root/metrics && break; sleep 0.2; done
echo "node_exporter serves: $(grep -E '^report_collector_devices ' /root/metrics)"
echo "node_exporter's mtime series: $(grep -o '^node_textfile_mtime_seconds{file="[^"]*report-collector.prom"}' /root/metrics)"
info "$(grep -c '^report_collector_' /root/metrics) report_collector_ samples served"
# Anyone may serve the page: nobody, with Python's web server.
runuser -u nobody -- python3 -m http.server --directory $out --bind 127.0.0.1 8080 \
  >/dev/null 2>&1 &
for _ in $(seq 50); do curl -sf http://127.0.0.1:8080/fleet.html >/root/page && break; sleep 0.2; done
kill $!
echo "page served by nobody: $(grep -o "<svg class=.chart." /root/page | wc -l) charts"
# Every minute, without anybody starting it.
page_time=$(stat -c %Y $out/fleet.html) metrics_time=$(stat -c %Y $out/report-collector.prom)
for _ in $(seq 150); do
  [ "$(stat -c %Y $out/fleet.html)" -gt "$page_time" ] &&
    [ "$(stat -c %Y $out/report-collector.prom)" -gt "$metrics_time" ] && break
  sleep 1
done
echo "refreshed by the timer: $(say [ "$(stat -c %Y $out/fleet.html)" -gt "$page_time" ]) \
$(say [ "$(stat -c %Y $out/report-collector.prom)" -gt "$metrics_time" ])"
info "page from $(date -d @"$page_time" +%T) to $(date -r $out/fleet.html +%T)"
# Stale boards are what it reports, not a failure; a mistake is.
echo 'REPORT_COLLECTOR_FLEET_OPTIONS="--stale 1s"' >>/etc/default/report-collector-fleet
sleep 2
echo "fleet run, every board stale: $(run | tr '\n' ' ')"
echo 'REPORT_COLLECTOR_FLEET_OPTIONS="--stale soon"' >>/etc/default/report-collector-fleet
echo "fleet run with a mistake: $(run | tr '\n' ' ')$(systemctl is-failed report-collector-fleet)"
systemctl reset-failed report-collector-fleet
sed -i '/^REPORT_COLLECTOR_FLEET_OPTIONS="--stale/d' /etc/default/report-collector-fleet
# Turned off: the runs are skipped, the page stays as it was.
sed -i 's/^REPORT_COLLECTOR_FLEET_ENABLED=yes$/REPORT_COLLECTOR_FLEET_ENABLED=no/' \
  /etc/default/report-collector-fleet
page_time=$(stat -c %Y $out/fleet.html)
sleep 1.1
systemctl start report-collector-fleet
echo "turned off: $(say [ "$(stat -c %Y $out/fleet.html)" = "$page_time" ]) \
$(journalctl -u report-collector-fleet -o cat | grep -c "Skipped due to 'exec-condition'")"
sed -i 's/^REPORT_COLLECTOR_FLEET_ENABLED=no$/REPORT_COLLECTOR_FLEET_ENABLED=yes/' \
  /etc/default/report-collector-fleet
# Without the collector running, the run allocates the same user and still reads.
systemctl stop report-collector
echo "fleet run, collector stopped: $(run | tr '\n' ' ')$(say [ "$(stat -c %u $out/fleet.html)" = \
  "$(stat -c %u /var/lib/private/report-collector/log/AABBCCDDEEFF.csv)" ])"
systemctl start report-collector
# In the unit's sandbox, the collector's files are read-only.
mkdir /run/systemd/system/report-collector-fleet.service.d
printf '%s\n' '[Service]' 'ExecStart=' 'StandardOutput=journal' \
  "ExecStart=/bin/sh -c 'touch /var/lib/report-collector/log/AABBCCDDEEFF.csv && echo probe: writable || echo probe: read-only'" \
  >/run/systemd/system/report-collector-fleet.service.d/probe.conf
systemctl daemon-reload
systemctl start report-collector-fleet
echo "collector's files in the fleet's unit: $(journalctl -u report-collector-fleet -o cat |
  grep '^probe:' | cut -d' ' -f2)"
rm -r /run/systemd/system/report-collector-fleet.service.d
systemctl daemon-reload
# The package's rotation policy, forced once, as logrotate's own service runs it: the board
# goes on in its parts, the collector makes its file again, the fleet's answers hold.
log=/var/lib/report-collector/log
check=(report-collector-fleet -d $log --devices /etc/report-collector/devices --check)
answers_before=$("${check[@]}" | head -n 1)
systemd-run --quiet --wait --collect -p Type=oneshot logrotate -f /etc/logrotate.d/report-collector
echo "rotated: $(ls $log | tr '\n' ' ')"
echo "same answers after the rotation: $(say [ "$("${check[@]}" | head -n 1)" = "$answers_before" ])"
info "after the rotation: $answers_before"
printf 'AA:BB:CC:DD:EE:FF,23.5,44\n' | nc -N 127.0.0.1 9999
echo "fleet run after the rotation: $(run | tr '\n' ' ')"
echo "records after the rotation: $(wc -l <$log/AABBCCDDEEFF.csv) in the new file, $(sed -n \
  's/^report_collector_window_records{device="aabbccddeeff".*} //p' $out/report-collector.prom) in the window"

apt-get remove -y report-collector >/dev/null 2>&1
echo "after remove: $(systemctl is-active report-collector)"
echo "fleet timer after remove: $(systemctl is-active report-collector-fleet.timer)"
echo "link after remove: $(ls /var/lib/prometheus/node-exporter | grep -c report-collector)"
apt-get purge -y report-collector >/dev/null 2>&1
echo "after purge: $(cat /var/lib/private/report-collector/log/AABBCCDDEEFF.csv* | wc -l) records kept"
echo "device list after purge: $(ls /etc/report-collector/devices 2>&1 >/dev/null | grep -c 'No such')"
echo "fleet page after purge: $(ls $out 2>&1 >/dev/null | grep -c 'No such')"
echo "fleet timer enabled after purge: $(ls /etc/systemd/system/timers.target.wants |
  grep -c report-collector)"
systemctl poweroff
CHECK
chmod +x "$root/root/check"
printf '[Unit]\nAfter=multi-user.target\n[Service]\nType=oneshot\nExecStart=/root/check\n' \
  >"$root/etc/systemd/system/check.service"
ln -s /etc/systemd/system/check.service "$root/etc/systemd/system/multi-user.target.wants/"
timeout 600 systemd-nspawn -q -D "$root" --boot --private-network --register=no --keep-unit \
  >"$root/boot.log" 2>&1 || true
cat "$root/root/result" || { tail -n 30 "$root/boot.log"; exit 1; }
cat "$root/root/info" 2>/dev/null || true
diff <(printf '%s\n' "enabled: enabled" "active: active" \
  "fleet with no board listed: report_collector_devices 1 report_collector_unlisted_files 0 " \
  "records: 2" "records with a list: 3" \
  "refused: 1" "reloaded: 1" "active after reload: active" \
  "fleet timer enabled: enabled" "fleet timer active: active" \
  "fleet run with the list: success 1 " "fleet unit user: report-collector yes " \
  "page and metrics owner: report-collector 644 " "same owner as the device files: yes" \
  "output directory: root report-collector-fleet 775" \
  "page has the boards: 112233445566 aabbccddeeff " \
  "metrics: report_collector_devices 2 report_collector_stale{device=\"112233445566\"} 1 " \
  "link: /var/lib/report-collector-fleet/report-collector.prom" \
  "node_exporter serves: report_collector_devices 2" \
  "node_exporter's mtime series: node_textfile_mtime_seconds{file=\"/var/lib/prometheus/node-exporter/report-collector.prom\"}" \
  "page served by nobody: 2 charts" "refreshed by the timer: yes yes" \
  "fleet run, every board stale: success 2 " "fleet run with a mistake: exit-code 3 failed" \
  "turned off: yes 1" "fleet run, collector stopped: success 1 yes" \
  "collector's files in the fleet's unit: read-only" \
  "rotated: AABBCCDDEEFF.csv.1 " "same answers after the rotation: yes" \
  "fleet run after the rotation: success 1 " \
  "records after the rotation: 1 in the new file, 4 in the window" \
  "after remove: inactive" "fleet timer after remove: inactive" "link after remove: 0" \
  "after purge: 4 records kept" "device list after purge: 1" "fleet page after purge: 1" \
  "fleet timer enabled after purge: 0") \
  "$root/root/result"
