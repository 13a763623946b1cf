"""`LogitAdjustHook`: logit adjustment switched on from a config.

The package's `ImageClassifier` subtracts its head's `bias` from the class
scores when it predicts. This hook fills that `bias` (in place, so it stays
the head's registered buffer) with tau * log(prior), the prior being the
class frequencies of the training part. A config reaches it with

    custom_imports = dict(imports=["pretrain_tools"], allow_failed_imports=False)
    custom_hooks = [dict(type="LogitAdjustHook", tau=1.0)]    # or tau="auto"

(`import pretrain_tools` registers it). With tau="auto" the hook picks tau
after every validation run, on the scores of that run. When the head's loss
is a LogitAdjustedLoss the training adjusts the scores instead: the hook gives
the loss the prior and keeps `bias` at zero. After every validation and test
run it logs recall per class and the balanced accuracy. Checkpoints carry
tau, the training counts and which of the two adjusted (meta "logit_adjust").
"""
import torch
from mmengine.hooks import Hook
from mmengine.model import is_model_wrapper
from mmengine.registry import HOOKS

from .balanced_accuracy import balanced_accuracy, balanced_accuracy_at, choose_tau, per_class_recall
from .checkpoint_refresh import refresh_last_checkpoint
from .class_prior import class_counts, log_prior, training_labels
from .class_report import class_table
from .logit_adjusted_loss import LogitAdjustedLoss
from .run_scores import RunScores, from_main_process

AUTO = "auto"
CHECKPOINT_META_KEY = "logit_adjust"


