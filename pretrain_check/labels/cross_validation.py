"""Out-of-sample class probabilities for every image of a config's training
part, by K-fold cross-validation: K models trained with the config's own
model, pipeline and schedule through the stack's Runner, each on K-1 folds
(stratified by class), each predicting the fold it did not see.

Every finished fold is kept in the work directory under a digest of the file
list, the labels and the config, written atomically: a rerun reuses the
finished folds, and a fold interrupted half-way is trained again. Processes
working on the same store share the folds (fold_claims.py).

mmengine and the stack are imported only when a run starts."""
import contextlib
import copy
import hashlib
import json
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import fold_claims
from .prior_adjustment import adjusted

SEED = 0


class WrappedPart(ValueError):
    """A part whose dataset wraps others (RepeatDataset, ConcatDataset...):
    its items cannot be chosen by the folds."""


@dataclass
class OutOfSample:
    paths: list             # sorted, one per file
    labels: np.ndarray      # given class per file
    classes: list           # class names, by label
    probs: np.ndarray       # N x C, the model's own probabilities
    adjusted: np.ndarray    # N x C, logit-adjusted with each fold's training prior and tau


def stratified_folds(labels, folds, seed=SEED):
    """Fold number per item: each class's items shuffled and dealt round the
    folds, each class starting where the previous one stopped."""
    rng = np.random.default_rng(seed)
    assigned = np.empty(len(labels), dtype=np.int64)
    start = 0
    for label in np.unique(labels):
        members = rng.permutation(np.flatnonzero(labels == label))
        assigned[members] = (start + np.arange(len(members))) % folds
        start = (start + len(members)) % folds
    return assigned


