"""One process of a job that `python -m pretrain_tools.launch` starts on a
machine without a usable GPU: runs the script as `__main__` with the set-up
of code written for GPUs turned to the CPU.

    python cpu_child.py SCRIPT ARGS...
    python cpu_child.py -m MODULE ARGS...

Such code (the stack's init_dist, for one) selects a CUDA device per process,
asks for nccl and gives DistributedDataParallel that device's index; here the
device selection does nothing, nccl becomes gloo and the wrapper gets no
device ids, so the job runs on the CPU as written. Started by its path, not
as a module of pretrain_tools, so that nothing else is imported first.
"""
import functools
import os
import runpy
import sys

import torch
import torch.distributed
from torch.nn.parallel import DistributedDataParallel


def on_gloo(init_process_group):
    @functools.wraps(init_process_group)
    def started(backend=None, *args, **kwargs):
        if backend is not None and "nccl" in str(backend):
            backend = "gloo"
        return init_process_group(backend, *args, **kwargs)
    return started


def without_devices(init):
    @functools.wraps(init)
    def wrapped(self, module, device_ids=None, output_device=None, *args, **kwargs):
        init(self, module, None, None, *args, **kwargs)
    return wrapped


def turn_to_cpu():
    torch.cuda.set_device = lambda device: None
    torch.distributed.init_process_group = on_gloo(torch.distributed.init_process_group)
    DistributedDataParallel.__init__ = without_devices(DistributedDataParallel.__init__)


def run(script, *args):
    try:
        if script == "-m":
            module, *args = args
            sys.argv = [module, *args]
            sys.path[0] = os.getcwd()
            runpy.run_module(module, run_name="__main__", alter_sys=True)
        else:
            sys.argv = [script, *args]
            sys.path[0] = os.path.dirname(os.path.abspath(script))
            runpy.run_path(script, run_name="__main__")
    finally:
        # gloo's threads still running when the interpreter tears down end
        # the process in std::terminate (status 250 after a finished run)
        if torch.distributed.is_initialized():
            torch.distributed.destroy_process_group()


if __name__ == "__main__":
    turn_to_cpu()
    run(*sys.argv[1:])