@HOOKS.register_module()
class LogitAdjustHook(Hook):
    """Before training and before every validation or test run, sets the
    head's `bias` to tau * log(prior of the training part). A run without a
    training part (test only, from a checkpoint) keeps the `bias` it loaded."""

    priority = "NORMAL"

    def __init__(self, tau: float | str = 1.0) -> None:
        if tau != AUTO and not isinstance(tau, (int, float)):
            raise ValueError(f"LogitAdjustHook: tau must be a number or 'auto', not {tau!r}")
        self.tau = tau if tau == AUTO else float(tau)
        self.tau_in_use = 1.0 if tau == AUTO else float(tau)
        self.counts = None
        self.scores = None

    # training part and bias

    def before_train(self, runner):
        if self.tau == AUTO and runner.val_loop is None:
            runner.logger.info("LogitAdjustHook: tau='auto' but the run has no validation part; using tau=1")
        self._adjust(runner)

    def before_val(self, runner):
        self._adjust(runner)

    def before_test(self, runner):
        self._adjust(runner)

    def _adjust(self, runner):
        bias = _head(runner).bias
        if runner.train_loop is None:
            runner.logger.info(f"LogitAdjustHook: no training part, keeping the loaded bias {_show(bias)}"
                               + (f" (tau={self.tau_in_use:g})" if self.counts is not None else ""))
            return
        if bias.dim() != 1:
            raise ValueError("LogitAdjustHook needs a head with a per-class bias (one with num_classes)")
        self.counts = class_counts(training_labels(runner.train_dataloader.dataset), bias.numel())
        if self.tau != AUTO:
            self.tau_in_use = self.tau
        loss = _adjusting_loss(runner)
        if loss is not None:
            loss.set_log_prior(log_prior(self.counts).to(bias.device))
            self.tau_in_use = 0.0
            self._set_bias(runner, 0.0)
            runner.logger.info(f"LogitAdjustHook: the head's loss is LogitAdjustedLoss(tau={loss.tau:g}), "
                               f"given the training counts {self.counts.tolist()}; it adjusts the scores "
                               "in training, so bias stays 0"
                               + (" and tau='auto' has nothing to pick" if self.tau == AUTO else ""))
            return
        self._set_bias(runner, self.tau_in_use)
        until_picked = " (tau='auto': in use until the next validation run picks one)" if self.tau == AUTO else ""
        runner.logger.info(f"LogitAdjustHook: tau={self.tau_in_use:g}{until_picked}, "
                           f"training counts {self.counts.tolist()}, bias {_show(bias)}")

    def _set_bias(self, runner, tau):
        bias = _head(runner).bias
        with torch.no_grad():
            bias.copy_(tau * log_prior(self.counts))

    # scores of a validation or test run

    def before_val_epoch(self, runner):
        self.scores = RunScores(_head(runner).bias)

    def before_test_epoch(self, runner):
        self.scores = RunScores(_head(runner).bias)

    def after_val_iter(self, runner, batch_idx, data_batch=None, outputs=None):
        self.scores.add(outputs)

    def after_test_iter(self, runner, batch_idx, data_batch=None, outputs=None):
        self.scores.add(outputs)

    def after_val_epoch(self, runner, metrics=None):
        scores, labels = self.scores.gathered(len(runner.val_dataloader.dataset))
        if self.tau == AUTO and self.counts is not None and labels.numel() and _adjusting_loss(runner) is None:
            self._choose_tau(runner, scores, labels)
        self._report(runner, "validation", scores, labels)

    def after_test_epoch(self, runner, metrics=None):
        scores, labels = self.scores.gathered(len(runner.test_dataloader.dataset))
        self._report(runner, "test", scores, labels)

    def _choose_tau(self, runner, scores, labels):
        prior = log_prior(self.counts)
        self.tau_in_use = from_main_process(choose_tau(scores, labels, prior))
        self._set_bias(runner, self.tau_in_use)
        at = {tau: balanced_accuracy_at(scores, labels, prior, tau) for tau in (0.0, 1.0, self.tau_in_use)}
        runner.logger.info(f"LogitAdjustHook: tau={self.tau_in_use:g} chosen on the validation part; "
                           f"balanced accuracy {at[self.tau_in_use]:.2f} at it, {at[0.0]:.2f} at tau=0, "
                           f"{at[1.0]:.2f} at tau=1; bias {_show(_head(runner).bias)}")
        refresh_last_checkpoint(runner, CHECKPOINT_META_KEY, self._meta(runner), _head(runner).bias)

    def _report(self, runner, part, scores, labels):
        if not labels.numel():
            return
        bias = _head(runner).bias.detach().double().cpu()
        recall, part_counts = per_class_recall(scores, labels, bias)
        train_counts = self.counts.tolist() if self.counts is not None else [None] * bias.numel()
        lines = class_table(_class_names(runner, part, bias.numel()), train_counts, part,
                            part_counts.tolist(), recall.tolist(), balanced_accuracy(recall), self.tau_in_use)
        runner.logger.info("LogitAdjustHook: recall per class\n" + "\n".join(lines))

    # checkpoints

    def before_save_checkpoint(self, runner, checkpoint):
        if self.counts is not None:
            checkpoint.setdefault("meta", {})[CHECKPOINT_META_KEY] = self._meta(runner)

    def after_load_checkpoint(self, runner, checkpoint):
        saved = checkpoint.get("meta", {}).get(CHECKPOINT_META_KEY)
        if saved is None:
            return
        self.counts = torch.tensor(saved["class_counts"], dtype=torch.long)
        if self.tau == AUTO or runner.train_loop is None:
            self.tau_in_use = float(saved["tau"])
        loss = _adjusting_loss(runner)
        if loss is not None:
            loss.set_log_prior(log_prior(self.counts).to(_head(runner).bias.device))
        runner.logger.info(f"LogitAdjustHook: from the checkpoint: tau={saved['tau']:g}, adjusted by "
                           f"{saved['adjusted_by']}, training counts {saved['class_counts']}")

    def _meta(self, runner):
        """tau is the one of `bias` (0 when the loss adjusts); loss_tau the loss's."""
        loss = _adjusting_loss(runner)
        return dict(adjusted_by="bias" if loss is None else "loss", tau=self.tau_in_use,
                    loss_tau=None if loss is None else loss.tau, tau_setting=self.tau,
                    class_counts=self.counts.tolist())


def _head(runner):
    model = runner.model.module if is_model_wrapper(runner.model) else runner.model
    return model.head


def _adjusting_loss(runner):
    loss = getattr(_head(runner), "loss_module", None)
    return loss if isinstance(loss, LogitAdjustedLoss) else None


def _class_names(runner, part, num_classes):
    loader = runner.val_dataloader if part == "validation" else runner.test_dataloader
    dataset = loader.dataset
    names = getattr(dataset, "metainfo", {}).get("classes") or getattr(
        getattr(dataset, "datasets", [None])[0], "metainfo", {}).get("classes")
    names = list(names or ())
    return names if len(names) == num_classes else [str(i) for i in range(num_classes)]


def _show(bias):
    return [round(float(v), 3) + 0.0 for v in bias.flatten()]  # + 0.0: no "-0.0"
