#!/usr/bin/env python3
"""A vbsfit study on a one-node Slurm cluster, submitted as a user submits it.

examples/slurm/submit.sh submits the study as a 3-task job array plus the job
that joins the shares' reports. The joined tables must equal those of the same
study run by one vbsfit-batch (every column but the timings) and every results
file must be byte-identical; a configuration with a missing input fails only
its own row. A share cancelled while it runs leaves no partial results file,
and submitting the study again completes it: kept rows plus the rest. A share
whose report cannot be written whole fails its task (the join does not run).

Usage: slurm_study_test.py --build BUILD_DIR [--sanitized] [--batch VBSFIT_BATCH]
Exit status 0 when it passed, 1 when it failed, 77 when skipped.
"""

import argparse
import csv
import errno
import filecmp
import os
import re
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import slurm_cluster  # noqa: E402

SKIPPED = 77  # CTest's SKIP_RETURN_CODE for this test
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUBMIT = os.path.join(SOURCE, "examples", "slurm", "submit.sh")
SHARES = 3
TABLES = ("runs.csv", "coefficients.csv", "fits.csv")
TIMING_COLUMNS = {"seconds"}
JOB_TIMEOUT = 60  # seconds; a study here takes a few

# The study: three species, two scenarios, two tags, and two configurations of
# their own: one whose inputs do not exist (it fails with message 29), and one
# with inputs of its own, replaced by a FIFO in the study that is cancelled, so
# that its share stops there until the test cancels it. The FIFO sits in the
# middle of the run set, so that the share has fitted something before it and
# has something left after it however the shares are dealt.
GRID = [(s, n, t) for s in ("OLE2_OH", "API_OH", "TOL") for n in ("0.1", "0.5")
        for t in ("allgas", "no6")]
MISSING = ("lim", "0.1", "allgas")
STALLED = ("xyl", "0.3", "allgas")
PLAN = GRID[:2] + [MISSING] + GRID[2:6] + [STALLED] + GRID[6:]


def results_name(config):
    return "fit6_coef.%s.%s.%s" % config


def precursor_file(study, config):
    species, scenario, _ = config
    return os.path.join(study, "INPUTS_ODE", "5days", "%s_aer.%s" % (scenario, species),
                        "aer.precursor")


def make_study(build, where):
    """The inputs of every configuration but MISSING, made by vbsgen, with a
    working directory run/ holding FITS and the plan."""
    for seed, (species, scenario) in enumerate(sorted({c[:2] for c in PLAN if c != MISSING})):
        subprocess.run([os.path.join(build, "vbsgen"), "--species", species, "--scenario",
                        scenario, "--seed", str(seed + 1), "--output", where],
                       check=True, stdout=subprocess.DEVNULL)
    os.makedirs(os.path.join(where, "run", "FITS"))
    with open(os.path.join(where, "run", "study.plan"), "w") as f:
        f.write("# species,scenario,tag\n" + "".join("%s,%s,%s\n" % c for c in PLAN))


def read_table(path):
    """A CSV table as a list of rows (dicts), without the timing columns."""
    with open(path, newline="") as f:
        return [{k: v for k, v in row.items() if k not in TIMING_COLUMNS}
                for row in csv.DictReader(f)]


def config_of(row):
    return (row["species"], row["scenario"], row["tag"])


def differing_files(left, right):
    """The relative paths of the files whose bytes differ between two trees,
    or that exist in one only."""
    compared = filecmp.dircmp(left, right)
    _, differ, unreadable = filecmp.cmpfiles(left, right, compared.common_files, shallow=False)
    differ += unreadable + compared.left_only + compared.right_only + compared.common_funny
    for sub in compared.common_dirs:
        differ += [os.path.join(sub, p) for p in differing_files(os.path.join(left, sub),
                                                                 os.path.join(right, sub))]
    return differ


