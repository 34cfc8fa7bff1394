#!/bin/bash
# Submits a vbsfit study to Slurm: a job array of N shares (study.sbatch) and
# the job that joins their reports when all have ended well (merge.sbatch).
#
#   examples/slurm/submit.sh PLAN N [SBATCH OPTION]...
#
# The sbatch options (--chdir, --partition, --time, --cpus-per-task, ...) go
# to both jobs. Run it from the study's working directory or give --chdir;
# set VBSFIT_BATCH (and VBSFIT_REPORT) as study.sbatch describes. It prints
# the two job ids. If a share fails or is cancelled, Slurm cancels the
# joining job; submitting the same command again finishes the study.
set -euo pipefail

if [ $# -lt 2 ] || ! [[ $2 =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: submit.sh PLAN N [SBATCH OPTION]..." >&2
  exit 2
fi
plan=$1
shards=$2
shift 2
here=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)

array=$(sbatch --parsable --array="1-$shards" "$@" "$here/study.sbatch" "$plan")
array=${array%%;*}  # sbatch adds ";CLUSTER" on a multi-cluster set-up
merge=$(sbatch --parsable --dependency="afterok:$array" --kill-on-invalid-dep=yes "$@" \
  "$here/merge.sbatch" "$shards")
merge=${merge%%;*}
echo "array job $array: $shards shares of $plan"
echo "joining job $merge: the joined report in ${VBSFIT_REPORT:-vbsfit-report}"
