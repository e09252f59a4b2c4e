#!/usr/bin/env bash
# The Debian package builds the Debian way, lintian has nothing to say about it, and it holds
# the binaries (the collector, the fleet view, the sender), the units (which pass systemd's
# own check), the manual pages and the conffiles.
# Installing it enables and starts the service and the fleet's timer, not the fleet's service.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# dpkg-buildpackage builds in the source tree and leaves the package beside it: use a copy.
# It builds on every core: alone, it would hold the suite's end for minutes.
mkdir "$work/src"
(cd "$source_dir" && git ls-files --cached --others --exclude-standard -z |
  xargs -0 cp --parents -t "$work/src")
(cd "$work/src" && dpkg-buildpackage -us -uc -b -Jauto >"$work/build.log" 2>&1) ||
  { tail -n 40 "$work/build.log"; exit 1; }
deb=$(ls "$work"/report-collector_*.deb)

lintian --fail-on error,warning "$deb"

dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sort >"$work/contents"
for path in ./usr/sbin/report-collector ./lib/systemd/system/report-collector.service \
  ./usr/share/man/man8/report-collector.8.gz ./etc/default/report-collector \
  ./usr/bin/report-collector-fleet ./usr/share/man/man1/report-collector-fleet.1.gz \
  ./usr/bin/report-collector-send ./usr/share/man/man1/report-collector-send.1.gz \
  ./usr/share/man/man5/report-collector-devices.5.gz ./etc/report-collector/devices \
  ./lib/systemd/system/report-collector-fleet.service \
  ./lib/systemd/system/report-collector-fleet.timer ./etc/default/report-collector-fleet \
  ./usr/lib/sysusers.d/report-collector-fleet.conf \
  ./usr/lib/tmpfiles.d/report-collector-fleet.conf ./etc/logrotate.d/report-collector; do
  grep -qx "$path" "$work/contents" || { echo "missing from the package: $path"; exit 1; }
done
dpkg-deb -I "$deb" conffiles | grep -qx /etc/default/report-collector
dpkg-deb -I "$deb" conffiles | grep -qx /etc/report-collector/devices
dpkg-deb -I "$deb" conffiles | grep -qx /etc/default/report-collector-fleet
dpkg-deb -I "$deb" conffiles | grep -qx /etc/logrotate.d/report-collector
# The unit's ExecReload runs /bin/kill, which minimal systems lack.
dpkg-deb -f "$deb" Depends | grep -qw procps
# Installing enables and starts the service and the fleet's timer; removing stops them. The
# fleet's service is left to the timer: a failed run must not fail the installation.
dpkg-deb -I "$deb" postinst >"$work/postinst"
dpkg-deb -I "$deb" prerm >"$work/prerm"
for unit in report-collector.service report-collector-fleet.timer; do
  grep -q "deb-systemd-helper enable '$unit'" "$work/postinst"
  grep -q "^[[:space:]]*deb-systemd-invoke \$_dh_action .*'$unit'" "$work/postinst"
  grep -q "^[[:space:]]*deb-systemd-invoke stop .*'$unit'" "$work/prerm"
done
grep -q "_dh_action=start" "$work/postinst"
if grep -q "report-collector-fleet.service" "$work/postinst"; then
  echo "the package starts the fleet's service itself"
  exit 1
fi
# Its group and output directory are made before the units start.
grep -q "systemd-sysusers .*report-collector-fleet.conf" "$work/postinst"
grep -q "systemd-tmpfiles .*--create report-collector-fleet.conf" "$work/postinst"
# node_exporter's textfile directory gets a link to the metrics, whenever it comes.
dpkg-deb -I "$deb" triggers | grep -qx "interest-noawait /var/lib/prometheus/node-exporter"

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
fleet=$work/root/lib/systemd/system/report-collector-fleet.service
grep -qx 'Type=oneshot' "$fleet"
grep -q '^  exec /usr/bin/report-collector-fleet "\$\$@"' "$fleet"
# The unit's command line, run by the shell as systemd would, with the view replaced by echo:
# the collector's directory unless the operator's options give their own -d.
fleet_args() {
  local script
  script=$(sed -n '/^ExecStart=/,/[^\\]$/p' "$fleet" | sed 's/\\$//' | tr '\n' ' ' |
    sed "s/^ExecStart=\/bin\/sh -c '//; s/' *\$//; s/\\\$\\\$/\\$/g; s|/usr/bin/report-collector-fleet|echo|")
  REPORT_COLLECTOR_FLEET_OPTIONS=$1 sh -c "$script"
}
[ "$(fleet_args '--stale 5m')" = "-d /var/lib/report-collector/log --html \
/var/lib/report-collector-fleet/fleet.html --prometheus \
/var/lib/report-collector-fleet/report-collector.prom --stale 5m" ]
fleet_args '-d /srv/a/log -d /srv/b/log' | grep -q ' --prometheus [^ ]* -d /srv/a/log -d /srv/b/log$'
fleet_args '--log-dir=/srv/a/log' | grep -q '^--html '
# Stale boards (1 and 2) are what it reports, not a failure of the unit.
grep -qx 'SuccessExitStatus=1 2' "$fleet"
# The collector's dynamic user, shared, and nothing more.
grep -qx 'User=report-collector' "$unit"
grep -qx 'User=report-collector' "$fleet"
grep -qx 'DynamicUser=yes' "$fleet"
grep -qx 'PrivateNetwork=yes' "$fleet"
grep -qx 'OnCalendar=minutely' "$work/root/lib/systemd/system/report-collector-fleet.timer"
grep -qx 'REPORT_COLLECTOR_FLEET_ENABLED=yes' "$work/root/etc/default/report-collector-fleet"
# The page and metrics are where the unit writes them, and stay over a boot.
grep -q '^# /var/lib/report-collector-fleet/fleet.html' "$work/root/etc/default/report-collector-fleet"
if grep -q '/run/' "$work/root/etc/default/report-collector-fleet"; then
  echo "/etc/default/report-collector-fleet names /run"
  exit 1
fi
# The link for node_exporter is made with -T: never inside a directory that a link names.
grep -q 'ln -sT /var/lib/report-collector-fleet/report-collector.prom "$link"' "$work/postinst"
grep -qx 'REPORT_COLLECTOR_FLEET_OPTIONS=""' "$work/root/etc/default/report-collector-fleet"
mkdir "$work/units"
sed "s|/usr/sbin/report-collector|$work/root/usr/sbin/report-collector|" "$unit" \
  >"$work/units/report-collector.service"
sed "s|/usr/bin/report-collector-fleet|$work/root/usr/bin/report-collector-fleet|" "$fleet" \
  >"$work/units/report-collector-fleet.service"
cp "$work/root/lib/systemd/system/report-collector-fleet.timer" "$work/units/"
if ! complaints=$(systemd-analyze verify --man=no "$work/units/report-collector.service" \
  "$work/units/report-collector-fleet.service" "$work/units/report-collector-fleet.timer" 2>&1) ||
  [ -n "$complaints" ]; then
  echo "systemd-analyze verify: $complaints"
  exit 1
fi
echo "lintian clean; package holds: $(tr '\n' ' ' <"$work/contents")"
