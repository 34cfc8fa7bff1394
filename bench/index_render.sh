#!/usr/bin/env bash
# The index of a report in headless Chromium: its bytes, the time to load
# and render it (its own script included), and the time of a click sort and
# a filter; see bench/index_render.py for what each figure measures.
#
#   bench/index_render.sh REPORT_DIR [--runs N] [--screenshot FILE]
#
# A report of 10,000 configurations to try it on: KEEP=1 bench/study.sh 10000
# keeps its scratch directory; the report is its report/ folder.
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/index_render.py" "$@"
