"""Run N copies of a training script on this machine as one distributed job.

    python -m pretrain_tools.launch --nproc 2 train.py --launcher pytorch
    python -m pretrain_tools.launch --nproc 2 -m pretrain_check --config cfg.py --label-issues

Each copy gets the variables of torch's env:// rendezvous (MASTER_ADDR,
MASTER_PORT, WORLD_SIZE, RANK, LOCAL_RANK), so `--launcher pytorch` works as
under torchrun. On a machine without a usable GPU the copies run on the CPU
over gloo (cpu_child.py), also when the script or its config asks for CUDA
devices and nccl, as the stack's init_dist does; with a GPU the command runs
as given. It also stands in for torchrun on Windows, where the Windows wheel
of torch is built without libuv and torchrun's own rendezvous asks its TCP
store for libuv whatever USE_LIBUV says; the env:// rendezvous of the
processes themselves does without it there. The exit status is the first
non-zero one of the copies, else 0; 130 on Ctrl-C.
"""
import argparse
import contextlib
import os
import signal
import socket
import subprocess
import sys
import warnings
from pathlib import Path

INTERRUPTED = 130
CPU_CHILD = Path(__file__).resolve().with_name("cpu_child.py")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def gpu_usable():
    import torch
    with warnings.catch_warnings():  # a CUDA build without a driver warns, then answers False
        warnings.simplefilter("ignore")
        return torch.cuda.is_available()


def launch(nproc, command):
    if not gpu_usable():
        print(f"pretrain_tools.launch: no usable GPU: {nproc} processes on the CPU over gloo",
              file=sys.stderr, flush=True)
        command = [str(CPU_CHILD), *command]
    shared = dict(os.environ, MASTER_ADDR="127.0.0.1", MASTER_PORT=str(free_port()), WORLD_SIZE=str(nproc))
    shared.setdefault("OMP_NUM_THREADS", "1")  # one thread per process, as under torchrun
    processes = [subprocess.Popen([sys.executable, *command],
                                  env=dict(shared, RANK=str(rank), LOCAL_RANK=str(rank)))
                 for rank in range(nproc)]
    try:
        statuses = [process.wait() for process in processes]
    except KeyboardInterrupt:
        return interrupted(processes)
    return next((status for status in statuses if status), 0)


def interrupted(processes):
    """Ctrl-C: the copies got it too from the terminal (passed on, for a
    SIGINT sent to the launcher alone); each has a second to end."""
    for process in processes:
        with contextlib.suppress(OSError, ValueError):  # ended already; no SIGINT to send on Windows
            process.send_signal(signal.SIGINT)
    for process in processes:
        try:
            process.wait(timeout=1)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    print("pretrain_tools.launch: interrupted", file=sys.stderr, flush=True)
    return INTERRUPTED


def split(argv):
    """(the launcher's own options, the command): the command starts at the
    first word that is not one of them, be it an option such as -m."""
    start = 0
    while start < len(argv) and (argv[start] in ("--nproc", "-h", "--help") or argv[start].startswith("--nproc=")):
        start += 2 if argv[start] == "--nproc" else 1
    return argv[:start], argv[start:]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     usage="%(prog)s [--nproc N] {SCRIPT | -m MODULE} [ARGS...]")
    parser.add_argument("--nproc", type=int, default=2)
    own, command = split(sys.argv[1:] if argv is None else argv)
    args = parser.parse_args(own)
    if not command or command[0] == "-m" and len(command) < 2:
        parser.error("no script or module given")
    return launch(args.nproc, command)


if __name__ == "__main__":
    sys.exit(main())
