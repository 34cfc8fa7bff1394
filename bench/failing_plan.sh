#!/usr/bin/env bash
# A plan of N configurations whose runs all fail at once (their inputs are
# missing), fitted by one `vbsfit-batch -j J --no-pages`: what the batch
# itself costs per configuration, without the fits. Prints the wall time,
# the CPU time (the batch and its children), both per configuration, and
# the batch's peak resident memory; the time per configuration should not
# grow with N. Not a test: run it on an otherwise idle machine.
#
#   bench/failing_plan.sh N [J]        (J defaults to the CPUs available)
#
# The scratch directory is under TMPDIR (default /tmp) and removed at the end.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:?usage: bench/failing_plan.sh N [JOBS]}
jobs=${2:-$(nproc)}
build=${BUILD:-$root/build}
[ -x "$build/vbsfit-batch" ] || { echo "no $build/vbsfit-batch: run make program first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vbsfit-failing-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run/FITS"
awk -v n="$count" 'BEGIN { for (i = 0; i < n; ++i) printf "c12,%d.%05d,allgas\n", int(i / 100000), i % 100000 }' \
  >"$work/plan"
status=0
/usr/bin/time -f '%e %U %S %M' -o "$work/time" "$build/vbsfit-batch" --plan "$work/plan" \
  --workdir "$work/run" --report "$work/report" -j "$jobs" --no-pages >/dev/null 2>"$work/summary" ||
  status=$?
# Every run fails, so the batch ends with status 1.
[ "$status" = 1 ] || { tail -5 "$work/summary"; exit 1; }
read -r wall user system peak_kb < <(tail -1 "$work/time")
awk -v n="$count" -v j="$jobs" -v wall="$wall" -v user="$user" -v sys="$system" -v peak="$peak_kb" 'BEGIN {
  printf "configurations   %d failing at once (-j %d)\n", n, j
  printf "wall time        %.2f s, %.3f ms per configuration\n", wall, wall / n * 1000
  printf "CPU time         %.2f s, %.3f ms per configuration\n", user + sys, (user + sys) / n * 1000
  printf "peak RSS         %.1f MB (largest process)\n", peak / 1024
}'
