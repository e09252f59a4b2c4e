#!/usr/bin/env bash
# The systemd unit passes systemd's own check, and the Debian package holds the binary and
# the unit, which names the binary where the package puts it.
set -euo pipefail
source_dir=$1 build_dir=$2 binary=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sed "s|^ExecStart=.*|ExecStart=$binary|" "$source_dir/packaging/report-collector.service" \
  >"$work/report-collector.service"
complaints=$(systemd-analyze verify "$work/report-collector.service" 2>&1)
[ -z "$complaints" ] || { echo "systemd-analyze verify: $complaints"; exit 1; }

(cd "$work" && cpack -G DEB --config "$build_dir/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/report-collector_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' >"$work/contents"
printf '%s\n' ./usr/lib/systemd/system/report-collector.service ./usr/sbin/report-collector \
  | diff - "$work/contents"
dpkg-deb -x "$deb" "$work/root"
grep -qx 'ExecStart=/usr/sbin/report-collector' \
  "$work/root/usr/lib/systemd/system/report-collector.service"
echo "unit verified; package holds: $(tr '\n' ' ' <"$work/contents")"
