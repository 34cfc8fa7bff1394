#!/usr/bin/env bash
# vbsfit-batch against prebuilt per-configuration vbsfit binaries: the same
# 100 configurations (5 species x 5 scenarios x 4 tags) of simulated runs,
# fitted by `vbsfit-batch -j 2` (its whole report: tables and pages), by
# `vbsfit-batch -j 2 --no-pages` (tables only) and by 100 vbsfit binaries,
# one built for each configuration, through `xargs -P 2`, once with their
# output discarded and once kept in a file per run. The four take turns,
# ROUNDS times each; the medians of wall and CPU time and the ratios are
# printed. Not a test: run it on an otherwise idle machine.
#
#   bench/batch_vs_binaries.sh [ROUNDS]      (default 9)
#
# The binaries are built in build-bench-batch/ with the cache variable
# VBSFIT_PREBUILT_PLAN (the first run builds 100 of them: a minute or two).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-9}
build=$root/build-bench-batch
work=$(mktemp -d "${TMPDIR:-/tmp}/vbsfit-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

species=(OLE2_OH API_OH TOL ISO_OH c12)
scenarios=(0.05 0.1 0.2 0.5 1.0)
tags=(allgas no6 no56 static)

mkdir -p "$build"
plan=$build/bench.plan
: >"$plan.new"
for s in "${species[@]}"; do
  for c in "${scenarios[@]}"; do
    for t in "${tags[@]}"; do echo "$s,$c,$t" >>"$plan.new"; done
  done
done
# Rewritten only when it changes, so that the binaries are not rebuilt.
cmp -s "$plan.new" "$plan" || mv "$plan.new" "$plan"
rm -f "$plan.new"
count=$(wc -l <"$plan")

echo "building vbsfit-batch, vbsgen and $count vbsfit binaries in $build ..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVBSFIT_TESTS=OFF \
  -DVBSFIT_PREBUILT_PLAN="$plan" >/dev/null
cmake --build "$build" -j 2 >/dev/null
binaries=()
for ((n = 1; n <= count; n++)); do binaries+=("$build/vbsfit_plan_$n"); done

seed=1
for s in "${species[@]}"; do
  for c in "${scenarios[@]}"; do
    "$build/vbsgen" --species "$s" --scenario "$c" --seed $((seed++)) --output "$work" >/dev/null
  done
done

# run_batch / run_binaries DIR: the 100 runs in the working directory DIR,
# made fresh beside the inputs (the batch's report goes into it). Every round
# has fresh directories, as a new study does: deleting hundreds of files
# between rounds would make the file system's inode allocation, not the
# fitting, the thing measured.
run_batch() {
  "$build/vbsfit-batch" --plan "$plan" -j 2 --workdir "$1"
}
run_tables() {
  "$build/vbsfit-batch" --plan "$plan" -j 2 --workdir "$1" --no-pages
}
run_binaries() {
  printf '%s\n' "${binaries[@]}" | xargs -P 2 -n 1 env -C "$1"
}
# As a script that keeps each run's standard output and error would: what
# the batch keeps in its report.
run_logged() {
  mkdir -p "$1/logs"
  printf '%s\n' "${binaries[@]}" |
    xargs -P 2 -I{} sh -c 'cd "$1" && exec "$2" >"logs/${2##*/}.out" 2>"logs/${2##*/}.err"' sh "$1" {}
}
# measure WAY DIR: "wall-seconds cpu-seconds" (CPU of all processes: user +
# system), after checking that every configuration got its results file.
measure() {
  mkdir -p "$2/FITS"
  local TIMEFORMAT='%3R %3U %3S' times
  times=$({ time "$1" "$2" >/dev/null 2>&1; } 2>&1)
  [ "$(ls "$2/FITS" | wc -l)" -eq "$count" ] || { echo "$1: results missing" >&2; exit 1; }
  echo "$times" | awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }'
}

# Both ways give the same results files.
measure run_batch "$work/check-batch" >/dev/null
measure run_binaries "$work/check-binaries" >/dev/null
diff -r "$work/check-batch/FITS" "$work/check-binaries/FITS" >/dev/null ||
  { echo "results differ" >&2; exit 1; }

ways=(batch tables binaries logged)
declare -A wall cpu
for ((r = 1; r <= rounds; r++)); do
  # Each round in another order, so that no way always follows the same one.
  for ((k = 0; k < ${#ways[@]}; k++)); do
    way=${ways[$(((r + k) % ${#ways[@]}))]}
    read -r w c < <(measure "run_$way" "$work/$way-$r")
    wall[$way]+="$w " cpu[$way]+="$c "
  done
done
median() { printf '%s\n' $@ | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
declare -A mw mc
for way in "${ways[@]}"; do mw[$way]=$(median ${wall[$way]}) mc[$way]=$(median ${cpu[$way]}); done
echo "$count configurations, $rounds rounds each, medians (wall / CPU of all processes):"
echo "  vbsfit-batch -j 2, tables and pages:       ${mw[batch]} s / ${mc[batch]} s"
echo "  vbsfit-batch -j 2 --no-pages, tables:      ${mw[tables]} s / ${mc[tables]} s"
echo "  binaries, xargs -P 2, output discarded:    ${mw[binaries]} s / ${mc[binaries]} s"
echo "  binaries, xargs -P 2, output kept in files: ${mw[logged]} s / ${mc[logged]} s"
for mine in batch tables; do
  for way in binaries logged; do
    awk -v bw="${mw[$mine]}" -v xw="${mw[$way]}" -v bc="${mc[$mine]}" -v xc="${mc[$way]}" \
      -v way="$way" -v mine="$mine" \
      'BEGIN { printf "  ratio %s / %s: wall %.3f, CPU %.3f\n", mine, way, bw / xw, bc / xc }'
  done
done
