"""`LogitAdjustHook`: post-hoc logit adjustment switched on from a config.

The package's `ImageClassifier` subtracts its head's `bias` from the class
scores when it predicts. This hook fills that `bias` (in place, so it stays
the head's registered buffer) with tau * log(prior), the prior being the
class frequencies of the training part. A config reaches it with

    custom_imports = dict(imports=["pretrain_tools"], allow_failed_imports=False)
    custom_hooks = [dict(type="LogitAdjustHook", tau=1.0)]

(`import pretrain_tools` registers it).
"""
import torch
from mmengine.hooks import Hook
from mmengine.model import is_model_wrapper
from mmengine.registry import HOOKS


def training_labels(dataset):
    """The label of every sample of a (possibly wrapped) training dataset."""
    if hasattr(dataset, "get_gt_labels"):
        return torch.as_tensor(dataset.get_gt_labels(), dtype=torch.long)
    return torch.as_tensor([int(dataset.get_data_info(i)["gt_label"]) for i in range(len(dataset))],
                           dtype=torch.long)


def log_prior(labels, num_classes):
    """log(class frequency) per class; 0 for a class with no sample, which is
    then left unadjusted rather than given an unbounded boost."""
    if labels.numel() and int(labels.max()) >= num_classes:
        raise ValueError(f"training label {int(labels.max())} does not fit a head with {num_classes} classes")
    counts = torch.bincount(labels, minlength=num_classes).double()
    prior = counts / counts.sum().clamp_min(1)
    return torch.where(counts > 0, prior.log(), torch.zeros_like(prior)), counts


@HOOKS.register_module()
class LogitAdjustHook(Hook):
    """Before training and before every validation or test run, sets the
    head's `bias` to tau * log(prior of the training part). A run without a
    training part (test only, from a checkpoint) keeps the `bias` it loaded."""

    priority = "NORMAL"

    def __init__(self, tau=1.0):
        self.tau = float(tau)

    def before_train(self, runner):
        self._adjust(runner)

    def before_val(self, runner):
        self._adjust(runner)

    def before_test(self, runner):
        self._adjust(runner)

    def _adjust(self, runner):
        model = runner.model.module if is_model_wrapper(runner.model) else runner.model
        bias = model.head.bias
        if runner.train_loop is None:
            runner.logger.info(f"LogitAdjustHook: no training part, keeping the loaded bias {_show(bias)}")
            return
        if bias.dim() != 1:
            raise ValueError("LogitAdjustHook needs a head with a per-class bias (one with num_classes)")
        values, counts = log_prior(training_labels(runner.train_dataloader.dataset), bias.numel())
        with torch.no_grad():
            bias.copy_(self.tau * values)
        runner.logger.info(f"LogitAdjustHook: tau={self.tau}, training counts {[int(c) for c in counts]}, "
                           f"bias {_show(bias)}")


def _show(bias):
    return [round(float(v), 3) + 0.0 for v in bias.flatten()]  # + 0.0: no "-0.0"
