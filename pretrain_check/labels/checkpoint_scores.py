"""Out-of-sample probabilities of a config's validation and test parts from
a checkpoint trained on its training part (`--checkpoint CKPT`): a model
never trained on those images, so its probabilities judge their labels."""
import contextlib
import copy
import sys

import numpy as np

from .cross_validation import default_work_dir, first_items, hook_tau, part_files, predicted, unique_files, with_epochs
from .prior_adjustment import adjusted

EVALUATED = ("val", "test")


def scored_parts(config, checkpoint, work_dir=None):
    """{part: (paths, labels, classes, probs, adjusted probs)} for the
    validation and test parts the config has (a part that is the other one
    again is scored once)."""
    from mmengine.runner import Runner
    config = with_epochs(config, None)
    cfg = copy.deepcopy(config)
    for key in ("train_dataloader", "train_cfg", "optim_wrapper", "param_scheduler", "resume"):
        cfg.pop(key, None)
    cfg.load_from = str(checkpoint)
    cfg.work_dir = str(work_dir or default_work_dir(config))
    cfg.log_level = "WARNING"
    cfg.experiment_name = "label_issues_checkpoint"
    with contextlib.redirect_stdout(sys.stderr):
        runner = Runner.from_cfg(cfg)
        runner.load_or_resume()
    hook = next((h for h in runner.hooks if type(h).__name__ == "LogitAdjustHook"), None)
    counts = hook.counts.numpy() if hook is not None and hook.counts is not None else None
    scored, seen = {}, set()
    for part in EVALUATED:
        loader = config.get(f"{part}_dataloader")
        if not loader or not loader.get("dataset"):
            continue
        dataset_cfg, item_paths, item_labels, classes = part_files(config, part)
        paths, labels, of_item = unique_files(item_paths, item_labels)
        if tuple(paths) in seen:
            continue
        seen.add(tuple(paths))
        first = first_items(of_item, np.arange(len(paths)))
        loader_cfg = dict(copy.deepcopy(dict(loader)), sampler=dict(type="DefaultSampler", shuffle=False),
                          num_workers=0, persistent_workers=False,
                          dataset=dict(copy.deepcopy(dataset_cfg), indices=first.tolist()))
        with contextlib.redirect_stdout(sys.stderr):
            probs = predicted(runner, loader_cfg)
        scored[part] = (paths, labels, classes, probs,
                        adjusted(probs, counts, hook_tau(runner)) if counts is not None else probs)
    return scored
