#!/usr/bin/env bash
# Counts the instructions of one default run on the bundled example, as
# `make demo` runs it (a scratch copy of examples/, run in its run/ with
# FITS/ present), with valgrind's callgrind: a figure that does not depend
# on the machine's load. Prints the total and the functions that take most.
#
#   bench/instructions.sh [program] [functions shown]
#   (default build/vbsfit and 15; `make instructions` builds it first)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:-$root/build/vbsfit}")
shown=${2:-15}
for tool in valgrind callgrind_annotate; do
  command -v "$tool" >/dev/null || { echo "$tool is needed: apt-get install valgrind" >&2; exit 1; }
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vbsfit-instructions-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cp -r "$root/examples/." "$scratch/"
mkdir -p "$scratch/run/FITS"
if ! (cd "$scratch/run" && valgrind --tool=callgrind --callgrind-out-file="$scratch/callgrind.out" \
        "$program" >"$scratch/stdout" 2>"$scratch/valgrind.log"); then
  echo "the run failed:" >&2
  cat "$scratch/valgrind.log" >&2
  exit 1
fi
total=$(sed -n 's/.*Collected : *\([0-9]*\).*/\1/p' "$scratch/valgrind.log")
echo "instructions: $total"
callgrind_annotate "$scratch/callgrind.out" 2>/dev/null |
  grep -E '^ *[0-9,]+ +\([ 0-9.]+%\) ' | grep -v 'PROGRAM TOTALS' |
  awk -v n="$shown" 'NR <= n' |  # reads to the end: no broken pipe upstream
  sed -E 's/ \[[^]]*\]$//; s/\?\?\?://' | cut -c1-120
