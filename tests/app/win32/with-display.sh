#!/usr/bin/env bash
# Runs a command on the run's X server (xvfb.sh), when there is one.
#   with-display.sh <dir> <command> [arguments...]
set -euo pipefail
dir=$1
shift
if [ -s "$dir/display" ]; then
  export DISPLAY=":$(tr -d '[:space:]' <"$dir/display")"
fi
exec "$@"
