#!/usr/bin/env bash
# A whole study of N configurations on simulated data, timed as a user runs
# it: 13 species x N/52 scenarios x 4 tags (allgas, no6, no56, static), one
# vbsgen simulation per species and scenario, then one `vbsfit-batch -j J`
# over the plan, with its pages unless PAGES=0. Prints the batch's wall time,
# its CPU time (its own and its children's), the ratio of the wall time to
# CPU time / J (1 when the J cores never wait), the report's bytes per
# configuration (all of it, and without the runs' captured output and the
# pages), the batch's peak resident memory, and the wall time of two reruns
# of the same command: one that keeps every configuration by the study's
# record (nothing changed), and one that must refit every configuration in
# memory to keep it (every input file touched). FORMAT (fixed, csv or
# netcdf; default fixed) is how the runs are stored (vbsgen --format,
# vbsfit-batch --input-format), so that the formats' costs can be compared
# on the same study. Not a test: run it on an otherwise idle machine.
#
#   bench/study.sh N [J] [FORMAT]   (J defaults to the CPUs available)
#   NOISE=0.001 bench/study.sh N     simulations with 0.1 % relative noise
#                                    (vbsgen --noise; default none)
#   make bench-study N=1000
#
# The scratch directory is under TMPDIR (default /tmp) and removed at the end,
# unless KEEP=1: then it is kept and named, to look into the report.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:?usage: bench/study.sh N [JOBS] [FORMAT]}
jobs=${2:-$(nproc)}
format=${3:-fixed}
case "$format" in
  fixed) inputs=INPUTS_ODE ;;
  csv) inputs=INPUTS_CSV ;;
  netcdf) inputs=INPUTS_NETCDF ;;
  *) echo "FORMAT must be fixed, csv or netcdf, not '$format'" >&2; exit 2 ;;
esac
build=${BUILD:-$root/build}
pages=${PAGES:-1}
noise=${NOISE:-0}
for program in vbsgen vbsfit-batch; do
  [ -x "$build/$program" ] || { echo "no $build/$program: run make program first" >&2; exit 1; }
done

species=(c12 C16 ALK4 c18 c22 TOL xyl API_OH lim TERP_OH ISO_OH OLE1_OH OLE2_OH)
tags=(allgas no6 no56 static)
per_scenario=$(( ${#species[@]} * ${#tags[@]} ))
scenarios=$(( (count + per_scenario - 1) / per_scenario ))

work=$(mktemp -d "${TMPDIR:-/tmp}/vbsfit-study-XXXXXX")
if [ "${KEEP:-0}" = 1 ]; then
  echo "scratch directory (kept): $work"
else
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/run/FITS"

# The plan: the first N configurations of the product, scenario slowest.
plan=$work/study.plan
made=0
: >"$plan"
for ((c = 1; c <= scenarios; ++c)); do
  scenario=$(printf '0.%04d' "$c")
  for s in "${species[@]}"; do
    for t in "${tags[@]}"; do
      ((made < count)) || break 3
      echo "$s,$scenario,$t" >>"$plan"
      made=$((made + 1))
    done
  done
done
echo "simulating $(cut -d, -f1,2 "$plan" | sort -u | wc -l) runs for $count configurations ..."
seed=0
cut -d, -f1,2 "$plan" | sort -u | while IFS=, read -r s c; do
  seed=$((seed + 1))
  "$build/vbsgen" --species "$s" --scenario "$c" --seed "$seed" --noise "$noise" \
    --output "$work" --format "$format" >/dev/null
done

options=(--plan "$plan" --workdir "$work/run" --report "$work/report" -j "$jobs"
         --input-format "$format")
[ "$pages" = 1 ] || options+=(--no-pages)
echo "fitting: vbsfit-batch ${options[*]//$work\//}"
/usr/bin/time -f '%e %U %S %M' -o "$work/time" "$build/vbsfit-batch" "${options[@]}" \
  >/dev/null 2>"$work/summary" || { cat "$work/summary"; exit 1; }
read -r wall user system peak_kb <"$work/time"
report_bytes=$(du -sb "$work/report" | cut -f1)
record_bytes=$(du -cb "$work/report/study.sqlite"* | tail -n 1 | cut -f1)
output_bytes=$(du -sb "$work/report/runs" | cut -f1)
page_bytes=$(find "$work/report" -maxdepth 1 -name '*.html' -printf '%s\n' | awk '{s += $1} END {print s + 0}')
rerun() {
  /usr/bin/time -f '%e' -o "$work/time" "$build/vbsfit-batch" "${options[@]}" \
    >/dev/null 2>"$work/summary" || { cat "$work/summary"; exit 1; }
  cat "$work/time"
}
kept_wall=$(rerun)
find "$work/$inputs" -type f -exec touch {} +
refit_wall=$(rerun)
awk -v n="$count" -v j="$jobs" -v format="$format" -v wall="$wall" -v user="$user" -v sys="$system" \
    -v bytes="$report_bytes" -v record="$record_bytes" -v peak="$peak_kb" -v output="$output_bytes" \
    -v pages="$page_bytes" \
    -v kept="$kept_wall" -v refit="$refit_wall" 'BEGIN {
  cpu = user + sys
  printf "configurations   %d (-j %d, %s)\n", n, j, format
  printf "wall time        %.2f s\n", wall
  printf "CPU time         %.2f s (batch and children)\n", cpu
  printf "wall / (CPU/j)   %.2f\n", wall / (cpu / j)
  printf "report           %.1f kB per configuration\n", bytes / n / 1000
  printf "  without pages and captured output  %.1f kB per configuration\n", (bytes - output - pages) / n / 1000
  printf "  captured output  %.1f kB, pages %.1f kB per configuration\n", output / n / 1000, pages / n / 1000
  printf "  study record (its fits with their results files)  %.1f kB per configuration\n", record / n / 1000
  printf "peak RSS         %.1f MB (largest process)\n", peak / 1024
  printf "rerun, kept by the record   %.2f s\n", kept
  printf "rerun, every one refitted   %.2f s\n", refit
}'