class Study:
    """One study directory and its submissions to the cluster."""

    def __init__(self, cluster, batch, where):
        self.cluster = cluster
        self.batch = batch
        self.root = where
        self.run = os.path.join(where, "run")
        self.fits = os.path.join(self.run, "FITS")
        self.report = os.path.join(self.run, "vbsfit-report")

    def submit(self):
        """examples/slurm/submit.sh study.plan 3, as a user types it; returns
        the array job's and the joining job's ids."""
        r = subprocess.run([SUBMIT, "study.plan", str(SHARES)], cwd=self.run,
                           env=dict(self.cluster.env, VBSFIT_BATCH=self.batch),
                           capture_output=True, text=True)
        check(r.returncode == 0, "submit.sh failed: " + r.stderr)
        array = re.search(r"^array job (\d+)", r.stdout, re.M)
        merge = re.search(r"^joining job (\d+)", r.stdout, re.M)
        check(array and merge, "submit.sh printed no job ids: " + r.stdout)
        return array.group(1), merge.group(1)

    def shard_report(self, k):
        return os.path.join(self.run, "vbsfit-report-shards", "%d-of-%d" % (k, SHARES))

    def job_output(self):
        """The jobs' standard output and error files, for a failure message."""
        text = ""
        for name in sorted(os.listdir(self.run)):
            if name.endswith(".out"):
                with open(os.path.join(self.run, name), errors="replace") as f:
                    text += "--- %s:\n%s" % (name, f.read())
        return text

    def expect_finished(self, array, merge, merge_status):
        """Waits for the study's jobs; every share must have ended well and the
        join with merge_status."""
        states = self.cluster.wait([array, merge], JOB_TIMEOUT)
        tasks = {"%s_%d" % (array, k) for k in range(1, SHARES + 1)}
        check(set(states) == tasks | {merge}, "unexpected job records: %s" % states)
        for task in sorted(tasks):
            check(states[task][0] == "COMPLETED",
                  "%s ended %s\n%s" % (task, states[task], self.job_output()))
        check(self.cluster.exit_code(merge) == (merge_status, 0),
              "the joining job ended %s, exit %s, not %d\n%s"
              % (states[merge], self.cluster.exit_code(merge), merge_status, self.job_output()))


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def single_run_as_expected(reference):
    """The one-machine run: every configuration fitted but the one without inputs."""
    rows = {config_of(r): r for r in read_table(os.path.join(reference, "runs.csv"))}
    check(set(rows) == set(PLAN), "the single run's runs.csv: %s" % sorted(rows))
    failed = {c for c, r in rows.items() if r["state"] != "succeeded"}
    check(failed == {MISSING}, "failed in the single run: %s, expected only %s" % (failed, MISSING))
    check(rows[MISSING]["exit_status"] == "29", "without inputs: %s" % rows[MISSING])


def joined_equals_single_run(study, reference, kept=frozenset()):
    """The joined tables equal the one-machine run's but for the seconds and,
    for the configurations whose results files were kept, the state (kept) and
    the exit status (none); the runs' outputs and every results file are
    identical."""
    for table in TABLES:
        joined = read_table(os.path.join(study.report, table))
        single = read_table(os.path.join(reference, table))
        for row in single:
            if table == "runs.csv" and results_name(config_of(row)) in kept:
                row.update(state="kept", exit_status="")
        first = next((n for n, (a, b) in enumerate(zip(joined, single)) if a != b),
                     min(len(joined), len(single)))
        check(joined == single, "%s: the joined table differs from the single run's at row "
              "%d:\n  joined %s\n  single %s" % (table, first + 1, joined[first:first + 1],
                                                 single[first:first + 1]))
    differ = differing_files(os.path.join(reference, "runs"), os.path.join(study.report, "runs"))
    check(not differ, "runs' outputs differ from the single run's: %s" % differ)
    differ = differing_files(os.path.join(os.path.dirname(reference), "FITS"), study.fits)
    check(not differ, "results files differ from the single run's: %s" % differ)


def cancelled_share_then_resubmitted(cluster, study, reference, pristine, shares):
    """Cancels the share that waits on the FIFO, checks what it left, submits
    the study again and checks that it completes with kept rows."""
    stalled_share = shares[STALLED]
    fifo = precursor_file(study.root, STALLED)
    os.remove(fifo)
    os.mkfifo(fifo)
    array, merge = study.submit()
    task = "%s_%d" % (array, stalled_share)

    writer = None

    def stalled():  # its share's vbsfit-batch has opened the FIFO and waits
        nonlocal writer
        try:
            writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            return True
        except OSError as e:
            if e.errno != errno.ENXIO:
                raise
            return False
    check(slurm_cluster.wait_until(stalled, JOB_TIMEOUT), "no share opened the FIFO")
    try:
        check(cluster.jobs(task).get(task, ("",))[0] == "RUNNING", "%s is not running" % task)
        own = [c for c in PLAN if shares[c] == stalled_share]
        before = own[:own.index(STALLED)]
        check(before and {results_name(c) for c in before} <= set(os.listdir(study.fits)),
              "share %d had fitted nothing before the FIFO (of %s)" % (stalled_share, before))
        cluster.run(["scancel", task])
        states = cluster.wait([array, merge], JOB_TIMEOUT)
    finally:
        if writer is not None:
            os.close(writer)
    check(states[task][0] == "CANCELLED", "%s ended %s" % (task, states[task]))
    check(states[merge][0] == "CANCELLED", "the joining job was not cancelled: %s"
          % (states[merge],))

    def job_processes():
        return [p for p in slurm_cluster.marked_processes(cluster.marker)
                if slurm_cluster.daemon_of(p) is None]
    check(slurm_cluster.wait_until(lambda: not job_processes(), 10),
          "processes of the cancelled share still run: %s" % job_processes())

    kept = set(os.listdir(study.fits))
    single_fits = os.path.join(os.path.dirname(reference), "FITS")
    check(results_name(STALLED) not in kept, "the cancelled configuration left a results file")
    check(not [n for n in kept if not filecmp.cmp(os.path.join(study.fits, n),
                                                  os.path.join(single_fits, n), shallow=False)],
          "a results file differs from the single run's (a partial file?): %s" % sorted(kept))
    check(kept < {results_name(c) for c in PLAN}, "nothing was left to do after the cancel")

    os.remove(fifo)
    shutil.copyfile(os.path.join(pristine, os.path.relpath(fifo, study.root)), fifo)
    array, merge = study.submit()
    study.expect_finished(array, merge, 1)
    joined_equals_single_run(study, reference, kept)


