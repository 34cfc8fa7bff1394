"""A one-node Slurm cluster on this machine, for tests.

Cluster() starts munged, slurmctld and slurmd as root, each with its own key,
socket, state, log and pid files under a fresh scratch directory, listening on
127.0.0.1 only, on ports found free at start. As a context manager it stops
everything it started whatever happens (a failing assertion, an exception,
Ctrl-C, SIGTERM): jobs are cancelled first, then the daemons are shut down,
then every process that still carries the cluster's marker in its environment
(the daemons, and any job step the shutdown left running) is signalled by its
pid, and the scratch directory is removed. The marker is set in the
environment of the daemons and of every client command, so the jobs inherit it
too, and no process of anybody else can carry it. A watchdog process does the
same clean-up if the test process itself is killed (SIGKILL from a timeout).
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

DAEMONS = ("munged", "slurmctld", "slurmd")
CLIENTS = ("sbatch", "squeue", "scancel", "scontrol", "sinfo")
PACKAGES = "slurmctld slurmd slurm-client munge"
SBIN_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# A Unix socket path holds at most 107 bytes; munged's own limit is a little
# lower. The scratch directory moves to /tmp when TMPDIR is too deep for it.
MAX_SOCKET_PATH = 100
# Job states after which a job does nothing more.
FINAL_STATES = {"COMPLETED", "FAILED", "CANCELLED", "TIMEOUT", "NODE_FAIL",
                "OUT_OF_MEMORY", "BOOT_FAIL", "DEADLINE", "PREEMPTED"}


class ClusterError(Exception):
    """The cluster could not be started or did not answer."""


def unavailable():
    """Why this machine cannot run the cluster, with how to fix it; None if it can."""
    path = os.environ.get("PATH", "") + ":" + SBIN_PATH
    missing = [p for p in DAEMONS + CLIENTS if shutil.which(p, path=path) is None]
    if missing:
        return ("Slurm and munge are not installed (missing: %s). Install them with "
                "`make deps` as root, or: apt-get install -y --no-install-recommends %s"
                % (" ".join(missing), PACKAGES))
    if os.geteuid() != 0:
        return "the one-node Slurm cluster runs its daemons as root; run the test as root"
    return None


def free_port():
    """A TCP port of 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def process_state(pid):
    """The state letter of a process (R, S, Z, ...), None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            stat = f.read()
    except OSError:
        return None
    return stat[stat.rindex(b")") + 2:][:1].decode()


def alive(pid):
    return process_state(pid) not in (None, "Z", "X")


def marked_processes(marker):
    """Pids of the live processes whose environment holds the marker variable."""
    needle = b"\0" + marker.encode() + b"\0"
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                environ = f.read()
        except OSError:
            continue  # gone, or a zombie
        if needle in b"\0" + environ:
            pid = int(name)
            if alive(pid):
                found.append(pid)
    return found


def listening_addresses(pids):
    """The "address:port" of every TCP socket that the processes listen on."""
    inodes = set()
    for pid in pids:
        try:
            for fd in os.listdir("/proc/%d/fd" % pid):
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
                if target.startswith("socket:["):
                    inodes.add(target[8:-1])
        except OSError:
            continue
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[3] == "0A" and fields[9] in inodes:  # 0A: LISTEN
                    address, port = fields[1].split(":")
                    if len(address) == 8:  # IPv4, in host (little-endian) byte order
                        address = ".".join(str(b) for b in reversed(bytes.fromhex(address)))
                    found.append("%s:%d" % (address, int(port, 16)))
    return found


def wait_until(predicate, timeout, step=0.05):
    """Polls predicate until it is true (returns True) or timeout seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


def make_scratch():
    """A fresh scratch directory, shallow enough for munged's socket path."""
    scratch = tempfile.mkdtemp(prefix="vbsfit-slurm.")
    if len(scratch) + len("/munge/socket") > MAX_SOCKET_PATH:
        os.rmdir(scratch)
        scratch = tempfile.mkdtemp(prefix="vbsfit-slurm.", dir="/tmp")
    return os.path.realpath(scratch)


def node_hardware():
    """The CPU and memory fields that `slurmd -C` reports for this machine."""
    out = subprocess.run(["slurmd", "-C"], env={"PATH": SBIN_PATH}, check=True,
                         capture_output=True, text=True).stdout
    fields = dict(re.findall(r"(\w+)=(\S+)", out.splitlines()[0]))
    keep = ("CPUs", "Boards", "SocketsPerBoard", "CoresPerSocket", "ThreadsPerCore",
            "RealMemory")
    return " ".join("%s=%s" % (k, fields[k]) for k in keep if k in fields)


