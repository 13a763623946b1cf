"""`LogitAdjustedLoss`: cross-entropy on the class scores plus tau * log(prior)
(Menon et al., "Long-tail learning via logit adjustment", ICLR 2021), for a
head's `loss`:

    head=dict(type="LinearClsHead", ..., loss=dict(type="LogitAdjustedLoss", tau=1.0))

The prior is the training part's class frequencies, which LogitAdjustHook
hands over before training; the hook must be among the config's custom_hooks.
A model trained with it predicts with its plain scores (the hook keeps the
head's `bias` at zero).
"""
from typing import Any

from mmpretrain.models.losses import CrossEntropyLoss
from mmpretrain.registry import MODELS


@MODELS.register_module()
class LogitAdjustedLoss(CrossEntropyLoss):
    """Keyword arguments beyond tau and loss_weight are CrossEntropyLoss's
    (use_soft for mixed labels, class_weight, reduction)."""

    def __init__(self, tau: float = 1.0, loss_weight: float = 1.0, **kwargs: Any) -> None:
        if kwargs.get("use_sigmoid"):
            raise ValueError("LogitAdjustedLoss adjusts a softmax cross-entropy: use_sigmoid is not supported")
        super().__init__(loss_weight=loss_weight, **kwargs)
        self.tau = float(tau)
        # not saved with the weights: the checkpoint's meta holds the counts
        self.register_buffer("log_prior", None, persistent=False)

    def set_log_prior(self, log_prior):
        self.log_prior = log_prior.float()

    def forward(self, cls_score, label, *args, **kwargs):
        if self.log_prior is None:
            raise RuntimeError("LogitAdjustedLoss has no class prior: add dict(type='LogitAdjustHook') "
                               "to the config's custom_hooks, which gives it the training part's prior")
        adjusted = cls_score + self.tau * self.log_prior.to(cls_score)
        return super().forward(adjusted, label, *args, **kwargs)