def unwritten_share_then_resubmitted(study, reference, pristine):
    """A share whose report cannot be written whole (its fits.csv is a
    directory with a file in it) fails its task, and the join does not run;
    once the obstacle is gone, the study submitted again completes, keeping
    every fit the first submission made."""
    obstacle = os.path.join(study.shard_report(2), "fits.csv")
    os.makedirs(os.path.join(obstacle, "in the way"))
    array, merge = study.submit()
    states = study.cluster.wait([array, merge], JOB_TIMEOUT)
    task = "%s_2" % array
    check(states[task][0] == "FAILED" and study.cluster.exit_code(task) == (1, 0),
          "the share whose report was not whole ended %s, exit %s\n%s"
          % (states[task], study.cluster.exit_code(task), study.job_output()))
    check(not os.path.exists(os.path.join(study.shard_report(2), "runs.csv")),
          "the share whose report was not whole left a runs.csv")
    check(states[merge][0] == "CANCELLED", "the joining job was not cancelled: %s"
          % (states[merge],))
    shutil.rmtree(obstacle)
    kept = set(os.listdir(study.fits))
    array, merge = study.submit()
    study.expect_finished(array, merge, 1)
    joined_equals_single_run(study, reference, kept)


def shares_of(study):
    """{configuration: share} from the shares' own reports."""
    shares = {}
    for k in range(1, SHARES + 1):
        for row in read_table(os.path.join(study.shard_report(k), "runs.csv")):
            shares[config_of(row)] = k
    check(set(shares) == set(PLAN), "the shares do not cover the plan: %s" % shares)
    return shares


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="the build directory")
    parser.add_argument("--sanitized", action="store_true",
                        help="the build uses the sanitizers: skip")
    parser.add_argument("--batch", help="vbsfit-batch (default BUILD/vbsfit-batch)")
    args = parser.parse_args()
    if args.sanitized:
        print("SKIPPED: slurm_study runs in the plain build only; vbsfit-batch's own "
              "tests run under the sanitizers")
        return SKIPPED
    why = slurm_cluster.unavailable()
    if why:
        print("SKIPPED: slurm_study: " + why)
        return SKIPPED
    build = os.path.abspath(args.build)
    batch = os.path.abspath(args.batch or os.path.join(build, "vbsfit-batch"))
    for program in (batch, os.path.join(build, "vbsgen")):
        check(os.access(program, os.X_OK), "%s is not built" % program)

    started = time.monotonic()
    with slurm_cluster.Cluster() as cluster:
        marker, scratch = cluster.marker, cluster.scratch
        pristine = os.path.join(scratch, "pristine")
        make_study(build, pristine)
        # Every run in one directory, study/: vbsfit's messages name the full
        # path of a missing input. The single run first, then moved aside.
        study = Study(cluster, batch, os.path.join(scratch, "study"))
        shutil.copytree(pristine, study.root)
        single = subprocess.run([batch, "--plan", "study.plan", "-j", "2"], cwd=study.run,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        check(single.returncode == 1, "the single run ended %d:\n%s"
              % (single.returncode, single.stderr))
        os.rename(study.root, os.path.join(scratch, "single"))
        reference = os.path.join(scratch, "single", "run", "vbsfit-report")
        single_run_as_expected(reference)

        shutil.copytree(pristine, study.root)
        array, merge = study.submit()
        study.expect_finished(array, merge, 1)
        joined_equals_single_run(study, reference)
        print("joined tables and results files equal the single run's (%.1f s)"
              % (time.monotonic() - started), flush=True)

        shares = shares_of(study)
        os.rename(study.root, os.path.join(scratch, "first"))
        shutil.copytree(pristine, study.root)
        cancelled_share_then_resubmitted(cluster, study, reference, pristine, shares)
        print("cancelled share left no partial file; resubmitted study completed (%.1f s)"
              % (time.monotonic() - started), flush=True)

        os.rename(study.root, os.path.join(scratch, "second"))
        shutil.copytree(pristine, study.root)
        unwritten_share_then_resubmitted(study, reference, pristine)
        print("a share whose report was not whole failed its task; resubmitted study "
              "completed (%.1f s)" % (time.monotonic() - started), flush=True)

    left = slurm_cluster.marked_processes(marker)
    check(not left and not os.path.exists(scratch),
          "left behind: processes %s, scratch directory %s" % (left, os.path.exists(scratch)))
    print("passed in %.1f s, cluster start and stop included; nothing left behind"
          % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (AssertionError, slurm_cluster.ClusterError) as e:
        print("FAILED: %s" % e, file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt as e:
        print("INTERRUPTED (%s); the cluster is stopped" % (e or "Ctrl-C"), file=sys.stderr)
        sys.exit(130)
