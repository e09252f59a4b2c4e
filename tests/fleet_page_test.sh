#!/usr/bin/env bash
# The fleet page in a real browser (headless Chromium): a panel per numeric field of each
# device, named and with its figures, fills the window's width; hovering tells values; a
# device named to inject markup shows as text, and the page is drawn.
set -euo pipefail
fleet=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/log"
now=$(date +%s)
stamp() { date -d "@$((now - $1))" +%d%m%Y%H%M%S; }
for device in AABBCCDDEEFF 112233445566 '<b>x&y'; do
  for ago in $(seq 86000 -600 0); do
    echo "$(stamp "$ago"),$device,$((20 + ago % 7)).5,$((40 + ago % 13)),text"
  done >"$work/log/$device.csv"
done
echo "$(stamp 200000),SILENT,1" >"$work/log/SILENT.csv"

status=0
"$fleet" -d "$work/log" --html "$work/page.html" >/dev/null || status=$?
[ "$status" = 1 ] || { echo "exit status $status, not 1 (one device stale)"; exit 1; }

browser() {
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$(mktemp -d "$work/profile.XXXXXX")" "$@" 2>/dev/null
}
browser --dump-dom "file://$work/page.html" >"$work/dom.html"
charts=$(grep -o '<svg class="chart"' "$work/dom.html" | wc -l)
lines=$(grep -o '<polyline' "$work/dom.html" | wc -l)
[ "$charts" = 6 ] || { echo "$charts panels in the rendered page, not 6 (two fields of three devices)"; exit 1; }
[ "$lines" = 6 ] || { echo "$lines lines in the rendered page, not 6"; exit 1; }
grep -q 'No record in the last 24h' "$work/dom.html" || { echo "SILENT has no note"; exit 1; }
for field in 'field 3' 'field 4'; do
  panels=$(grep -o "<h3>$field <span class=\"stats\">last [0-9.]* · min [0-9.]* · max [0-9.]* · mean [0-9.]*</span>" "$work/dom.html" | wc -l)
  [ "$panels" = 3 ] || { echo "$panels panels headed '$field' with last, min, max and mean, not 3"; exit 1; }
done
grep -q '<svg class="chart" xmlns="http://www.w3.org/2000/svg" viewBox="0 0 1000 150" width="100%"' "$work/dom.html" ||
  { echo "the panels do not fill the width"; exit 1; }
hover=$(grep -o '<rect [^>]*><title>[0-9-]* [0-9:]*[^<]*records\?)</title>' "$work/dom.html" | wc -l)
[ "$hover" -ge 6 ] || { echo "$hover values to hover over"; exit 1; }
if grep -q '<script' "$work/dom.html"; then echo "a script in the page"; exit 1; fi
grep -q '<h2>&lt;b&gt;x&amp;y</h2>' "$work/dom.html" || { echo "markup in a name not shown as text"; exit 1; }
if grep -q '<b>' "$work/dom.html"; then echo "a device name became markup"; exit 1; fi

# The table fits the window with a long name, and a narrow screen still shows each state: a
# copy of the page with a script that measures it.
long=$(printf 'Greenhouse%.0s ' $(seq 12))
printf '[AABBCCDDEEFF]\nname = %s\n' "$long" >"$work/devices"
"$fleet" -d "$work/log" --devices "$work/devices" --html "$work/named.html" >/dev/null || true
for width in 1400 420; do
  sed 's|</body>|<script>const r = [...document.querySelectorAll("td.state")].map(e => e.getBoundingClientRect().right); document.body.dataset.fit = r.length > 0 \&\& r.every(x => x > 0 \&\& x <= innerWidth) ? "yes" : "no:" + r + "/" + innerWidth;</script></body>|' \
    "$work/named.html" >"$work/probe.html"
  fit=$(browser --window-size=$width,900 --dump-dom "file://$work/probe.html" |
    grep -o 'data-fit="[^"]*"')
  [ "$fit" = 'data-fit="yes"' ] || { echo "at $width px, the states do not fit: $fit"; exit 1; }
done

# Drawn: the page's screenshot holds far more than that of an empty page of the same size.
echo '<!DOCTYPE html><html><body></body></html>' >"$work/empty.html"
browser --window-size=1000,1400 --screenshot="$work/page.png" "file://$work/page.html" >/dev/null
browser --window-size=1000,1400 --screenshot="$work/empty.png" "file://$work/empty.html" >/dev/null
page=$(stat -c %s "$work/page.png") empty=$(stat -c %s "$work/empty.png")
echo "$charts panels, $lines lines, $hover hover bands; screenshot $page bytes (empty page $empty)"
