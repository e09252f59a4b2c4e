#!/usr/bin/env bash
# Makes doc/fleet-page.png: the page of a small greenhouse fleet, in headless Chromium. Four
# boards send a temperature with a daily cycle and a humidity every minute; one fell silent
# five hours ago, one was off for three hours; a port scan left two files that are not boards. With a device list when the fleet
# view takes one (--devices), so that the panels carry names, units and the bands of their
# warning and critical ranges, from a kind the boards share.
# Usage: bash doc/fleet-page.sh [FLEET_BINARY]
set -euo pipefail
cd "$(dirname "$0")/.."
fleet=${1:-build-ci/report-collector-fleet}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/log"
python3 - "$work/log" <<'PY'
import math, sys, time
log, now = sys.argv[1], int(time.time()) // 60 * 60
boards = [  # identifier, mean temperature, humidity, silent since (minutes ago), gap
    ("24:6F:28:A1:03:5C", 19.0, 55, 0, None),
    ("24:6F:28:A1:07:B0", 21.5, 62, 0, (14 * 60, 11 * 60)),
    ("30:AE:A4:0C:2F:44", 12.5, 78, 5 * 60, None),
    ("30:AE:A4:0C:31:10", 17.0, 48, 0, None),
]
for n, (mac, mean, humid, silent, gap) in enumerate(boards):
    with open(f"{log}/{mac}.csv", "w") as out:
        for ago in range(24 * 60 + 30, silent - 1, -1):
            if gap and gap[1] <= ago < gap[0]:
                continue
            t = now - ago * 60
            hour = time.localtime(t).tm_hour + time.localtime(t).tm_min / 60
            temp = mean - 4.5 * math.cos((hour - 3) / 24 * 2 * math.pi) + 0.3 * math.sin(ago * 0.37 + n)
            hum = humid + 8 * math.cos((hour - 3) / 24 * 2 * math.pi) + 1.5 * math.sin(ago * 0.11 + n)
            stamp = time.strftime("%d%m%Y%H%M%S", time.localtime(t))
            out.write(f"{stamp},{mac},{temp:.2f},{hum:.1f},ok\n")
PY
# What a port scan leaves behind: files that are not boards.
echo "$(date -d '-20 hours' +%d%m%Y%H%M%S),HELP" >"$work/log/HELP.csv"
echo "$(date -d '-20 hours' +%d%m%Y%H%M%S),gkrellm 0.0.0" >"$work/log/gkrellm 0.0.0.csv"
cat >"$work/devices" <<'LIST'
[kind greenhouse]
fields = temperature (°C), humidity (%)
warn = temperature 12:23, humidity 40:70
crit = temperature 8:27, humidity 30:80
[24:6F:28:A1:03:5C]
kind = greenhouse
name = Greenhouse north
[24:6F:28:A1:07:B0]
kind = greenhouse
name = Greenhouse south
[30:AE:A4:0C:2F:44]
kind = greenhouse
name = Cellar
stale = 2h
warn = temperature 8:16
[30:AE:A4:0C:31:10]
kind = greenhouse
name = Potting shed
LIST
list=()
if "$fleet" --help 2>&1 | grep -q -- --devices; then list=(--devices "$work/devices"); fi
"$fleet" -d "$work/log" "${list[@]}" --html "$work/page.html" >/dev/null || true
chromium --headless --no-sandbox --disable-gpu --no-first-run --hide-scrollbars \
  --user-data-dir="$work/profile" --window-size=1100,1500 \
  --screenshot="$PWD/doc/fleet-page.png" "file://$work/page.html" 2>/dev/null >/dev/null
echo "doc/fleet-page.png written${list:+ with the device list}"
