"""A complete Slurm on this one machine, for the cluster tests: a munge
daemon, a controller and a compute daemon, with their configuration, key,
state and logs in one temporary folder and their ports on the loopback
address.

    one_node_slurm.py start RECORD   starts it; RECORD receives its folder
    one_node_slurm.py stop RECORD    stops every process it started

A test finds the cluster through ``SLURM_CONF`` (see :func:`client_env`).
Starting needs root (slurmd runs the jobs as their users); without it,
``start`` exits with :data:`SKIPPED` and says why.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

#: Exit status of ``start`` when this machine cannot run the cluster
#: (CTest's SKIP_RETURN_CODE).
SKIPPED = 77

PARTITION = "talvex"
NODE = "localhost"
# How long the daemons get to come up, and to go away.
START_SECONDS = 30.0
STOP_SECONDS = 15.0
# Seconds between a time limit's TERM and its KILL: short, so that a test
# of the time limit does not wait long, long enough to clean up.
KILL_WAIT_SECONDS = 8
# Memory of a job that asks for none.
DEFAULT_MEGABYTES_PER_CPU = 1024

DAEMONS = ("slurmd", "slurmctld", "munged")


class ClusterFailure(RuntimeError):
    """The cluster could not be started or stopped; the message says what."""


def why_not_runnable() -> str | None:
    """Why this machine cannot run the one-node cluster, or None when it can."""
    if os.geteuid() != 0:
        return "a one-node Slurm needs root: slurmd runs each job as its user"
    for program in ("munged", "slurmctld", "slurmd", "sbatch", "squeue", "scontrol"):
        if shutil.which(program, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin") is None:
            return f"{program} is not installed (Debian: apt-get install slurm-wlm munge)"
    return None


def free_ports(count: int) -> list[int]:
    """Ports free on the loopback address now (kept bound until all are chosen)."""
    sockets = []
    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind(("127.0.0.1", 0))
            sockets.append(s)
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def node_hardware() -> str:
    """The machine's real CPUs and memory, as slurmd itself sees them."""
    done = subprocess.run([sbin("slurmd"), "-C"], capture_output=True, text=True, check=True)
    first = done.stdout.splitlines()[0].split()
    return " ".join(field for field in first if not field.startswith("NodeName="))


