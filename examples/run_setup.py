"""What the demo scripts share: loading a config with a run's overrides, the
console set-up, and a config for evaluating a saved checkpoint in a fresh runner."""
import copy
import logging
import os
import sys
from pathlib import Path

import torch
import torch.distributed as dist
from mmengine.config import Config

EXAMPLES = Path(__file__).resolve().parent
REPO = EXAMPLES.parent
# The example config; the package ships it, and `pretrain-sample-data --config DIR` writes it out.
DIGITS_CONFIG = REPO / "pretrain_tools" / "configs" / "digits.py"


def sample_data_dir():
    return Path(os.environ.get("PRETRAIN_SAMPLE_DATA") or REPO / "data" / "digits")


def configure_console():
    # SplitData reports each split on the root logger at level INFO.
    logging.basicConfig(level=logging.INFO, format="%(message)s", stream=sys.stdout)
    if "OMP_NUM_THREADS" not in os.environ:  # torchrun sets it for its processes
        torch.set_num_threads(min(2, os.cpu_count() or 1))


def load_config(path, *, work_dir, epochs=None, launcher="none"):
    """`path` loaded by mmengine (its custom_imports included), with the data
    root, work directory, number of epochs and launcher of this run."""
    cfg = Config.fromfile(str(path))
    cfg.work_dir = str(work_dir)
    for loader in (cfg.train_dataloader, cfg.val_dataloader):
        loader.dataset.data_root = str(sample_data_dir())
    if epochs is not None:
        cfg.train_cfg.max_epochs = epochs
        cfg.train_cfg.val_interval = max(1, epochs // 2)
        cfg.default_hooks.checkpoint.interval = epochs
        for scheduler in cfg.param_scheduler:
            scheduler.T_max = epochs
    cfg.launcher = launcher
    if launcher != "none" and not torch.cuda.is_available():
        _start_cpu_process_group(cfg)
    return cfg


def without_code_layout(cfg):
    """`cfg` as a Config that the Runner logs and saves without laying it out
    with yapf, which takes longer than a short training for configs with
    dozens of dataset parts (examples/long_tail.py)."""
    return Config(cfg.to_dict(), format_python_code=False)


def _start_cpu_process_group(cfg):
    # mmengine's own set-up selects a CUDA device per rank; on a machine without
    # one the group is started here (mmengine then uses it as it is) and the
    # model wrapper is told that the model lives on the CPU.
    if not dist.is_initialized():
        dist.init_process_group(backend=cfg.env_cfg.dist_cfg.get("backend", "gloo"))
    cfg.model_wrapper_cfg = dict(type="MMDistributedDataParallel", device_ids=None, broadcast_buffers=False)


def evaluation_config(cfg, checkpoint):
    """A copy of `cfg` without its training part that loads `checkpoint`."""
    cfg = copy.deepcopy(cfg)
    for key in ("train_dataloader", "train_cfg", "optim_wrapper", "param_scheduler"):
        cfg[key] = None
    cfg.load_from = str(checkpoint)
    cfg.resume = False
    return cfg