SLURM_CONF = """\
# One node on 127.0.0.1, written by the cluster test; everything in {scratch}.
ClusterName=vbsfit
SlurmctldHost={host}(127.0.0.1)
SlurmctldPort={ctld_port}
SlurmdPort={slurmd_port}
CommunicationParameters=NoInAddrAny,NoCtldInAddrAny
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={scratch}/munge/socket
StateSaveLocation={scratch}/state
SlurmdSpoolDir={scratch}/spool
SlurmctldPidFile={scratch}/slurmctld.pid
SlurmdPidFile={scratch}/slurmd.pid
SlurmctldLogFile={scratch}/slurmctld.log
SlurmdLogFile={scratch}/slurmd.log
PlugStackConfig={scratch}/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SchedulerType=sched/builtin
SchedulerParameters=batch_sched_delay=0
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
KillWait=5
InactiveLimit=0
NodeName={node} NodeAddr=127.0.0.1 NodeHostname={host} {hardware} State=UNKNOWN
PartitionName=test Nodes={node} Default=YES MaxTime=INFINITE State=UP
"""


class Cluster:
    """munged, slurmctld and slurmd under a scratch directory; see the module text."""

    node = "vbsnode"

    def __init__(self, log=sys.stderr):
        self.log = log
        self.scratch = make_scratch()
        self.marker = "VBSFIT_TEST_CLUSTER=" + self.scratch
        self.conf = os.path.join(self.scratch, "slurm.conf")
        self.children = []
        self.watchdog = None
        self.started = time.monotonic()
        # The environment of the daemons and of every client command.
        self.env = {"PATH": os.environ.get("PATH", "") + ":" + SBIN_PATH,
                    "SLURM_CONF": self.conf, "LANG": "C", "VBSFIT_TEST_CLUSTER": self.scratch}

    # --- start -----------------------------------------------------------------

    def __enter__(self):
        # Ctrl-C, a terminal hang-up or SIGTERM end the test through the clean-up,
        # even where the caller started it with SIGINT ignored.
        self._previous_handlers = {s: signal.signal(s, _raise_interrupt)
                                   for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
        try:
            self._start_watchdog()
            self._start_munged()
            for attempt in range(5):
                if self._start_slurm():
                    break
                self.say("ports taken, choosing others (attempt %d)" % (attempt + 2))
            else:
                raise ClusterError("slurmctld/slurmd could not bind free ports")
            addresses = listening_addresses(marked_processes(self.marker))
            if not addresses or any(not a.startswith("127.0.0.1:") for a in addresses):
                raise ClusterError("the daemons must listen on 127.0.0.1 only, not on %s"
                                   % addresses)
        except BaseException as e:
            self.__exit__(type(e), e, None)
            raise
        self.say("cluster up in %.1f s, listening on %s"
                 % (time.monotonic() - self.started, " ".join(addresses)))
        return self

    def __exit__(self, kind, value, traceback):
        try:
            self.stop(failed=kind is not None)
        finally:
            for s, handler in self._previous_handlers.items():
                signal.signal(s, handler)
        return False

    def say(self, text):
        print("cluster: " + text, file=self.log, flush=True)

    def _spawn(self, argv, name):
        """Starts a daemon in the foreground, in a session of its own (so that a
        Ctrl-C at the terminal reaches the test, which then stops it in order)."""
        out = open(os.path.join(self.scratch, name + ".out"), "wb")
        child = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=subprocess.STDOUT, start_new_session=True)
        out.close()
        self.children.append(child)
        return child

    def _start_munged(self):
        munge = os.path.join(self.scratch, "munge")
        os.mkdir(munge)
        os.chmod(self.scratch, 0o755)  # munged wants every directory above its socket searchable
        os.chmod(munge, 0o755)
        key = os.path.join(munge, "key")
        fd = os.open(key, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        os.write(fd, os.urandom(1024))
        os.close(fd)
        sock = os.path.join(munge, "socket")
        munged = self._spawn(
            ["munged", "--foreground", "--socket=" + sock, "--key-file=" + key,
             "--pid-file=" + os.path.join(munge, "pid"), "--log-file=" + os.path.join(munge, "log"),
             "--seed-file=" + os.path.join(munge, "seed"), "--num-threads=2"], "munged")
        if not wait_until(lambda: os.path.exists(sock) or munged.poll() is not None, 10) \
                or munged.poll() is not None:
            raise ClusterError("munged did not start:\n" + self.tail("munge/log")
                               + self.tail("munged.out"))

    def _start_slurm(self):
        """Writes the configuration with two free ports and starts the Slurm
        daemons; False when a port was taken in the meantime (nothing left running)."""
        for sub in ("state", "spool"):
            shutil.rmtree(os.path.join(self.scratch, sub), ignore_errors=True)
            os.mkdir(os.path.join(self.scratch, sub), 0o755)
        ctld_port = free_port()
        slurmd_port = free_port()
        while slurmd_port == ctld_port:
            slurmd_port = free_port()
        with open(os.path.join(self.scratch, "plugstack.conf"), "w"):
            pass
        with open(self.conf, "w") as f:
            f.write(SLURM_CONF.format(scratch=self.scratch, host=socket.gethostname().split(".")[0],
                                      node=self.node, ctld_port=ctld_port,
                                      slurmd_port=slurmd_port, hardware=node_hardware()))
        ctld = self._start_daemon(["slurmctld", "-D", "-i", "-f", self.conf], self._ping)
        if ctld is None:
            return False
        slurmd = self._start_daemon(["slurmd", "-D", "-N", self.node, "-f", self.conf],
                                    self._node_ready)
        if slurmd is None:
            self._stop_slurm_daemons()
            return False
        return True

    def _start_daemon(self, argv, ready):
        """Starts a Slurm daemon and waits until ready() holds; None when its
        port was taken (the daemon is then stopped and its log set aside)."""
        name = argv[0]
        log = os.path.join(self.scratch, name + ".log")

        def bind_failed():
            try:
                with open(log, errors="replace") as f:
                    return "Address already in use" in f.read()
            except OSError:
                return False
        daemon = self._spawn(argv, name)
        if not wait_until(lambda: daemon.poll() is not None or bind_failed() or ready(), 15):
            raise ClusterError("%s not ready after 15 s:\n%s" % (name, self.tail(name + ".log")))
        if bind_failed():
            # It has given up already; some of its threads take seconds to notice.
            daemon.kill()
            daemon.wait()
            os.rename(log, "%s.%d" % (log, daemon.pid))
            return None
        if daemon.poll() is not None:
            raise ClusterError("%s ended at start with status %d:\n%s%s"
                               % (name, daemon.returncode, self.tail(name + ".log"),
                                  self.tail(name + ".out")))
        return daemon

    def _ask(self, argv):
        """A client command's standard output, or None when it failed or took
        over a second (something else listening on the port does not answer)."""
        try:
            r = self.run(argv, check=False, timeout=1)
        except subprocess.TimeoutExpired:
            return None
        return r.stdout if r.returncode == 0 else None

    def _ping(self):
        return " is UP" in (self._ask(["scontrol", "ping"]) or "")

    def _node_ready(self):
        state = self._ask(["sinfo", "-h", "-n", self.node, "-o", "%T"]) or ""
        return state.strip() in ("idle", "mixed", "allocated")

    def _start_watchdog(self):
        """Forks a process of its own session that waits for the test process to
        end; if it ends without having stopped the cluster, the watchdog does."""
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # the intermediate child: detach, so the watchdog outlives the test
            try:
                os.close(write_end)
                os.setsid()
                if os.fork() == 0:
                    self._watch(read_end)
            finally:
                os._exit(0)
        os.close(read_end)
        os.waitpid(pid, 0)
        # Not inherited by the daemons (os.pipe's descriptors never are): when
        # this process ends, the watchdog reads the end of the pipe.
        self.watchdog = write_end

    def _watch(self, read_end):
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        os.closerange(0, read_end)
        os.closerange(read_end + 1, 1024)
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        self.log = open(os.devnull, "w")
        self.children = []
        message = b""
        while True:
            chunk = os.read(read_end, 64)
            if not chunk:
                break
            message += chunk
        if message != b"stopped":
            self._teardown()
        os._exit(0)

    # --- jobs ------------------------------------------------------------------

    def run(self, argv, check=True, **kwargs):
        """Runs a client command against this cluster (SLURM_CONF set)."""
        r = subprocess.run(argv, env=self.env, capture_output=True, text=True, **kwargs)
        if check and r.returncode != 0:
            raise ClusterError("%s failed with status %d:\n%s%s"
                               % (" ".join(argv), r.returncode, r.stdout, r.stderr))
        return r

    def jobs(self, job_ids):
        """{job or array-task id: (state, reason)} of the given jobs (ids or
        ID_TASK, comma-separated), finished ones included (slurmctld keeps them
        for MinJobAge seconds)."""
        out = self.run(["squeue", "-h", "--states=all", "-o", "%i|%T|%r", "-j", job_ids]).stdout
        return {i: (state, reason) for i, state, reason in
                (line.split("|") for line in out.splitlines() if line)}

    def exit_code(self, job_id):
        """The exit status of a finished job (array tasks as ID_TASK), or None."""
        out = self.run(["scontrol", "-o", "show", "job", str(job_id)]).stdout
        m = re.search(r"\bExitCode=(\d+):(\d+)", out)
        return None if m is None else (int(m.group(1)), int(m.group(2)))

    def wait(self, job_ids, timeout=60):
        """Waits until every given job (array tasks included) has finished;
        returns {id: (state, reason)} of all their records."""
        ids = ",".join(str(j) for j in job_ids)
        result = {}

        def done():
            nonlocal result
            result = self.jobs(ids)
            return all(state in FINAL_STATES for state, _ in result.values())
        if not wait_until(done, timeout, step=0.1):
            raise ClusterError("jobs %s not finished after %d s: %s" % (ids, timeout, result))
        return result

    # --- stop ------------------------------------------------------------------

    def tail(self, name, lines=30):
        try:
            with open(os.path.join(self.scratch, name), errors="replace") as f:
                return "--- %s:\n%s" % (name, "".join(f.readlines()[-lines:]))
        except OSError:
            return ""

    def stop(self, failed=False):
        """Stops everything the cluster started, then removes the scratch
        directory; on a failure shows the end of the daemons' logs first.
        Raises ClusterError if something had to be killed or is still alive."""
        handlers = {s: signal.signal(s, signal.SIG_IGN) for s in (signal.SIGINT, signal.SIGTERM)}
        try:
            if failed:
                for name in ("slurmctld.log", "slurmd.log", "munge/log"):
                    text = self.tail(name)
                    if text:
                        self.log.write(text)
            problems = self._teardown()
            if self.watchdog is not None:
                try:
                    os.write(self.watchdog, b"stopped")
                except OSError:
                    pass  # the watchdog is gone already
                os.close(self.watchdog)
                self.watchdog = None
            self.say("stopped; %.1f s since start" % (time.monotonic() - self.started))
        finally:
            for s, handler in handlers.items():
                signal.signal(s, handler)
        if problems:
            self.say("clean-up: " + "; ".join(problems))
            if not failed:
                raise ClusterError("; ".join(problems))

    def _teardown(self):
        """Cancel, shut down, sweep, remove; returns what did not go cleanly.
        Runs in the test process or in the watchdog; works from the marker only."""
        problems = []
        if self._ping():
            self.run(["scancel", "--quiet", "--user=root"], check=False)
            if not wait_until(self._no_jobs, 15, step=0.1):
                problems.append("jobs still active 15 s after scancel")
        self._stop_slurm_daemons()
        for sig, grace in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
            pids = marked_processes(self.marker)
            if not pids:
                break
            if sig == signal.SIGKILL:
                problems.append("killed processes left running: %s" % pids)
            for pid in pids:
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            wait_until(lambda: not any(alive(p) for p in pids), grace)
        for child in self.children:
            try:
                child.wait(timeout=5)
            except subprocess.TimeoutExpired:
                problems.append("pid %d did not end" % child.pid)
        left = marked_processes(self.marker)
        if left:
            problems.append("processes still alive: %s" % left)
        else:
            shutil.rmtree(self.scratch, ignore_errors=True)
        return problems

    def _no_jobs(self):
        r = self.run(["squeue", "-h", "-o", "%i"], check=False)
        return r.returncode != 0 or r.stdout.strip() == ""

    def _stop_slurm_daemons(self):
        """Stops slurmctld and slurmd: `scontrol shutdown` when slurmctld answers,
        SIGTERM when it does not or they outlive the request. Their pids are read
        first: the shutdown deletes the pid files and the daemons linger as
        zombies for a moment, so only the process state tells when they ended."""
        daemons = [p for p in marked_processes(self.marker)
                   if daemon_of(p) in ("slurmctld", "slurmd")]
        if self._ping() and self._ask(["scontrol", "shutdown"]) is not None \
                and wait_until(lambda: not any(alive(p) for p in daemons), 10):
            return
        for pid in daemons:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        wait_until(lambda: not any(alive(p) for p in daemons), 10)


def daemon_of(pid):
    """Which of DAEMONS the process runs (slurmctld also for its helper
    slurmscriptd, which renames itself), None for any other program."""
    try:
        program = os.readlink("/proc/%d/exe" % pid)
    except OSError:
        return None
    for name in DAEMONS:
        path = shutil.which(name, path=SBIN_PATH)
        if path is not None and os.path.realpath(path) == program:
            return name
    return None


def _raise_interrupt(signum, frame):
    raise KeyboardInterrupt("signal %d" % signum)
