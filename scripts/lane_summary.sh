#!/usr/bin/env bash
# Closing lines of `make test`: which lanes were skipped and why.
# `lane_summary.sh reset` forgets the skips of an earlier run.
. "$(dirname "$0")/setup_lib.sh"
if [ "${1:-}" = reset ]; then
  rm -f "$setup_lanes_file"
elif [ -s "$setup_lanes_file" ]; then
  echo "make test: lanes skipped:"
  sed 's/^/  /' "$setup_lanes_file"
else
  echo "make test: no lane skipped"
fi
