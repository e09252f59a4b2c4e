#!/usr/bin/env bash
# The Debian package builds the Debian way, lintian has nothing to say about it, and it holds
# the binaries, the unit (which passes systemd's own check), the manual pages and the conffile.
# Installing it enables and starts the service.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# dpkg-buildpackage builds in the source tree and leaves the package beside it: use a copy.
mkdir "$work/src"
(cd "$source_dir" && git ls-files --cached --others --exclude-standard -z |
  xargs -0 cp --parents -t "$work/src")
(cd "$work/src" && dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) ||
  { tail -n 40 "$work/build.log"; exit 1; }
deb=$(ls "$work"/report-collector_*.deb)

lintian --fail-on error,warning "$deb"

dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sort >"$work/contents"
for path in ./usr/sbin/report-collector ./lib/systemd/system/report-collector.service \
  ./usr/share/man/man8/report-collector.8.gz ./etc/default/report-collector \
  ./usr/bin/report-collector-fleet ./usr/share/man/man1/report-collector-fleet.1.gz \
  ./usr/share/man/man5/report-collector-devices.5.gz ./etc/report-collector/devices; do
  grep -qx "$path" "$work/contents" || { echo "missing from the package: $path"; exit 1; }
done
dpkg-deb -I "$deb" conffiles | grep -qx /etc/default/report-collector
dpkg-deb -I "$deb" conffiles | grep -qx /etc/report-collector/devices
# The unit's ExecReload runs /bin/kill, which minimal systems lack.
dpkg-deb -f "$deb" Depends | grep -qw procps
# Installing enables and starts the service; removing stops it.
dpkg-deb -I "$deb" postinst | grep -q "deb-systemd-helper enable 'report-collector.service'"
dpkg-deb -I "$deb" postinst | grep -q "_dh_action=start"
dpkg-deb -I "$deb" postinst | grep -q "deb-systemd-invoke \$_dh_action 'report-collector.service'"
dpkg-deb -I "$deb" prerm | grep -q "deb-systemd-invoke stop 'report-collector.service'"

dpkg-deb -x "$deb" "$work/root"
unit=$work/root/lib/systemd/system/report-collector.service
grep -qx 'ExecStart=/usr/sbin/report-collector $REPORT_COLLECTOR_OPTIONS' "$unit"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit"
# The example device list is all commented out: it lists no board.
devices=$work/root/etc/report-collector/devices
if grep -vqE '^[[:space:]]*([#;]|$)' "$devices"; then
  echo "the example device list has lines that are not comments"
  exit 1
fi
grep -qx '#   REPORT_COLLECTOR_OPTIONS="--devices /etc/report-collector/devices"' \
  "$work/root/etc/default/report-collector"
sed "s|/usr/sbin/report-collector|$work/root/usr/sbin/report-collector|" "$unit" \
  >"$work/report-collector.service"
if ! complaints=$(systemd-analyze verify --man=no "$work/report-collector.service" 2>&1) ||
  [ -n "$complaints" ]; then
  echo "systemd-analyze verify: $complaints"
  exit 1
fi
echo "lintian clean; package holds: $(tr '\n' ' ' <"$work/contents")"
