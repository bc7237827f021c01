#!/usr/bin/env bash
# The shipped alert rules and dashboard: promtool accepts the rules and their tests pass; the
# recorded scrape passes promtool's lint; every metric they name is one the service exports.
# Skipped (77) without promtool (Debian's prometheus package).
set -euo pipefail
cd "$(dirname "$0")/../.."
command -v promtool >/dev/null || { echo "skipped: no promtool (Debian's prometheus package)"; exit 77; }
rules=packaging/monitoring/corvel-alerts.yml dashboard=packaging/monitoring/corvel-dashboard.json
scrape=tests/monitoring/scrape.prom
promtool check rules "$rules"
promtool test rules tests/monitoring/corvel-alerts.test.yml
promtool check metrics <"$scrape"
python3 -c 'import json, sys; json.load(open(sys.argv[1]))' "$dashboard"
exported=$(grep -o '^corvel_[a-z_]*' "$scrape" | sort -u)
for name in $(grep -oh 'corvel_[a-z_]*' "$rules" "$dashboard" | sort -u); do
  grep -qx "$name" <<<"$exported" || { echo "$name is not in the service's metrics ($scrape)"; exit 1; }
done
echo "rules, their tests and the dashboard agree with the metrics"
