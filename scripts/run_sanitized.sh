#!/usr/bin/env bash
# Runs a command against the AddressSanitizer + UndefinedBehaviorSanitizer
# build of both libraries, bounded in time:
#   bash scripts/run_sanitized.sh SECONDS command...
# Fails when the command fails, runs out of time, or any process it started
# (children included) wrote a sanitizer report.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
limit=$1; shift
env_lines=$(bash "$here/scripts/sanitizer_env.sh") || exit 1
eval "$env_lines"
reports=$(mktemp -d "${TMPDIR:-/tmp}/sanitizer-reports.XXXXXX")
export ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$reports/asan"
export UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan"
started=$(date +%s)
timeout --kill-after=10 "$limit" "$@"
status=$?
echo "sanitized run: $(( $(date +%s) - started )) s, exit status $status"
[ $status -eq 124 ] && echo "sanitized run: stopped after $limit s"
if compgen -G "$reports/*" >/dev/null; then
  echo "sanitized run: sanitizer reports:"
  for f in "$reports"/*; do echo "== $f"; head -60 "$f"; done
  status=1
fi
rm -rf "$reports"
exit $status
