#!/usr/bin/env bash
# The window tests' fixture: the prefix prepared, and one X server for them.
#   setup.sh <display dir>
set -euo pipefail
here=$(dirname "$0")
bash "$here/prepare-prefix.sh"
bash "$here/xvfb.sh" start "$1"