def sbin(program: str) -> str:
    return shutil.which(program, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin") or program


def slurm_conf(folder: pathlib.Path, controller_port: int, node_port: int) -> str:
    return "\n".join(
        [
            "ClusterName=talvextest",
            f"SlurmctldHost={NODE}",
            f"SlurmctldPort={controller_port}",
            f"SlurmdPort={node_port}",
            "SlurmUser=root",
            "SlurmdUser=root",
            "AuthType=auth/munge",
            "CredType=cred/munge",
            f"AuthInfo=socket={folder / 'munge' / 'munge.socket'}",
            "ProctrackType=proctrack/linuxproc",
            "TaskPlugin=task/none",
            "SelectType=select/cons_tres",
            "SelectTypeParameters=CR_Core_Memory",
            f"DefMemPerCPU={DEFAULT_MEGABYTES_PER_CPU}",
            "JobAcctGatherType=jobacct_gather/none",
            "AccountingStorageType=accounting_storage/none",
            "JobCompType=jobcomp/none",
            "MpiDefault=none",
            "SwitchType=switch/none",
            "SchedulerType=sched/backfill",
            "ReturnToService=2",
            f"KillWait={KILL_WAIT_SECONDS}",
            "InactiveLimit=0",
            "MinJobAge=600",
            "MaxArraySize=10001",
            f"StateSaveLocation={folder / 'state'}",
            f"SlurmdSpoolDir={folder / 'spool'}",
            f"SlurmctldPidFile={folder / 'slurmctld.pid'}",
            f"SlurmdPidFile={folder / 'slurmd.pid'}",
            f"SlurmctldLogFile={folder / 'log' / 'slurmctld.log'}",
            f"SlurmdLogFile={folder / 'log' / 'slurmd.log'}",
            f"PlugStackConfig={folder / 'plugstack.conf'}",
            f"NodeName={NODE} NodeAddr=127.0.0.1 {node_hardware()} State=UNKNOWN",
            f"PartitionName={PARTITION} Nodes={NODE} Default=YES MaxTime=INFINITE State=UP",
            "",
        ]
    )


def client_env(folder: pathlib.Path, base: dict | None = None) -> dict:
    """The environment of a Slurm client (sbatch, squeue, ...) of the cluster in ``folder``."""
    env = dict(os.environ if base is None else base)
    env["SLURM_CONF"] = str(folder / "slurm.conf")
    for name in list(env):
        # A client run from inside some other job must not mistake it for its own.
        if name.startswith("SLURM_") and name != "SLURM_CONF":
            del env[name]
    return env


def read_pid(path: pathlib.Path) -> int | None:
    try:
        return int(path.read_text().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie has ended; only its parent's wait is missing.
    try:
        state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state != "Z"


def wait_until(condition, seconds: float, what: str):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.2)
    raise ClusterFailure(f"{what} within {seconds:.0f} s")


def log_tail(path: pathlib.Path, lines: int = 15) -> str:
    try:
        return "\n".join(path.read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return f"(no {path.name})"


def node_state(folder: pathlib.Path) -> str:
    done = subprocess.run(
        ["sinfo", "-h", "-n", NODE, "-o", "%T"],
        capture_output=True,
        text=True,
        env=client_env(folder),
    )
    return done.stdout.strip() if done.returncode == 0 else ""


def start(folder: pathlib.Path) -> None:
    """Starts munged, slurmctld and slurmd for a new cluster in ``folder``,
    and returns once the node takes jobs. On a failure, stops what it started."""
    for sub in ("munge", "state", "spool", "log"):
        (folder / sub).mkdir(parents=True, exist_ok=True)
    (folder / "munge").chmod(0o700)
    key = folder / "munge" / "munge.key"
    key.write_bytes(os.urandom(1024))
    key.chmod(0o600)
    (folder / "plugstack.conf").write_text("")
    controller_port, node_port = free_ports(2)
    (folder / "slurm.conf").write_text(slurm_conf(folder, controller_port, node_port))
    conf = str(folder / "slurm.conf")
    try:
        munge = folder / "munge"
        subprocess.run(
            [
                sbin("munged"),
                "--force",
                f"--socket={munge / 'munge.socket'}",
                f"--key-file={key}",
                f"--pid-file={munge / 'munged.pid'}",
                f"--log-file={folder / 'log' / 'munged.log'}",
                f"--seed-file={munge / 'munged.seed'}",
            ],
            check=True,
            capture_output=True,
            text=True,
        )
        wait_until(
            lambda: read_pid(munge / "munged.pid"), START_SECONDS, "munged wrote no pid file"
        )
        subprocess.run(
            [sbin("slurmctld"), "-f", conf, "-i"],
            check=True,
            capture_output=True,
            text=True,
            env=client_env(folder),
        )
        wait_until(
            lambda: read_pid(folder / "slurmctld.pid"), START_SECONDS, "slurmctld wrote no pid file"
        )
        subprocess.run(
            [sbin("slurmd"), "-f", conf, "-N", NODE],
            check=True,
            capture_output=True,
            text=True,
            env=client_env(folder),
        )
        wait_until(
            lambda: read_pid(folder / "slurmd.pid"), START_SECONDS, "slurmd wrote no pid file"
        )
        wait_until(
            lambda: node_state(folder) == "idle", START_SECONDS, "the node did not become idle"
        )
    except (subprocess.CalledProcessError, ClusterFailure) as failure:
        detail = getattr(failure, "stderr", "") or ""
        logs = "\n".join(
            f"--- {name}\n{log_tail(folder / 'log' / name)}"
            for name in ("munged.log", "slurmctld.log", "slurmd.log")
        )
        stop(folder)
        raise ClusterFailure(
            f"the one-node Slurm did not start: {failure}\n{detail}\n{logs}"
        ) from failure


def processes_of(folder: pathlib.Path) -> list[int]:
    """Processes left by the cluster in ``folder``: job processes (their
    environment names its configuration) and step daemons (which hold its
    spool folder open)."""
    marks = (f"SLURM_CONF={folder / 'slurm.conf'}".encode(), str(folder / "spool").encode())
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            environ = (entry / "environ").read_bytes()
            cmdline = (entry / "cmdline").read_bytes()
        except OSError:
            continue
        if marks[0] in environ.split(b"\0") or (
            cmdline.startswith(b"slurmstepd") and marks[1] in environ
        ):
            found.append(int(entry.name))
            continue
        if cmdline.startswith(b"slurmstepd"):
            try:
                if str(entry / "cwd") and os.readlink(entry / "cwd").startswith(str(folder)):
                    found.append(int(entry.name))
            except OSError:
                pass
    return found


def end(pid: int, seconds: float) -> None:
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + seconds
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    if alive(pid):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def stop(folder: pathlib.Path) -> None:
    """Cancels every job, stops the daemons started in ``folder`` and every
    process they left, and removes the folder."""
    env = client_env(folder)
    if read_pid(folder / "slurmctld.pid") and alive(read_pid(folder / "slurmctld.pid")):
        subprocess.run(["scancel", "--full", "--user", "root"], env=env, capture_output=True)
        subprocess.run(["scancel", "--user", "root"], env=env, capture_output=True)
        try:
            wait_until(
                lambda: subprocess.run(
                    ["squeue", "-h"], env=env, capture_output=True, text=True
                ).stdout.strip()
                == "",
                KILL_WAIT_SECONDS + STOP_SECONDS,
                "jobs still running",
            )
        except ClusterFailure:
            pass
    pid_files = {
        "slurmd": folder / "slurmd.pid",
        "slurmctld": folder / "slurmctld.pid",
        "munged": folder / "munge" / "munged.pid",
    }
    for pid in processes_of(folder):
        end(pid, STOP_SECONDS)
    for daemon in DAEMONS:
        pid = read_pid(pid_files[daemon])
        if pid is not None and daemon_named(pid, daemon):
            end(pid, STOP_SECONDS)
    for pid in processes_of(folder):
        end(pid, STOP_SECONDS)
    shutil.rmtree(folder, ignore_errors=True)


def daemon_named(pid: int, name: str) -> bool:
    """Whether ``pid`` is still the daemon that wrote it (pids are reused)."""
    try:
        return pathlib.Path(f"/proc/{pid}/comm").read_text().strip() == name
    except OSError:
        return False


def main(argv: list[str]) -> int:
    if len(argv) != 3 or argv[1] not in ("start", "stop"):
        print(f"usage: {argv[0]} start|stop RECORD", file=sys.stderr)
        return 2
    record = pathlib.Path(argv[2])
    if argv[1] == "start":
        reason = why_not_runnable()
        if reason:
            print(f"skipped: {reason}", file=sys.stderr)
            return SKIPPED
        folder = pathlib.Path(tempfile.mkdtemp(prefix="talvex-slurm-"))
        record.write_text(f"{folder}\n")
        try:
            start(folder)
        except ClusterFailure as failure:
            print(failure, file=sys.stderr)
            return 1
        print(f"one-node Slurm up in {folder}", file=sys.stderr)
        return 0
    try:
        folder = pathlib.Path(record.read_text().strip())
    except OSError:
        return 0  # nothing was started
    if folder.is_dir():
        stop(folder)
    record.unlink(missing_ok=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