def with_epochs(config, epochs):
    """A copy of the config (its default scope set) trained for `epochs`,
    its schedule compressed to them: a scheduler that ends or turns at
    the config's last epoch does so at the new last one, milestones scaled."""
    from mmengine.registry import init_default_scope
    init_default_scope(config.get("default_scope", "mmpretrain"))
    config = copy.deepcopy(config)
    before = config.train_cfg.get("max_epochs")
    if not epochs or not before:
        return config
    config.train_cfg["max_epochs"] = epochs
    schedulers = config.get("param_scheduler") or []
    for scheduler in schedulers if isinstance(schedulers, (list, tuple)) else [schedulers]:
        for key in ("T_max", "end"):
            if scheduler.get(key) == before:
                scheduler[key] = epochs
        if scheduler.get("milestones"):
            scheduler["milestones"] = [max(1, m * epochs // before) for m in scheduler["milestones"]]
    return config


def training_files(config):
    """(sorted paths, their labels, class names) of the training part."""
    _, item_paths, item_labels, classes = part_files(config)
    paths, labels, _ = unique_files(item_paths, item_labels)
    return paths, labels, classes


def part_files(config, part="train"):
    """(dataset config, per dataset item its path, per item its label, class
    names) of one part of the config."""
    from mmpretrain.registry import DATASETS
    dataset_cfg = config[f"{part}_dataloader"]["dataset"]
    if "dataset" in dataset_cfg or "datasets" in dataset_cfg:
        raise WrappedPart(f"the {part} part is a wrapped dataset ({dataset_cfg.get('type')}); "
                         "label issues need the dataset itself")
    with contextlib.redirect_stdout(sys.stderr):
        dataset = DATASETS.build(copy.deepcopy(dataset_cfg))
        dataset.full_init()
    infos = [dataset.get_data_info(i) for i in range(len(dataset))]
    names = list(dataset.metainfo.get("classes") or [])
    labels = np.array([int(info["gt_label"]) for info in infos], dtype=np.int64)
    classes = names if len(names) > labels.max(initial=-1) else [str(i) for i in range(labels.max() + 1)]
    return dataset_cfg, [os.fspath(info["img_path"]) for info in infos], labels, classes


def unique_files(item_paths, item_labels):
    """Sorted unique paths, their labels, and per dataset item its file's position."""
    paths = sorted(set(item_paths))
    position = {path: i for i, path in enumerate(paths)}
    labels = np.zeros(len(paths), dtype=np.int64)
    of_item = np.array([position[p] for p in item_paths], dtype=np.int64)
    labels[of_item] = item_labels
    return paths, labels, of_item


def digest(config, paths, labels, folds):
    text = json.dumps([config.to_dict(), paths, labels.tolist(), folds], sort_keys=True, default=repr)
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def default_work_dir(config):
    return Path(config.get("work_dir") or Path("work_dirs") / Path(config.filename).stem) / "label_issues"


@dataclass
class FoldPlan:
    """What training the folds of a config needs, and where they are kept."""
    config: object          # with the epochs asked for
    dataset_cfg: dict
    classes: list
    paths: list
    labels: np.ndarray
    of_item: np.ndarray     # per dataset item its file's position
    fold_of: np.ndarray     # per file its fold
    store: Path
    folds: int

    @classmethod
    def of(cls, config, folds, epochs, work_dir):
        config = with_epochs(config, epochs)
        dataset_cfg, item_paths, item_labels, classes = part_files(config)
        paths, labels, of_item = unique_files(item_paths, item_labels)
        store = Path(work_dir or default_work_dir(config)) / digest(config, paths, labels, folds)
        store.mkdir(parents=True, exist_ok=True)
        return cls(config, dataset_cfg, classes, paths, labels, of_item, stratified_folds(labels, folds), store,
                   folds)

    @property
    def saved(self):
        return [self.store / f"fold_{fold}.npz" for fold in range(self.folds)]

    def train(self, fold, say, began):
        held = np.flatnonzero(self.fold_of == fold)
        trained_on = np.flatnonzero(self.fold_of[self.of_item] != fold)
        say(f"fold {fold + 1}/{self.folds}: training on {len(trained_on)} images, "
            f"then predicting {len(held)} ({time.perf_counter() - began:.0f} s so far)")
        raw, counts, tau = train_and_predict(self.config, self.dataset_cfg, trained_on,
                                             first_items(self.of_item, held), self.store / f"fold_{fold}", fold,
                                             len(self.classes))
        save_atomically(self.saved[fold], positions=held, probs=raw, counts=counts, tau=tau)


def out_of_sample(config, folds=5, epochs=None, work_dir=None, say=None):
    """OutOfSample of a loaded config's training part; `say` gets the
    progress lines. Folds other processes hold (fold_claims.py) are waited
    for."""
    say = say or (lambda line: print(line, file=sys.stderr, flush=True))
    plan = FoldPlan.of(config, folds, epochs, work_dir)
    began = time.perf_counter()
    for fold, saved in enumerate(plan.saved):
        if saved.exists():
            say(f"fold {fold + 1}/{folds}: reusing {saved}")
    trained = train_folds(plan, say, began)
    probs = np.zeros((len(plan.paths), len(plan.classes)))
    adjusted_probs = np.zeros_like(probs)
    for saved in plan.saved:
        found = np.load(saved)
        probs[found["positions"]] = found["probs"]
        adjusted_probs[found["positions"]] = adjusted(found["probs"], found["counts"], float(found["tau"]))
    say(f"{folds} folds done in {time.perf_counter() - began:.0f} s ({trained_here(trained)}); "
        f"probabilities in {plan.store}")
    return OutOfSample(plan.paths, plan.labels, plan.classes, probs, adjusted_probs)


def train_folds(plan, say, began=None):
    """Trains the plan's folds this process claims until every fold is
    saved; returns the ones it trained."""
    began = time.perf_counter() if began is None else began
    return fold_claims.shared(plan.saved, lambda fold: plan.train(fold, say, began), say)


def trained_here(folds):
    if not folds:
        return "no fold trained here"
    return f"fold{'s' * (len(folds) > 1)} {', '.join(str(k + 1) for k in folds)} trained here"


def first_items(of_item, files):
    """A dataset item for each of the given files (its first)."""
    first = {}
    for item, file in enumerate(of_item):
        first.setdefault(int(file), item)
    return np.array([first[int(f)] for f in files], dtype=np.int64)


def save_atomically(target, **arrays):
    partial = target.with_name(target.name + ".partial.npz")
    np.savez(partial, **arrays)
    os.replace(partial, target)


def fold_config(config, dataset_cfg, items, work_dir, fold):
    """The config trained on the given dataset items alone: no validation,
    test or checkpoints."""
    cfg = copy.deepcopy(config)
    cfg.train_dataloader["dataset"] = dict(copy.deepcopy(dataset_cfg), indices=items.tolist())
    for key in ("val_dataloader", "val_cfg", "val_evaluator", "test_dataloader", "test_cfg", "test_evaluator",
                "load_from"):
        cfg.pop(key, None)
    cfg.resume = False
    cfg.default_hooks = dict(cfg.get("default_hooks") or {}, checkpoint=None)
    cfg.work_dir = str(work_dir)
    cfg.experiment_name = f"fold_{fold}"
    cfg.launcher = "none"  # one process per fold, also among the copies of a launch
    cfg.log_level = "WARNING"
    return cfg


def prediction_loader(config, dataset_cfg, items):
    """The held-out items with the evaluation pipeline and batch size."""
    evaluation = config.get("val_dataloader") or config.get("test_dataloader") or config.train_dataloader
    loader = copy.deepcopy(dict(evaluation))
    dataset = dict(copy.deepcopy(dataset_cfg), indices=items.tolist())
    if evaluation.get("dataset", {}).get("pipeline") is not None:
        dataset["pipeline"] = copy.deepcopy(evaluation["dataset"]["pipeline"])
    loader.update(dataset=dataset, sampler=dict(type="DefaultSampler", shuffle=False),
                  num_workers=0, persistent_workers=False)
    return loader


def train_and_predict(config, dataset_cfg, train_items, held_items, work_dir, fold, classes):
    """(the model's probabilities of the held-out items before any logit
    adjustment, the training counts, the tau the LogitAdjustHook used: 0
    without one)."""
    from mmengine.runner import Runner
    with contextlib.redirect_stdout(sys.stderr):
        runner = Runner.from_cfg(fold_config(config, dataset_cfg, train_items, work_dir, fold))
        runner.train()
        raw = predicted(runner, prediction_loader(config, dataset_cfg, held_items))
    counts = np.bincount(np.asarray(runner.train_dataloader.dataset.get_gt_labels()), minlength=classes)
    return raw, counts, hook_tau(runner)


def hook_tau(runner):
    """The tau LogitAdjustHook used, 0 without one (or when its loss adjusted)."""
    hook = next((h for h in runner.hooks if type(h).__name__ == "LogitAdjustHook"), None)
    return float(hook.tau_in_use) if hook is not None and hook.counts is not None else 0.0


def predicted(runner, loader_cfg):
    """The runner's model's class probabilities of the loader's items, in
    order, without the head's bias (the scores before logit adjustment)."""
    import torch
    from mmengine.runner import Runner
    model = runner.model.module if hasattr(runner.model, "module") else runner.model
    bias = getattr(model.head, "bias", None)
    model.eval()
    scores = []
    with torch.no_grad():
        for batch in Runner.build_dataloader(loader_cfg):
            scores.extend(sample.pred_score.double().cpu() for sample in model.test_step(batch))
    logits = torch.stack(scores).clamp_min(1e-30).log()
    if bias is not None and bias.dim() == 1:
        logits = logits + bias.detach().double().cpu()
    return torch.softmax(logits, dim=1).numpy()
