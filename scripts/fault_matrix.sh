#!/usr/bin/env bash
# The patcher's fault matrix: every fault the patch server, the disk or a
# kill can bring, each followed by a clean run; see fault_matrix.py.
#   scripts/fault_matrix.sh BUILD_DIR [--keep] [--only SUBSTRING]
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [--keep] [--only SUBSTRING]" >&2
  exit 2
fi
exec python3 "$(dirname "$0")/fault_matrix.py" "$@"
