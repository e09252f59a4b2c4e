#!/usr/bin/env bash
# The alert rules of doc/monitoring.md (doc/alert-rules.yml, shown there as they are) pass
# the real promtool's check, fire when they should and not before (doc/alert-rules-test.yml),
# and the rule on the metrics file's age selects the very series a real node_exporter gives
# for it.
# As root: node_exporter listens in a network namespace of its own.
set -euo pipefail
source_dir=$(realpath "$1")
rules=$source_dir/doc/alert-rules.yml
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

promtool check rules "$rules"
(cd "$source_dir/doc" && promtool test rules alert-rules-test.yml)

# The monitoring guide shows the file, not a copy that has drifted from it.
awk '/doc\/alert-rules\.yml/ { seen = 1 }
  seen && /^```yaml$/ { inside = 1; next }
  inside && /^```$/ { exit }
  inside { print }' "$source_dir/doc/monitoring.md" >"$work/shown-rules.yml"
diff -u "$rules" "$work/shown-rules.yml" ||
  { echo "the alert rules in doc/monitoring.md differ from doc/alert-rules.yml"; exit 1; }

# node_exporter 1.5 names a textfile by its whole path in node_textfile_mtime_seconds.
mkdir "$work/textfile"
echo 'report_collector_devices 1' >"$work/textfile/report-collector.prom"
touch -d '-10 minutes' "$work/textfile/report-collector.prom"
# The exporter ends with the shell that started it, however that shell ends: left running, it
# would outlive the suite in a network namespace no one can reach.
unshare --net bash -c '
  ip link set lo up
  prometheus-node-exporter --web.listen-address=127.0.0.1:9100 --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$1" >"$2/exporter.log" 2>&1 &
  trap "kill $! 2>/dev/null; wait $!" EXIT
  for _ in $(seq 100); do
    curl -sf http://127.0.0.1:9100/metrics >"$2/metrics" && exit 0
    sleep 0.1
  done
  cat "$2/exporter.log"
  exit 1' - "$work/textfile" "$work"
series=$(grep '^node_textfile_mtime_seconds{' "$work/metrics" | grep 'report-collector.prom' |
  cut -d' ' -f1)
[ -n "$series" ] || { echo "node_exporter gave no mtime for the file:"; cat "$work/metrics"; exit 1; }
file=$(sed 's/.*file="\([^"]*\)".*/\1/' <<<"$series")
echo "node_exporter gives: $series"
cat >"$work/exporter-test.yml" <<TEST
rule_files:
  - $rules
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - series: '${series%\}}, instance="greenhouse:9100"}'
        values: '0x10'
    alert_rule_test:
      - eval_time: 10m
        alertname: BoardMetricsOld
        exp_alerts:
          - exp_labels:
              severity: warning
              file: $file
              instance: greenhouse:9100
            exp_annotations:
              summary: "The board metrics of greenhouse:9100 are 10m 0s old"
              description: "report-collector-fleet.timer has not written report-collector.prom for 5 minutes."
TEST
promtool test rules "$work/exporter-test.yml"
echo "alert rules: checked, tested, and matching node_exporter's series"
